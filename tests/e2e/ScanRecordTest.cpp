// Through the real program: the scan record's rows, replies in order per
// connection, a sender that never reads, a record held open by another program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "WireRig.h"

namespace {

using namespace qme2e;

std::wstring TodaysFile(const TTempDir& dir) {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  wchar_t name[32];
  swprintf(name, 32, L"scans\\%04u-%02u-%02u.csv", t.wYear, t.wMonth, t.wDay);
  return dir.File(name);
}

// The rows after the byte-order mark and the header, each without its time
// stamp ("yyyy-mm-dd hh:nn:ss.zzz,"), which is checked for its shape.
std::vector<std::string> Rows(const std::string& file) {
  const std::string head = "\xEF\xBB\xBF" + U8(L"时间,来源,条码,结果") + "\r\n";
  if (file.compare(0, head.size(), head) != 0) return {"(no header)"};
  std::vector<std::string> rows;
  for (std::size_t at = head.size(); at < file.size();) {
    const std::size_t end = file.find("\r\n", at);
    if (end == std::string::npos) return {"(row without CR LF)"};
    const std::string row = file.substr(at, end - at), shape = "dddd-dd-dd dd:dd:dd.ddd,";
    bool stamped = row.size() > shape.size();
    for (std::size_t i = 0; stamped && i < shape.size(); ++i)
      stamped = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(row[i])) != 0 : row[i] == shape[i];
    rows.push_back(stamped ? row.substr(shape.size()) : "(bad stamp) " + row);
    at = end + 2;
  }
  return rows;
}

TEST(ScanRecord, RowsRepliesInOrderPerConnectionAndARepeatHeldBack) {
  TDeliveryRig rig({L"--controls", L"edit1,button", L"--focus", L"edit1"});
  ASSERT_TRUE(rig.Start("AutoStart=0\r\nScanLog=1\r\nReply=1\r\nRepeatSeconds=60\r\n"));
  TTcpClient a(rig.port), b(rig.port, true, 0x7F000002);
  ASSERT_TRUE(a.Connected() && b.Connected());
  ASSERT_TRUE(a.Send("S-1\r\nS-2\r\nS-2\r\n"));
  a.ShutdownSend();
  ASSERT_TRUE(b.Send("B-1\r\n"));
  EXPECT_EQ(b.Receive(4, 20000), "OK\r\n");
  // A sender that closed its side still hears every reply, then the close.
  bool closed = false;
  EXPECT_EQ(a.Receive(100, 20000, &closed), "OK\r\nOK\r\nERR repeat\r\n");
  EXPECT_TRUE(closed);
  EXPECT_TRUE(rig.app.WaitLogContains(L"已忽略重复条码：S-2", 5000));

  rig.target.Focus(1);  // the button: nothing may be typed there
  ASSERT_TRUE(b.Send("B-2\r\n"));
  EXPECT_EQ(b.Receive(15, 20000), "ERR not-input\r\n");
  EXPECT_EQ(U8(rig.Entered()), U8(std::vector<std::wstring>{L"S-1", L"S-2", L"B-1"}));

  std::vector<std::string> rows = Rows(ReadBytes(TodaysFile(rig.dir)));
  ASSERT_EQ(rows.size(), 5u);
  // B-1 comes in among the lines of the other connection.
  const auto b1 = std::find(rows.begin(), rows.end(), "127.0.0.2,B-1," + U8(L"已录入"));
  ASSERT_NE(b1, rows.end());
  rows.erase(b1);
  EXPECT_EQ(rows, (std::vector<std::string>{"127.0.0.1,S-1," + U8(L"已录入"), "127.0.0.1,S-2," + U8(L"已录入"),
                                            "127.0.0.1,S-2," + U8(L"已忽略（重复）"),
                                            "127.0.0.2,B-2," + U8(L"未录入（焦点不在输入框上）")}));
}

TEST(ScanRecord, ASenderThatNeverReadsKeepsItsConnectionAndTheProgramKeepsAnswering) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start("AutoStart=0\r\nReply=1\r\nRepeatSeconds=3600\r\n"));
  // Shown, Wine's log pane repaints for each of the thousands of lines.
  ::ShowWindow(rig.app.Main(), SW_HIDE);
  // A small window, so the replies pile up in the program, not in TCP.
  TTcpClient deaf(rig.port, true, 0, 4096);
  ASSERT_TRUE(deaf.Connected());
  constexpr std::size_t kRepeats = 12000;  // 144,000 bytes of replies
  std::string flood = "R\r\n";
  for (std::size_t i = 0; i < kRepeats; ++i) flood += "R\r\n";
  ASSERT_TRUE(deaf.Send(flood + "END\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"END", 90000));
  TTcpClient other(rig.port, true, 0x7F000002);
  ASSERT_TRUE(other.Send("OTHER\r\n"));
  EXPECT_EQ(other.Receive(4, 20000), "OK\r\n");

  // What waited is read now; some replies were dropped, none was cut.
  bool closed = false;
  std::string got, more;
  while (!(more = deaf.Receive(1 << 20, 2000, &closed)).empty() && !closed) got += more;
  ASSERT_FALSE(closed);
  ASSERT_EQ(got.compare(0, 4, "OK\r\n"), 0);
  std::size_t repeats = 0, at = 4;
  for (; got.compare(at, 12, "ERR repeat\r\n") == 0; at += 12) ++repeats;
  EXPECT_TRUE(at == got.size() || got.substr(at) == "OK\r\n") << got.substr(at, 40);  // END's, if it had room
  EXPECT_GE(4 + repeats * 12, 64u * 1024);  // at least what the program holds
  EXPECT_LT(repeats, kRepeats);
  ASSERT_TRUE(deaf.Send("AFTER\r\n"));
  EXPECT_EQ(deaf.Receive(4, 20000), "OK\r\n");
}

TEST(ScanRecord, ARecordHeldOpenWithoutSharingLosesNoRowOnceClosedAgain) {
  TDeliveryRig rig;
  ASSERT_TRUE(::CreateDirectoryW(rig.dir.File(L"scans").c_str(), nullptr));
  const std::wstring file = TodaysFile(rig.dir);
  TFileLock lock(file, GENERIC_READ, 0);  // as a spreadsheet program holds it
  ASSERT_TRUE(lock.Held());
  ASSERT_TRUE(rig.Start("AutoStart=0\r\nScanLog=1\r\nRepeatSeconds=3601\r\n"));
  EXPECT_TRUE(rig.app.WaitLogContains(L"RepeatSeconds 的值无效（应为 0 到 3600）：3601，不忽略重复条码", 5000));
  const std::wstring failed = L"扫描记录无法写入：" + file + L"（错误码 32），稍后重试";
  ASSERT_TRUE(SendLines(rig.port, "L-1\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"L-1", 10000));
  ASSERT_TRUE(SendLines(rig.port, "L-1\r\n"));  // off: entered again
  ASSERT_TRUE(rig.WaitEnteredCount(2, 10000));
  EXPECT_TRUE(rig.app.WaitLogContains(failed, 5000));
  lock.Release();
  const std::vector<std::string> expected(2, "127.0.0.1,L-1," + U8(L"已录入"));
  EXPECT_TRUE(WaitFor([&] { return Rows(ReadBytes(file)) == expected; }, 10000)) << ReadBytes(file);
  const std::vector<std::wstring> log = rig.app.LogMessages();
  EXPECT_EQ(std::count(log.begin(), log.end(), failed), 1) << U8(failed);
}

}  // namespace
