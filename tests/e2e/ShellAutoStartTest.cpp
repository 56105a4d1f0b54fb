// The auto-start check box of the real program and the Run value.
#include <gtest/gtest.h>

#include "E2eSupport.h"
#include "app/MainFrmIds.h"

namespace {

using namespace qme2e;

const std::wstring kStarted = L"程序启动完成";
const std::wstring kRegistered = L"已写入开机自启：";
const std::wstring kUnregistered = L"已取消开机自启";

std::string Config(std::uint16_t port, int autoStart) {
  return "[Config]\r\nPort=" + std::to_string(port) + "\r\nAutoStart=" + std::to_string(autoStart) +
         "\r\nFocusX=0\r\nFocusY=0\r\n";
}

TEST(ShellAutoStart, CheckingWritesAndUncheckingDeletesTheRunValue) {
  TRunValueGuard run;
  DeleteRunValue();
  TTempDir dir(L"qm auto start");  // blanks in the quoted path
  const std::uint16_t port = FreePort();
  ASSERT_TRUE(WriteBytes(dir.File(L"config.ini"), "[Config]\r\nPort=" + std::to_string(port) + "\r\nAutoStart=0\r\n"));
  TQuillmere app(dir);
  const std::vector<std::wstring> listener = ListenerLines(port);
  ASSERT_TRUE(app.Start());
  ASSERT_TRUE(app.WaitLogContains(listener[0], 10000));
  const std::wstring quoted = L"\"" + app.ExePath() + L"\"";
  std::vector<std::wstring> log{kDefaultDelivery, kStarted};
  log.insert(log.end(), listener.begin(), listener.end());

  app.PostClick(qm::kIdChkAutoStart);
  log.push_back(kRegistered + quoted);
  ASSERT_TRUE(app.WaitLogSize(log.size(), 5000));
  EXPECT_EQ(U8(app.LogMessages()), U8(log));
  EXPECT_TRUE(app.Checked(qm::kIdChkAutoStart));
  EXPECT_EQ(RunValue().value_or(L"(none)"), quoted);
  EXPECT_EQ(ReadBytes(dir.File(L"config.ini")), Config(port, 1));

  app.PostClick(qm::kIdChkAutoStart);
  log.push_back(kUnregistered);
  ASSERT_TRUE(app.WaitLogSize(log.size(), 5000));
  EXPECT_EQ(U8(app.LogMessages()), U8(log));
  EXPECT_FALSE(app.Checked(qm::kIdChkAutoStart));
  EXPECT_FALSE(RunValue());
  EXPECT_EQ(ReadBytes(dir.File(L"config.ini")), Config(port, 0));

  // Unchecking when the value is already gone logs the same line.
  app.PostClick(qm::kIdChkAutoStart);
  log.push_back(kRegistered + quoted);
  ASSERT_TRUE(app.WaitLogSize(log.size(), 5000));
  DeleteRunValue();
  app.PostClick(qm::kIdChkAutoStart);
  log.push_back(kUnregistered);
  ASSERT_TRUE(app.WaitLogSize(log.size(), 5000));
  EXPECT_EQ(U8(app.LogMessages()), U8(log));
  EXPECT_FALSE(RunValue());
}

TEST(ShellAutoStart, UnwritableConfigLeavesTheRegistryAlone) {
  TRunValueGuard run;
  DeleteRunValue();
  TTempDir dir;
  const std::uint16_t port = FreePort();
  const std::string initial = "[Config]\r\nPort=" + std::to_string(port) + "\r\nAutoStart=0\r\n";
  ASSERT_TRUE(WriteBytes(dir.File(L"config.ini"), initial));
  TQuillmere app(dir);
  const std::wstring listener = ListenerLine(port);
  ASSERT_TRUE(app.Start());
  ASSERT_TRUE(app.WaitLogContains(listener, 10000));
  const std::vector<std::wstring> log = app.LogMessages();

  TFileLock lock(dir.File(L"config.ini"), GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(lock.Held());
  app.PostClick(qm::kIdChkAutoStart);
  const std::optional<TMessageBox> box = WaitMessageBox(app.Pid(), 10000);
  ASSERT_TRUE(box);
  EXPECT_EQ(U8(box->text), U8(L"Unable to write to " + dir.File(L"config.ini") + L"."));
  EXPECT_TRUE(ShowsSystemIcon(*box, IDI_ERROR));
  PressOk(*box);
  ASSERT_TRUE(WaitGone(box->wnd, 5000));
  ASSERT_TRUE(app.Sync());
  EXPECT_TRUE(app.Checked(qm::kIdChkAutoStart));
  EXPECT_FALSE(RunValue());
  EXPECT_EQ(U8(app.LogMessages()), U8(log));
  lock.Release();
  EXPECT_EQ(ReadBytes(dir.File(L"config.ini")), initial);
}

}  // namespace
