// The door of the real program: the AllowFrom key of config.ini, web
// requests and the bounds on connections. Clients on other loopback
// addresses (127.0.0.2, ...) stand for other machines.
#include <gtest/gtest.h>

#include <algorithm>

#include "WireRig.h"
#include "app/MainFrmIds.h"

namespace {

using namespace qme2e;
using Texts = std::vector<std::wstring>;

constexpr std::uint32_t Loopback(unsigned last) { return 0x7F000000u | last; }
std::wstring Refused(unsigned last) { return L"已拒绝来自 127.0.0." + std::to_wstring(last) + L" 的连接"; }
std::wstring Invalid(const std::wstring& entry) { return L"AllowFrom 中的条目无效：" + entry; }

// Refused at once: the reset may come before the client's line is sent.
// Nothing of it is entered (the callers' marks show that).
bool RefusedAtOnce(unsigned last, std::uint16_t port) {
  TTcpClient c(port, true, Loopback(last));
  return c.Connected() && (!c.Send("FROM-" + std::to_string(last) + "\r\n") || c.ClosedByPeer(5000));
}

bool Admitted(TDeliveryRig& rig, unsigned last, const std::string& text) {
  TTcpClient c(rig.port, true, Loopback(last));
  return c.Send(text + "\r\n") && rig.WaitEntered(Utf8ToWide(text), 10000);
}

TEST(AllowFrom, OtherAddressesAreRefusedUnreadAndLoggedOncePerAddress) {
  TDeliveryRig rig;
  Texts startUp = {Invalid(L"010.0.0.1"), Invalid(L"10.0.0.0/33"), Invalid(L"1.2.3"), Invalid(L"host.example"),
                   kDefaultDelivery, L"程序启动完成"};
  for (const std::wstring& line : ListenerLines(rig.port, L"允许连接的地址：127.0.0.1, 127.0.0.0/31, 127.0.0.3"))
    startUp.push_back(line);
  ASSERT_TRUE(rig.Start("AutoStart=0\r\nAllowFrom= 127.0.0.0/31, 127.0.0.3 ,010.0.0.1,10.0.0.0/33,,1.2.3, host.example\r\n"));
  ASSERT_EQ(U8(rig.app.LogMessages()), U8(startUp));

  EXPECT_TRUE(RefusedAtOnce(2, rig.port));
  EXPECT_TRUE(rig.app.WaitLogContains(Refused(2), 5000));
  EXPECT_TRUE(RefusedAtOnce(2, rig.port));  // within the minute: not logged again
  EXPECT_TRUE(Admitted(rig, 3, "FROM-3"));  // a listed address
  EXPECT_TRUE(Admitted(rig, 1, "FROM-1"));  // in 127.0.0.0/31, and this PC's own
  EXPECT_TRUE(RefusedAtOnce(4, rig.port));
  EXPECT_TRUE(rig.app.WaitLogContains(Refused(4), 5000));
  EXPECT_EQ(rig.UntilMark(), (Texts{L"FROM-3", L"FROM-1"}));
  Texts log = startUp;
  log.push_back(Refused(2));
  log.push_back(Refused(4));
  EXPECT_EQ(U8(rig.app.LogMessages()), U8(log));
}

TEST(AllowFrom, ANewListTakesEffectWhenThePortIsSavedAndOpenConnectionsStay) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start("AutoStart=0\r\nAllowFrom=127.0.0.2\r\n"));
  TTcpClient open(rig.port, true, Loopback(2));
  ASSERT_TRUE(open.Send("OPEN-1\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"OPEN-1", 10000));
  EXPECT_TRUE(RefusedAtOnce(3, rig.port));

  // The user edits the list and saves the port, which listens already.
  const std::string edited = "[Config]\r\nPort=" + std::to_string(rig.port) +
                             "\r\nAutoStart=0\r\nAllowFrom=127.0.0.3, 127.0.0.256\r\n";
  ASSERT_TRUE(WriteBytes(rig.dir.File(L"config.ini"), edited));
  const std::size_t before = rig.app.LogMessages().size();
  rig.app.SetText(qm::kIdEdtPort, std::to_wstring(rig.port));
  rig.app.PostClick(qm::kIdBtnSavePort);
  const std::optional<TMessageBox> box = WaitMessageBox(rig.app.Pid(), 10000);
  ASSERT_TRUE(box);
  PressOk(*box);
  ASSERT_TRUE(WaitGone(box->wnd, 5000));
  ASSERT_TRUE(rig.app.Sync());
  const Texts log = rig.app.LogMessages();
  ASSERT_EQ(log.size(), before + 4);
  EXPECT_EQ(U8(Texts(log.end() - 4, log.end())),
            U8({Invalid(L"127.0.0.256"), kDefaultDelivery, L"端口已保存并重新监听：" + std::to_wstring(rig.port),
                L"允许连接的地址：127.0.0.1, 127.0.0.3"}));
  // The key is the user's: saving the settings leaves it as it was.
  EXPECT_NE(ReadBytes(rig.dir.File(L"config.ini")).find("\r\nAllowFrom=127.0.0.3, 127.0.0.256\r\n"), std::string::npos);

  ASSERT_TRUE(rig.TargetInFront());
  ASSERT_TRUE(open.Send("OPEN-2\r\n"));  // no longer listed, but already open
  ASSERT_TRUE(rig.WaitEntered(L"OPEN-2", 10000));
  EXPECT_TRUE(RefusedAtOnce(2, rig.port));
  EXPECT_TRUE(rig.app.WaitLogContains(Refused(2), 5000));
  EXPECT_TRUE(Admitted(rig, 3, "NOW-3"));
  EXPECT_EQ(rig.UntilMark(), (Texts{L"OPEN-1", L"OPEN-2", L"NOW-3"}));
}

// A typo never opens the port: with no valid entry only this PC may connect,
// and a mangled key is reported in brief.
TEST(AllowFrom, AKeyWithoutAValidEntryAdmitsThisPcOnlyAndIsReportedInBrief) {
  TDeliveryRig rig;
  std::string value;
  Texts startUp;
  for (int i = 0; i < 60; ++i) {
    value += (i ? "," : "") + std::string("scanner-") + std::to_string(i);
    if (i < 50) startUp.push_back(Invalid(L"scanner-" + std::to_wstring(i)));
  }
  startUp.push_back(L"AllowFrom 中另有 10 个条目无效");
  startUp.push_back(kDefaultDelivery);
  startUp.push_back(L"程序启动完成");
  for (const std::wstring& line : ListenerLines(rig.port, L"允许连接的地址：127.0.0.1")) startUp.push_back(line);
  ASSERT_TRUE(rig.Start("AutoStart=0\r\nAllowFrom=" + value + "\r\n"));
  EXPECT_EQ(U8(rig.app.LogMessages()), U8(startUp));
  EXPECT_TRUE(RefusedAtOnce(2, rig.port));
  EXPECT_TRUE(rig.app.WaitLogContains(Refused(2), 5000));
  EXPECT_TRUE(Admitted(rig, 1, "FROM-1"));
  EXPECT_EQ(rig.UntilMark(), Texts{L"FROM-1"});
}

const wchar_t kWebRefused[] = L"已拒绝来自 127.0.0.1 的 HTTP 请求（网页不能向本程序发送条码）";

// What any web page can make a browser send here; a split request and one
// cut off before its line ended are refused too. The pauses are the
// sender's: longer than the 250 ms after which text without a line end
// would be typed.
TEST(Door, AWebRequestTypesNothingAndIsLoggedOnce) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  {
    TTcpClient web(rig.port);
    ASSERT_TRUE(web.Send("POST /x HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(rig.port) +
                         "\r\nOrigin: http://attacker.example\r\nContent-Type: text/plain;charset=UTF-8\r\n"
                         "Content-Length: 12\r\n\r\nEVIL1\r\nEVIL2"));
    EXPECT_TRUE(web.ClosedByPeer(5000));
  }
  {
    TTcpClient split(rig.port);
    ASSERT_TRUE(split.Send("GET /"));
    ::Sleep(600);
    split.Send("index.html HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(split.ClosedByPeer(5000));
  }
  {
    TTcpClient cut(rig.port);
    ASSERT_TRUE(cut.Send("OPTIONS *"));
    ::Sleep(600);
  }
  {
    TTcpClient scanner(rig.port);  // a later line that reads as a request is a barcode
    ASSERT_TRUE(scanner.Send("SCAN-1\r\nGET / HTTP/1.1\r\n"));
  }
  EXPECT_EQ(rig.UntilMark(), (Texts{L"SCAN-1", L"GET / HTTP/1.1"}));
  const Texts log = rig.app.LogMessages();
  EXPECT_EQ(std::count(log.begin(), log.end(), std::wstring(kWebRefused)), 1) << "once a minute per address";
}

// A sender that opens a connection per scan and never closes them: past 256
// the idle longest are closed, and every scan is entered.
TEST(Door, ASenderThatNeverClosesItsConnectionsKeepsWorking) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  constexpr int kIdle = 262;
  std::vector<TTcpClient> idle;
  idle.reserve(kIdle);
  for (int i = 0; i < kIdle; ++i) {
    idle.emplace_back(rig.port);
    const std::string scan = "IDLE-" + std::to_string(i);
    ASSERT_TRUE(idle.back().Send(scan + "\r\n"));
    ASSERT_TRUE(rig.WaitEntered(Utf8ToWide(scan), 10000)) << i;
  }
  TTcpClient last(rig.port);
  ASSERT_TRUE(last.Send("LAST\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"LAST", 10000));
  for (int i = 0; i < kIdle; ++i)
    EXPECT_EQ(idle[i].ClosedByPeer(i < kIdle + 1 - 256 ? 5000 : 0), i < kIdle + 1 - 256) << "connection " << i;
  const Texts log = rig.app.LogMessages();
  EXPECT_EQ(std::count(log.begin(), log.end(), std::wstring(L"来自 127.0.0.1 的连接已达 256 个，已关闭其中空闲最久的一个")), 1);
}

}  // namespace
