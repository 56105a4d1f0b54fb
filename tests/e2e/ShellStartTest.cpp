// Start-up of the real program: config.ini, the auto-start value, the log,
// the labels, the tip, and a settings file that cannot be written.
#include <gtest/gtest.h>

#include <cwchar>
#include <cwctype>
#include <set>

#include "E2eSupport.h"

#include <ws2tcpip.h>
#include <iphlpapi.h>
#include "app/MainFrmIds.h"

namespace {

using namespace qme2e;

const std::wstring kStarted = L"程序启动完成";
const std::wstring kRegistered = L"已写入开机自启：";
const std::wstring kFocusUnset = L"焦点坐标：未设置（点“拾取焦点”选择录入框位置）";

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }
std::wstring Status(std::int32_t port) { return L"监听中：TCP 端口 " + std::to_wstring(port); }
std::string Num(std::int32_t v) { return std::to_string(v); }
// A port a test needs by its number: held by another program, it fails the
// set-up instead of changing what the test expects.
std::string Needed(std::uint16_t port) { return "another program holds port " + Num(port) + ", which this test needs"; }
std::vector<std::wstring> Lines(std::vector<std::wstring> first, const std::vector<std::wstring>& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}
std::string Rewritten(std::int32_t port, int autoStart, int x = 0, int y = 0) {
  return "[Config]\r\nPort=" + Num(port) + "\r\nAutoStart=" + Num(autoStart) + "\r\nFocusX=" + Num(x) +
         "\r\nFocusY=" + Num(y) + "\r\n";
}

// Seconds since midnight of a stamp "hh:nn:ss" with the locale's separator.
std::optional<int> StampSeconds(const std::wstring& entry) {
  wchar_t sep[8] = L":";
  ::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STIME, sep, 8);
  if (entry.size() < 10 || entry[2] != sep[0] || entry[5] != sep[0] || entry.substr(8, 2) != L"  ")
    return std::nullopt;
  auto two = [&](std::size_t at) {
    return iswdigit(entry[at]) && iswdigit(entry[at + 1]) ? (entry[at] - L'0') * 10 + entry[at + 1] - L'0' : -1;
  };
  const int h = two(0), m = two(3), s = two(6);
  if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59) return std::nullopt;
  return h * 3600 + m * 60 + s;
}

int NowSeconds() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  return t.wHour * 3600 + t.wMinute * 60 + t.wSecond;
}

TEST(ShellStart, FirstStartWritesTheDefaultsRegistersAndListens) {
  TRunValueGuard run;
  DeleteRunValue();
  TTempDir dir(L"qm first start");  // blanks: the Run value must quote the path
  TQuillmere app(dir);
  ASSERT_EQ(BindError(20222), 0) << Needed(20222);
  const std::vector<std::wstring> listener = ListenerLines(20222);
  ASSERT_TRUE(app.Start());
  ASSERT_TRUE(app.WaitLogContains(listener[0], 10000));

  EXPECT_EQ(ReadBytes(dir.File(L"config.ini")), Rewritten(20222, 1));
  const std::wstring quoted = Quoted(app.ExePath());
  EXPECT_EQ(RunValue().value_or(L"(none)"), quoted);
  EXPECT_EQ(U8(app.LogMessages()), U8(Lines({kRegistered + quoted, kDefaultDelivery, kStarted}, listener)));
  for (const std::wstring& entry : app.Log()) {
    const std::optional<int> at = StampSeconds(entry);
    ASSERT_TRUE(at) << "no hh:nn:ss stamp";
    EXPECT_LE((NowSeconds() - *at + 86400) % 86400, 30);
  }
  EXPECT_EQ(app.Text(0), L"Quillmere");
  EXPECT_EQ(app.Text(qm::kIdEdtPort), L"20222");
  EXPECT_TRUE(app.Checked(qm::kIdChkAutoStart));
  EXPECT_EQ(U8(app.Text(qm::kIdLblStatus)), U8(Status(20222)));
  EXPECT_EQ(U8(app.Text(qm::kIdLblFocus)), U8(kFocusUnset));
  EXPECT_TRUE(::IsWindowVisible(app.Main()));
  EXPECT_TRUE(TFileLock(dir.File(L"config.ini"), GENERIC_READ | GENERIC_WRITE, 0).Held())
      << "nothing keeps config.ini open";
  EXPECT_TRUE(CanConnect(20222));
  app.MoveMain(700, 300);  // off the stand-in notification area
  EXPECT_TRUE(TrayTipShows(app.TrayIcon(), L"Quillmere 20222", 8000));
}

TEST(ShellStart, AutoStartOffLeavesTheFileAndTheRegistryAlone) {
  TRunValueGuard run;
  const std::wstring earlier = L"\"C:\\elsewhere\\Quillmere.exe\"";
  SetRunValue(earlier);
  for (const char* value : {"0", "2", "-1", " 0x0 "}) {
    SCOPED_TRACE(value);
    TTempDir dir;
    const std::uint16_t port = FreePort();
    // Section and key names in other case, blanks, no final line break.
    const std::string text =
        "; kept\r\n[config]\r\nport = " + Num(port) + "\r\nautostart=" + value + "\r\nFocusX=7";
    ASSERT_TRUE(WriteBytes(dir.File(L"config.ini"), text));
    TQuillmere app(dir);
    const std::vector<std::wstring> listener = ListenerLines(port);
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.WaitLogContains(listener[0], 10000));
    EXPECT_EQ(U8(app.LogMessages()), U8(Lines({kDefaultDelivery, kStarted}, listener)));
    EXPECT_FALSE(app.Checked(qm::kIdChkAutoStart));
    EXPECT_EQ(app.Text(qm::kIdEdtPort), std::to_wstring(port));
    EXPECT_EQ(ReadBytes(dir.File(L"config.ini")), text);
    EXPECT_EQ(RunValue(), earlier);
    EXPECT_TRUE(CanConnect(port));
  }
}

TEST(ShellStart, AutoStartOnByDefaultRewritesTheFileAndRegisters) {
  TRunValueGuard run;
  for (const char* line : {"AutoStart=abc\r\n", "AutoStart=\r\n", "AutoStart=1\r\n", ""}) {
    SCOPED_TRACE(line);
    DeleteRunValue();
    TTempDir dir;
    const std::uint16_t port = FreePort();
    ASSERT_TRUE(WriteBytes(dir.File(L"config.ini"), "[Config]\r\nPort=" + Num(port) + "\r\n" + line +
                                                        "[Other]\r\nKey=keep\r\n"));
    TQuillmere app(dir);
    const std::vector<std::wstring> listener = ListenerLines(port);
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.WaitLogContains(listener[0], 10000));
    const std::wstring quoted = Quoted(app.ExePath());
    EXPECT_EQ(U8(app.LogMessages()), U8(Lines({kRegistered + quoted, kDefaultDelivery, kStarted}, listener)));
    EXPECT_TRUE(app.Checked(qm::kIdChkAutoStart));
    EXPECT_EQ(RunValue().value_or(L"(none)"), quoted);
    // The other section stays; the four keys are written in their order.
    EXPECT_EQ(ReadBytes(dir.File(L"config.ini")),
              "[Config]\r\nPort=" + Num(port) + "\r\nAutoStart=1\r\nFocusX=0\r\nFocusY=0\r\n"
              "[Other]\r\nKey=keep\r\n");
  }
}

TEST(ShellStart, PortIsReadWithTheIntegerSyntaxAndUsedAsStored) {
  struct Case {
    std::string stored;
    bool autoStart;
    std::int32_t port;
  };
  TRunValueGuard run;
  // Outside 1 to 65535: shown as stored, the listener binds the low 16 bits.
  for (const Case& c : {Case{"abc", false, 20222}, Case{"0x1F90", true, 8080}, Case{"$1F90", true, 8080},
                        Case{"65536", false, 65536}, Case{"0", false, 0}, Case{"-1", false, -1}}) {
    SCOPED_TRACE(c.stored);
    TTempDir dir;
    const std::string text =
        "[Config]\r\nPort=" + c.stored + "\r\nAutoStart=" + (c.autoStart ? "1" : "0") + "\r\n";
    ASSERT_TRUE(WriteBytes(dir.File(L"config.ini"), text));
    TQuillmere app(dir);
    const auto low = static_cast<std::uint16_t>(c.port & 0xFFFF);  // 0: the system chooses
    if (low != 0) {
      ASSERT_EQ(BindError(low), 0) << Needed(low);
    }
    const std::wstring listener = ListenerLine(c.port);
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.WaitLogContains(listener, 10000));
    EXPECT_EQ(app.Text(qm::kIdEdtPort), std::to_wstring(c.port));
    EXPECT_EQ(U8(app.Text(qm::kIdLblStatus)), U8(Status(c.port)));
    // With auto-start on the file is rewritten from the values just read.
    EXPECT_EQ(ReadBytes(dir.File(L"config.ini")), c.autoStart ? Rewritten(c.port, 1) : text);
    if (low != 0) {
      EXPECT_TRUE(CanConnect(low));
    }
    if (c.port == 65536) {
      app.MoveMain(700, 300);
      EXPECT_TRUE(TrayTipShows(app.TrayIcon(), L"Quillmere 65536", 8000));
    }
  }
}

// Any point but the stored default 0, 0 is set, points left of or above the
// primary monitor included.
TEST(ShellStart, FocusLabelShowsEveryPointButZeroZero) {
  struct Case {
    int x, y;
    std::wstring label;
  };
  for (const Case& c : {Case{100, 200, L"焦点坐标：X=100, Y=200"}, Case{0, 200, L"焦点坐标：X=0, Y=200"},
                        Case{100, 0, L"焦点坐标：X=100, Y=0"}, Case{-500, 300, L"焦点坐标：X=-500, Y=300"},
                        Case{100, -1, L"焦点坐标：X=100, Y=-1"}, Case{0, 0, kFocusUnset}}) {
    SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
    TTempDir dir;
    const std::uint16_t port = FreePort();
    ASSERT_TRUE(WriteBytes(dir.File(L"config.ini"), "[Config]\r\nPort=" + Num(port) +
                                                        "\r\nAutoStart=0\r\nFocusX=" + Num(c.x) +
                                                        "\r\nFocusY=" + Num(c.y) + "\r\n"));
    TQuillmere app(dir);
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.WaitLogContains(kStarted, 10000));
    EXPECT_EQ(U8(app.Text(qm::kIdLblFocus)), U8(c.label));
  }
}

// The settings file cannot be written: the error is reported, and start-up
// goes on as on a normal start, so the program is not left deaf.
void ExpectUnwritableStartStillListens(DWORD shareMode, const std::string& content,
                                       std::int32_t port) {
  TRunValueGuard run;
  const std::wstring earlier = L"\"C:\\elsewhere\\Quillmere.exe\"";
  SetRunValue(earlier);
  TTempDir dir;
  const std::wstring ini = dir.File(L"config.ini");
  ASSERT_TRUE(WriteBytes(ini, content));
  TFileLock lock(ini, GENERIC_READ, shareMode);
  ASSERT_TRUE(lock.Held());
  TQuillmere app(dir);
  ASSERT_EQ(BindError(static_cast<std::uint16_t>(port)), 0) << Needed(static_cast<std::uint16_t>(port));
  const std::vector<std::wstring> listener = ListenerLines(port);
  ASSERT_TRUE(app.Start());

  const std::optional<TMessageBox> box = WaitMessageBox(app.Pid(), 10000);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->title, L"Quillmere");
  EXPECT_EQ(U8(box->text), U8(L"Unable to write to " + ini + L"."));
  EXPECT_TRUE(ShowsSystemIcon(*box, IDI_ERROR));
  EXPECT_FALSE(ShowsSystemIcon(*box, IDI_WARNING));  // the comparison can tell icons apart
  EXPECT_EQ(box->buttonIds, std::vector<int>{IDOK});

  // While the box is open.
  EXPECT_TRUE(app.WaitLogContains(listener[0], 10000));
  EXPECT_EQ(U8(app.LogMessages()), U8(Lines({kDefaultDelivery, kStarted}, listener)));
  EXPECT_EQ(U8(app.Text(qm::kIdLblFocus)), U8(kFocusUnset));
  EXPECT_EQ(U8(app.Text(qm::kIdLblStatus)), U8(Status(port)));
  EXPECT_TRUE(app.Checked(qm::kIdChkAutoStart));  // the box shows the choice it could not save
  EXPECT_TRUE(CanConnect(static_cast<std::uint16_t>(port)));
  app.MoveMain(700, 300);
  EXPECT_TRUE(TrayTipShows(app.TrayIcon(), L"Quillmere " + std::to_wstring(port), 8000));

  PressOk(*box);
  EXPECT_TRUE(WaitGone(box->wnd, 5000));
  EXPECT_TRUE(app.Sync());
  EXPECT_TRUE(app.Running());
  EXPECT_TRUE(::IsWindowVisible(app.Main()));
  lock.Release();
  EXPECT_EQ(ReadBytes(ini), content);
  EXPECT_EQ(RunValue(), earlier);
}

TEST(ShellStart, UnreadableAndUnwritableConfigStartsWithDefaultsAndListens) {
  // Share mode 0: not even readable, so the defaults (20222, auto-start on).
  ExpectUnwritableStartStillListens(0, "", 20222);
}

TEST(ShellStart, ReadableButUnwritableConfigStartsOnItsPortAndListens) {
  const std::uint16_t port = FreePort();
  ExpectUnwritableStartStillListens(FILE_SHARE_READ, "[Config]\r\nPort=" + Num(port) + "\r\n", port);
}

TEST(ShellStart, ShowsTheWindowInTheStateItWasStartedWith) {
  struct Case {
    int show;
    bool iconic, zoomed;
  };
  for (const Case& c : {Case{SW_SHOWMINIMIZED, true, false}, Case{SW_SHOWMAXIMIZED, false, true},
                        Case{SW_SHOWNORMAL, false, false}}) {
    SCOPED_TRACE(c.show);
    TTempDir dir;
    const std::uint16_t port = FreePort();
    ASSERT_TRUE(WriteBytes(dir.File(L"config.ini"), "[Config]\r\nPort=" + Num(port) + "\r\nAutoStart=0\r\n"));
    TQuillmere app(dir);
    const std::wstring listener = ListenerLine(port);
    ASSERT_TRUE(app.Start(c.show));
    ASSERT_TRUE(app.WaitLogContains(listener, 10000));
    EXPECT_TRUE(::IsWindowVisible(app.Main()));
    EXPECT_EQ(::IsIconic(app.Main()) != FALSE, c.iconic);
    EXPECT_EQ(::IsZoomed(app.Main()) != FALSE, c.zoomed);
  }
}

TEST(ShellStart, TwoInstancesRunSideBySide) {
  TTempDir dirA, dirB;
  const std::uint16_t portA = FreePort(), portB = FreePort();
  ASSERT_TRUE(WriteBytes(dirA.File(L"config.ini"), "[Config]\r\nPort=" + Num(portA) + "\r\nAutoStart=0\r\n"));
  ASSERT_TRUE(WriteBytes(dirB.File(L"config.ini"), "[Config]\r\nPort=" + Num(portB) + "\r\nAutoStart=0\r\n"));
  TQuillmere a(dirA), b(dirB);
  const std::wstring lineA = ListenerLine(portA), lineB = ListenerLine(portB);
  ASSERT_TRUE(a.Start());
  ASSERT_TRUE(b.Start());
  EXPECT_TRUE(a.WaitLogContains(lineA, 10000));
  EXPECT_TRUE(b.WaitLogContains(lineB, 10000));
  EXPECT_TRUE(a.Running() && b.Running());
  EXPECT_TRUE(CanConnect(portA) && CanConnect(portB));
}

TEST(ShellStart, TitleOfTheBoxesComesFromTheExecutableName) {
  TRunValueGuard run;
  TTempDir dir;
  const std::uint16_t port = FreePort();
  ASSERT_TRUE(WriteBytes(dir.File(L"config.ini"), "[Config]\r\nPort=" + Num(port) + "\r\nAutoStart=0\r\n"));
  // The first character as it is, the rest in lower case.
  TQuillmere app(dir, L"qUILLMERE.EXE");
  ASSERT_TRUE(app.Start());
  ASSERT_TRUE(app.WaitLogContains(kStarted, 10000));
  EXPECT_EQ(app.Text(0), L"Quillmere");
  app.SetText(qm::kIdEdtPort, L"x");
  app.PostClick(qm::kIdBtnSavePort);
  const std::optional<TMessageBox> box = WaitMessageBox(app.Pid(), 10000);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->title, L"quillmere");
  PressOk(*box);
}

// The address line gives what a scanner can reach this PC at: every address
// of an interface that is up, as the system's address table lists them,
// with the port really listening; loopback and link-local left out. Port 0
// lets the system choose, and the line shows its choice.
TEST(ShellStart, TheAddressLineGivesThisPcsAddressesWithThePortItListensOn) {
  TTempDir dir;
  ASSERT_TRUE(WriteBytes(dir.File(L"config.ini"), "[Config]\r\nPort=0\r\nAutoStart=0\r\n"));
  TQuillmere app(dir);
  ASSERT_TRUE(app.Start());
  ASSERT_TRUE(app.WaitLogContains(L"已开始监听 TCP 端口 0", 10000));
  const std::vector<std::wstring> log = app.LogMessages();
  ASSERT_EQ(log.size(), 5u);
  ASSERT_EQ(log[2], L"已开始监听 TCP 端口 0");
  EXPECT_EQ(log[4], L"允许连接的地址：全部");
  const std::wstring prefix = L"本机地址：";
  ASSERT_EQ(log[3].rfind(prefix, 0), 0u) << U8(log[3]);

  std::set<std::uint32_t> listed;
  std::set<unsigned> ports;
  const std::wstring rest = log[3].substr(prefix.size());
  if (rest != L"无可用网络") {
    for (std::size_t at = 0; at <= rest.size();) {
      std::size_t end = rest.find(L", ", at);
      if (end == std::wstring::npos) end = rest.size();
      const std::wstring item = rest.substr(at, end - at);
      at = end + 2;
      unsigned a = 256, b = 256, c = 256, d = 256, port = 0;
      wchar_t extra = 0;
      ASSERT_EQ(std::swscanf(item.c_str(), L"%u.%u.%u.%u:%u%lc", &a, &b, &c, &d, &port, &extra), 5) << U8(item);
      ASSERT_TRUE(a < 256 && b < 256 && c < 256 && d < 256) << U8(item);
      const std::uint32_t address = a << 24 | b << 16 | c << 8 | d;
      EXPECT_TRUE(listed.insert(address).second) << "twice: " << U8(item);
      ports.insert(port);
    }
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_NE(*ports.begin(), 0u);
    EXPECT_TRUE(CanConnect(static_cast<std::uint16_t>(*ports.begin())));
  }

  std::set<std::uint32_t> expected;
  ULONG size = 0;
  ASSERT_EQ(::GetIpAddrTable(nullptr, &size, FALSE), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<ULONGLONG> buf(size / sizeof(ULONGLONG) + 1);
  auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buf.data());
  ASSERT_EQ(::GetIpAddrTable(table, &size, FALSE), static_cast<DWORD>(NO_ERROR));
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const std::uint32_t address = ::ntohl(table->table[i].dwAddr);
    MIB_IF_ROW2 row{};
    row.InterfaceIndex = table->table[i].dwIndex;
    if ((address >> 24) == 127 || (address >> 16) == 0xA9FE || ::GetIfEntry2(&row) != NO_ERROR ||
        row.OperStatus != IfOperStatusUp)
      continue;
    expected.insert(address);
  }
  EXPECT_EQ(listed, expected);
}

}  // namespace
