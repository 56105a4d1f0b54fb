#pragma once
// Control and menu ids of the main window; tests that drive the window from
// another process find its components by them.
namespace qm {

enum : int {
  kIdPnlTop = 100,
  kIdLblPort,
  kIdLblFocus,
  kIdLblStatus,
  kIdEdtPort,
  kIdBtnSavePort,
  kIdChkAutoStart,
  kIdBtnPickFocus,
  kIdPnlLog = 110,
  kIdMmLog,
  kIdBtnClearLog,
  kIdMniShow = 201,
  kIdMniExit,
  kIdTrayIcon = 1,
};

}  // namespace qm
