// The port box and "保存并监听" of the real program: every answer box, and
// the listener moving to the saved port.
#include <gtest/gtest.h>

#include <cstdlib>

#include "E2eSupport.h"
#include "app/MainFrmIds.h"

namespace {

using namespace qme2e;

const std::wstring kNotNumber = L"端口必须是数字";
const std::wstring kOutOfRange = L"端口范围需在 1 - 65535 之间";

std::wstring Num(std::int32_t v) { return std::to_wstring(v); }
std::string Ascii(std::int32_t v) { return std::to_string(v); }
std::wstring SavedBox(std::int32_t port) { return L"端口已保存为 " + Num(port) + L"，并重新监听。"; }
std::wstring SavedLog(std::int32_t port) { return L"端口已保存并重新监听：" + Num(port); }
std::wstring Status(std::int32_t port) { return L"监听中：TCP 端口 " + Num(port); }
const std::wstring kAllowAll = L"允许连接的地址：全部";
std::string Config(std::int32_t port) {
  return "[Config]\r\nPort=" + Ascii(port) + "\r\nAutoStart=0\r\nFocusX=0\r\nFocusY=0\r\n";
}

// A program on a free port with auto-start off, so the registry stays out.
struct TPortApp {
  TTempDir dir;
  std::uint16_t port = FreePort();
  TQuillmere app{dir};
  std::string initial = "[Config]\r\nPort=" + Ascii(port) + "\r\nAutoStart=0\r\n";

  bool Start() {
    const std::wstring listener = ListenerLine(port);
    return WriteBytes(dir.File(L"config.ini"), initial) && app.Start() && app.WaitLogContains(listener, 10000);
  }
  // Types text, presses the button and returns the box that answers.
  std::optional<TMessageBox> Save(const std::wstring& text) {
    app.SetText(qm::kIdEdtPort, text);
    app.PostClick(qm::kIdBtnSavePort);
    return WaitMessageBox(app.Pid(), 10000);
  }
};

// A box for the user: the title, no icon, one OK button, centred.
void ExpectUserBox(const TMessageBox& box, const std::wstring& text) {
  EXPECT_EQ(U8(box.text), U8(text));
  EXPECT_EQ(box.title, L"Quillmere");
  EXPECT_FALSE(box.hasIcon);
  EXPECT_EQ(box.buttonIds, std::vector<int>{IDOK});
  const int cx = (box.rect.left + box.rect.right) / 2, cy = (box.rect.top + box.rect.bottom) / 2;
  EXPECT_LE(std::abs(cx - ::GetSystemMetrics(SM_CXSCREEN) / 2), 1);
  EXPECT_LE(std::abs(cy - ::GetSystemMetrics(SM_CYSCREEN) / 2), 1);
}

TEST(ShellPort, InvalidTextIsAnsweredAndChangesNothing) {
  struct Row {
    std::wstring typed, answer;
  };
  const Row rows[] = {
      {L"", kNotNumber},           {L"   ", kNotNumber},         {L" \t ", kNotNumber},
      {L"80 80", kNotNumber},      {L"8080a", kNotNumber},       {L"80.80", kNotNumber},
      {L"８０８０", kNotNumber},   {L"2147483648", kNotNumber},  {L"99999999999", kNotNumber},
      {L"-2147483649", kNotNumber}, {L"0x", kNotNumber},         {L"$123456789", kNotNumber},
      {L"+-8080", kNotNumber},     {L"0", kOutOfRange},          {L"-1", kOutOfRange},
      {L"65536", kOutOfRange},     {L"$FFFFFFFF", kOutOfRange},  {L"-2147483648", kOutOfRange},
      {L"2147483647", kOutOfRange},
  };
  TPortApp p;
  ASSERT_TRUE(p.Start());
  const std::vector<std::wstring> log = p.app.LogMessages();
  for (const Row& row : rows) {
    SCOPED_TRACE(U8(L"[" + row.typed + L"]"));
    const std::optional<TMessageBox> box = p.Save(row.typed);
    ASSERT_TRUE(box);
    ExpectUserBox(*box, row.answer);
    PressOk(*box);
    ASSERT_TRUE(WaitGone(box->wnd, 5000));
    ASSERT_TRUE(p.app.Sync());
    EXPECT_EQ(U8(p.app.Text(qm::kIdEdtPort)), U8(row.typed));
    EXPECT_EQ(U8(p.app.LogMessages()), U8(log));
    EXPECT_EQ(U8(p.app.Text(qm::kIdLblStatus)), U8(Status(p.port)));
    EXPECT_EQ(ReadBytes(p.dir.File(L"config.ini")), p.initial);
  }
  EXPECT_TRUE(CanConnect(p.port));
}

TEST(ShellPort, ValidPortMovesTheListenerAndIsSaved) {
  struct Row {
    std::wstring typed;
    std::int32_t port;
  };
  const std::uint16_t other = FreePort();
  const Row rows[] = {
      {Num(other), other},
      {L" \t" + Num(other) + L"\t ", other},  // the same port again: kept
      {L"8080", 8080},   {L"  8080 ", 8080}, {L"+8080", 8080}, {L"08080", 8080},
      {L"$1F90", 8080},  {L"0x1F90", 8080},  {L"0X1F90", 8080}, {L"x1F90", 8080},
      {L"00000000000000008080", 8080},  {L"0x000000000001F90", 8080},  // leading zeros do not count
      {L"1", 1},         {L"65535", 65535},
  };
  TPortApp p;
  ASSERT_TRUE(p.Start());
  std::int32_t previous = p.port;
  for (const Row& row : rows) {
    SCOPED_TRACE(U8(L"[" + row.typed + L"]"));
    // The port it listens on already: the listener stays, and only the
    // allow-list line of the settings just read follows.
    const bool kept = row.port == previous;
    // A port another program holds would make the row show nothing.
    if (!kept) {
      ASSERT_EQ(BindError(static_cast<std::uint16_t>(row.port)), 0) << "another program holds " << row.port;
    }
    const std::vector<std::wstring> listener = kept ? std::vector<std::wstring>{kAllowAll} : ListenerLines(row.port);
    std::vector<std::wstring> added = {kDefaultDelivery, SavedLog(row.port)};
    added.insert(added.end(), listener.begin(), listener.end());
    const std::size_t before = p.app.LogMessages().size();
    const std::optional<TMessageBox> box = p.Save(row.typed);
    ASSERT_TRUE(box);
    ExpectUserBox(*box, SavedBox(row.port));
    // The new listener's line reaches the log while the box is open.
    EXPECT_TRUE(p.app.WaitLogSize(before + added.size(), 10000));
    std::vector<std::wstring> log = p.app.LogMessages();
    ASSERT_GE(log.size(), added.size());
    EXPECT_EQ(U8(std::vector<std::wstring>(log.end() - added.size(), log.end())), U8(added));
    PressOk(*box);
    ASSERT_TRUE(WaitGone(box->wnd, 5000));
    ASSERT_TRUE(p.app.Sync());

    EXPECT_EQ(U8(p.app.Text(qm::kIdEdtPort)), U8(row.typed));
    EXPECT_EQ(U8(p.app.Text(qm::kIdLblStatus)), U8(Status(row.port)));
    EXPECT_EQ(ReadBytes(p.dir.File(L"config.ini")), Config(row.port));
    EXPECT_EQ(p.app.LogMessages().size(), before + added.size()) << "a late start line";
    EXPECT_TRUE(CanConnect(static_cast<std::uint16_t>(row.port)));
    if (previous != row.port) {
      EXPECT_FALSE(CanConnect(static_cast<std::uint16_t>(previous)));
    }
    if (row.port == other && previous != other) {
      p.app.MoveMain(700, 300);
      EXPECT_TRUE(TrayTipShows(p.app.TrayIcon(), L"Quillmere " + Num(other), 8000));
    }
    previous = row.port;
  }
}

TEST(ShellPort, PortHeldByAnotherProgramFailsOnlyInTheLogAndSavingItAgainRetries) {
  TPortApp p;
  ASSERT_TRUE(p.Start());
  const std::uint16_t taken = FreePort();
  std::optional<TPortHolder> other(std::in_place, taken);
  ASSERT_TRUE(other->Held());
  const std::wstring failure = BindFailureLine(taken);
  ASSERT_FALSE(failure.empty());
  std::size_t before = p.app.LogMessages().size();
  std::optional<TMessageBox> box = p.Save(Num(taken));
  ASSERT_TRUE(box);
  ExpectUserBox(*box, SavedBox(taken));  // success is claimed all the same
  EXPECT_TRUE(p.app.WaitLogSize(before + 3, 10000));
  std::vector<std::wstring> log = p.app.LogMessages();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(U8(std::vector<std::wstring>(log.end() - 3, log.end())), U8({kDefaultDelivery, SavedLog(taken), failure}));
  PressOk(*box);
  ASSERT_TRUE(WaitGone(box->wnd, 5000));
  EXPECT_EQ(U8(p.app.Text(qm::kIdLblStatus)), U8(Status(taken)));
  EXPECT_EQ(ReadBytes(p.dir.File(L"config.ini")), Config(taken));
  EXPECT_FALSE(CanConnect(p.port)) << "the old listener was stopped";

  // The other program lets go: saving the same port again listens on it.
  other.reset();
  ASSERT_EQ(BindError(taken), 0);
  const std::vector<std::wstring> listener = ListenerLines(taken);
  ASSERT_EQ(listener.size(), 3u);
  before = p.app.LogMessages().size();
  box = p.Save(Num(taken));
  ASSERT_TRUE(box);
  EXPECT_TRUE(p.app.WaitLogSize(before + 5, 10000));
  log = p.app.LogMessages();
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(U8(std::vector<std::wstring>(log.end() - 5, log.end())),
            U8({kDefaultDelivery, SavedLog(taken), listener[0], listener[1], listener[2]}));
  PressOk(*box);
  ASSERT_TRUE(WaitGone(box->wnd, 5000));
  EXPECT_TRUE(CanConnect(taken));
}

// A stored port wider than 16 bits listens on its low 16 bits: saving
// those keeps that listener.
TEST(ShellPort, SavingTheBoundPortOfAWiderStoredOneKeepsTheListener) {
  TPortApp p;
  const std::int32_t wide = p.port + 65536;
  p.initial = "[Config]\r\nPort=" + Ascii(wide) + "\r\nAutoStart=0\r\n";
  ASSERT_TRUE(WriteBytes(p.dir.File(L"config.ini"), p.initial) && p.app.Start() &&
              p.app.WaitLogContains(L"已开始监听 TCP 端口 " + Num(wide), 10000));
  const std::size_t before = p.app.LogMessages().size();
  const std::optional<TMessageBox> box = p.Save(Num(p.port));
  ASSERT_TRUE(box);
  PressOk(*box);
  ASSERT_TRUE(WaitGone(box->wnd, 5000));
  ASSERT_TRUE(p.app.Sync());
  EXPECT_EQ(U8(p.app.Text(qm::kIdLblStatus)), U8(Status(p.port)));
  const std::vector<std::wstring> log = p.app.LogMessages();
  ASSERT_EQ(log.size(), before + 3);
  EXPECT_EQ(U8(std::vector<std::wstring>(log.end() - 3, log.end())), U8({kDefaultDelivery, SavedLog(p.port), kAllowAll}));
  EXPECT_TRUE(CanConnect(p.port));
}

TEST(ShellPort, UnwritableConfigKeepsTheOldListener) {
  TPortApp p;
  ASSERT_TRUE(p.Start());
  const std::vector<std::wstring> log = p.app.LogMessages();
  const std::uint16_t other = FreePort();
  TFileLock lock(p.dir.File(L"config.ini"), GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(lock.Held());
  const std::optional<TMessageBox> box = p.Save(Num(other));
  ASSERT_TRUE(box);
  EXPECT_EQ(U8(box->text), U8(L"Unable to write to " + p.dir.File(L"config.ini") + L"."));
  EXPECT_EQ(box->title, L"Quillmere");
  EXPECT_TRUE(ShowsSystemIcon(*box, IDI_ERROR));
  PressOk(*box);
  ASSERT_TRUE(WaitGone(box->wnd, 5000));
  ASSERT_TRUE(p.app.Sync());
  EXPECT_TRUE(CanConnect(p.port));
  EXPECT_FALSE(CanConnect(other));
  EXPECT_EQ(U8(p.app.Text(qm::kIdLblStatus)), U8(Status(p.port)));
  EXPECT_EQ(U8(p.app.LogMessages()), U8(log));
  lock.Release();
  EXPECT_EQ(ReadBytes(p.dir.File(L"config.ini")), p.initial);
}

}  // namespace
