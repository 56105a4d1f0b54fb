#pragma once
// The main window: port, auto-start, focus point, status and log; the
// notification icon and its menu; config.ini; the listener's owner.
#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/ScanDesk.h"
#include "net/UBarcodeServer.h"
#include "platform/NotifyIcon.h"
#include "platform/UniqueHandle.h"
#include "platform/Window.h"

namespace qm {

using TObject = void;  // the sender of an event; handlers ignore it
enum class TMouseButton { mbLeft, mbRight, mbMiddle };
using TShiftState = UINT;  // MK_* flags
enum class TCloseAction { caNone, caHide, caFree, caMinimize };

class TMainFrm final : public TWindow {
 public:
  TMainFrm() = default;
  ~TMainFrm() override;

  // Builds the window from its layout and runs FormCreate.
  [[nodiscard]] bool Create();
  // Shows the window in the show state the process was started with.
  void Show(int showCmd);
  // The program's exit: destroys the window, which runs FormDestroy.
  void Destroy();

  void FormCreate(TObject* Sender);
  void FormDestroy(TObject* Sender);
  void FormCloseQuery(TObject* Sender, bool& CanClose);
  void FormClose(TObject* Sender, TCloseAction& Action);
  void TrayIconDblClick(TObject* Sender);
  void TrayIconMouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, std::int32_t X,
                         std::int32_t Y);
  void mniShowClick(TObject* Sender);
  void mniExitClick(TObject* Sender);
  void btnClearLogClick(TObject* Sender);
  void btnSavePortClick(TObject* Sender);
  void chkAutoStartClick(TObject* Sender);
  void btnPickFocusClick(TObject* Sender);

  void LoadConfig();
  void SaveConfig();
  void LoadAllowFrom();
  void LoadDeliverySettings();
  void StartServer();
  void StopServer();
  void AddLog(const std::wstring& S);
  TDeliveryOutcome HandleBarcode(const std::wstring& S);
  void HandleScan(const std::wstring& S, const TSender& From);
  void HandleFocusPicked(std::int32_t AX, std::int32_t AY);
  void RunPick();

  // A notification icon the shell did not take is tried again this often,
  // for two minutes, and whenever the taskbar is created.
  static constexpr UINT kTrayRetryMs = 5000;
  static constexpr int kTrayRetries = 24;

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  void ClickAt(std::int32_t x, std::int32_t y);
  void ApplyAutoStart(bool on);
  bool FocusPointIsSet() const noexcept;
  void SetAutoStartChecked(bool checked);
  void ShowMessage(const std::wstring& text);
  void SetTrayTip();
  void SetStatusListening();

  void BuildComponents();
  void ApplyDpi(UINT dpi);
  void Layout();
  int Scale(int v) const noexcept { return ::MulDiv(v, static_cast<int>(dpi_), 96); }
  void OnCommand(int id, int code);
  void OnTray(UINT event);
  void OnCloseRequest();
  void OnEndSession();
  void RetryTrayIcon();
  void OnTrayRetryTimer();

  // Components, in declaration order.
  TNotifyIcon TrayIcon;
  UniqueHmenu TrayPopup;
  UINT mniShow = 0, mniExit = 0, mniSep = 0;
  HWND pnlTop = nullptr, lblPort = nullptr, edtPort = nullptr, btnSavePort = nullptr,
       chkAutoStart = nullptr, btnPickFocus = nullptr, lblFocus = nullptr, pnlLog = nullptr,
       mmLog = nullptr, lblStatus = nullptr, btnClearLog = nullptr;

  std::unique_ptr<TBarcodeServer> FServer;
  const std::shared_ptr<TConnectionGate> FGate = std::make_shared<TConnectionGate>();
  TScanDesk FScans{[this](const std::wstring& s) { AddLog(s); }};
  std::int32_t FPort = 20222;
  bool FAutoStart = true;
  std::int32_t FFocusX = 0, FFocusY = 0;
  bool FClosing = false;
  std::wstring FIniPath;

  UINT dpi_ = 96;
  UniqueHfont font_;
  UniqueHicon icon_, smallIcon_;
  std::deque<std::size_t> logEntries_;  // length of each entry in the log pane
  UINT taskbarCreated_ = 0;
  int trayRetriesLeft_ = 0;
  bool destroyed_ = false;
  ULONGLONG lastFailBalloon_ = 0;  // tick of the last balloon for a barcode not entered
  // Programs told once that they may want the keys way.
  std::vector<std::u16string> keysHinted_;
  bool pickQueued_ = false;        // a pick waits for its turn in the main-thread queue
};

// The one instance, while it exists.
extern TMainFrm* MainFrm;

}  // namespace qm
