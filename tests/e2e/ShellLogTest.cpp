// The log pane of the real program: its 500-entry bound and "清空日志".
// Entries are made from outside: every close request logs one.
#include <gtest/gtest.h>

#include "E2eSupport.h"
#include "app/MainFrmIds.h"

namespace {

using namespace qme2e;

const std::wstring kStarted = L"程序启动完成";
const std::wstring kHidden = L"已最小化到托盘（进程继续运行，监听不断）";

bool CloseRequests(const TQuillmere& app, int count) {
  for (int i = 0; i < count; ++i)
    if (!app.Send(WM_CLOSE, 0, 0)) return false;
  return true;
}

bool AllStamped(const std::vector<std::wstring>& entries) {
  for (const std::wstring& e : entries)
    if (WithoutStamp(e) == e) return false;
  return true;
}

TEST(ShellLog, KeepsAtMost500EntriesAndDropsTheOldestEntryWhole) {
  TRunValueGuard run;
  // A long folder name makes the auto-start entry wrap to several lines.
  TTempDir dir(L"qm-" + std::wstring(120, L'w'));
  const std::uint16_t port = FreePort();
  ASSERT_TRUE(WriteBytes(dir.File(L"config.ini"), "[Config]\r\nPort=" + std::to_string(port) + "\r\n"));
  TQuillmere app(dir);
  const std::vector<std::wstring> listener = ListenerLines(port);
  ASSERT_EQ(listener.size(), 3u);
  ASSERT_TRUE(app.Start());
  ASSERT_TRUE(app.WaitLogContains(listener[0], 10000));
  const std::wstring registered = L"已写入开机自启：\"" + app.ExePath() + L"\"";
  ASSERT_EQ(U8(app.LogMessages()), U8({registered, kDefaultDelivery, kStarted, listener[0], listener[1], listener[2]}));
  ASSERT_GT(app.LogDisplayLines(), 6) << "the auto-start entry should wrap";

  ASSERT_TRUE(CloseRequests(app, 494));
  std::vector<std::wstring> log = app.LogMessages();
  ASSERT_EQ(log.size(), 500u);
  EXPECT_EQ(U8(log[0]), U8(registered));
  EXPECT_EQ(U8(log[499]), U8(kHidden));

  // The 501st entry removes the wrapped first entry, all of its lines.
  ASSERT_TRUE(CloseRequests(app, 1));
  log = app.LogMessages();
  ASSERT_EQ(log.size(), 500u);
  EXPECT_EQ(U8(log[0]), U8(kDefaultDelivery));
  EXPECT_EQ(U8(log[1]), U8(kStarted));
  EXPECT_EQ(U8(log[2]), U8(listener[0]));
  EXPECT_EQ(U8(log[3]), U8(listener[1]));
  EXPECT_EQ(U8(log[4]), U8(listener[2]));
  EXPECT_EQ(app.LogDisplayLines(), 500);

  ASSERT_TRUE(CloseRequests(app, 5));
  log = app.LogMessages();
  ASSERT_EQ(log.size(), 500u);
  EXPECT_EQ(U8(log[0]), U8(kHidden));
  EXPECT_EQ(app.LogDisplayLines(), 500);
  EXPECT_TRUE(AllStamped(app.Log()));
}

TEST(ShellLog, ClearEmptiesThePaneAndTheNextEntryIsTheOnlyOne) {
  TTempDir dir;
  const std::uint16_t port = FreePort();
  ASSERT_TRUE(WriteBytes(dir.File(L"config.ini"),
                         "[Config]\r\nPort=" + std::to_string(port) + "\r\nAutoStart=0\r\n"));
  TQuillmere app(dir);
  const std::wstring listener = ListenerLine(port);
  ASSERT_TRUE(app.Start());
  ASSERT_TRUE(app.WaitLogContains(listener, 10000));
  app.PostClick(qm::kIdBtnClearLog);
  ASSERT_TRUE(app.WaitLogSize(0, 5000));
  ASSERT_TRUE(CloseRequests(app, 1));
  EXPECT_EQ(U8(app.LogMessages()), U8(std::vector<std::wstring>{kHidden}));
  EXPECT_EQ(app.LogDisplayLines(), 1);
  EXPECT_TRUE(AllStamped(app.Log()));

  // The bound counts from the clearing.
  ASSERT_TRUE(CloseRequests(app, 500));
  EXPECT_EQ(app.LogMessages().size(), 500u);
  EXPECT_EQ(app.LogDisplayLines(), 500);
  EXPECT_TRUE(CanConnect(port));
}

}  // namespace
