// The main window's layout, texts, styles, font and tab order, at 96 DPI,
// after a resize, and at 144 DPI (Wine's LogPixels).
#include <gtest/gtest.h>

#include "E2eSupport.h"
#include "app/MainFrmIds.h"

namespace {

using namespace qme2e;
using namespace qm;

const wchar_t kDesktopKey[] = L"Control Panel\\Desktop";

struct TItem {
  int id, x, y, w, h;
};
// The top panel's children at 96 DPI, in the panel's coordinates.
constexpr TItem kTopItems[] = {
    {kIdLblPort, 16, 14, 48, 13},     {kIdLblFocus, 168, 50, 360, 13}, {kIdLblStatus, 16, 84, 520, 13},
    {kIdEdtPort, 80, 10, 100, 21},    {kIdBtnSavePort, 190, 8, 90, 25}, {kIdChkAutoStart, 300, 11, 220, 17},
    {kIdBtnPickFocus, 16, 44, 140, 25},
};

std::string Show(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
         std::to_string(r.bottom);
}
RECT Rect(int l, int t, int r, int b) { return RECT{l, t, r, b}; }

// The text height of Tahoma at 8 points for dpi, as this machine renders it.
int TahomaLineHeight(int dpi) {
  HDC dc = ::GetDC(nullptr);
  HFONT font = ::CreateFontW(-::MulDiv(8, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Tahoma");
  HGDIOBJ old = ::SelectObject(dc, font);
  TEXTMETRICW tm{};
  ::GetTextMetricsW(dc, &tm);
  ::SelectObject(dc, old);
  ::DeleteObject(font);
  ::ReleaseDC(nullptr, dc);
  return tm.tmHeight;
}

struct TLayoutApp {
  TTempDir dir;
  std::uint16_t port = FreePort();
  TQuillmere app{dir};
  bool Start() {
    const std::wstring listener = ListenerLine(port);
    return WriteBytes(dir.File(L"config.ini"), "[Config]\r\nPort=" + std::to_string(port) + "\r\nAutoStart=0\r\n") &&
           app.Start() && app.WaitLogContains(listener, 10000);
  }
};

// Every rectangle for a client area of cw x ch at dpi.
void ExpectLayout(const TQuillmere& app, int dpi, int cw, int ch) {
  auto s = [dpi](int v) { return ::MulDiv(v, dpi, 96); };
  const HWND top = app.Control(kIdPnlTop), log = app.Control(kIdPnlLog);
  EXPECT_EQ(Show(app.ClientRect()), Show(Rect(0, 0, cw, ch)));
  EXPECT_EQ(::GetParent(top), app.Main());
  EXPECT_EQ(::GetParent(log), app.Main());
  EXPECT_EQ(Show(app.RectInParent(kIdPnlTop)), Show(Rect(0, 0, cw, s(110))));
  EXPECT_EQ(Show(app.RectInParent(kIdPnlLog)), Show(Rect(0, s(110), cw, ch)));
  const int logH = ch - s(110);
  EXPECT_EQ(::GetParent(app.Control(kIdMmLog)), log);
  EXPECT_EQ(::GetParent(app.Control(kIdBtnClearLog)), log);
  EXPECT_EQ(Show(app.RectInParent(kIdMmLog)), Show(Rect(0, 0, cw - s(80), logH)));
  EXPECT_EQ(Show(app.RectInParent(kIdBtnClearLog)), Show(Rect(cw - s(80), 0, cw, logH)));
  for (const TItem& it : kTopItems) {
    SCOPED_TRACE(it.id);
    EXPECT_EQ(::GetParent(app.Control(it.id)), top);
    EXPECT_EQ(Show(app.RectInParent(it.id)),
              Show(Rect(s(it.x), s(it.y), s(it.x) + s(it.w), s(it.y) + s(it.h))));
  }
  EXPECT_EQ(app.LogLineSpacing(), TahomaLineHeight(dpi)) << "the font is Tahoma 8 pt";
}

TEST(ShellLayout, ComponentsTextsAndStylesAt96Dpi) {
  TRegValueGuard dpiGuard(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels");
  ASSERT_TRUE(SetRegDword(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels", 96));
  TLayoutApp l;
  ASSERT_TRUE(l.Start());
  const TQuillmere& app = l.app;
  ExpectLayout(app, 96, 560, 420);
  app.MoveMain(700, 300);  // off the stand-in notification area
  ASSERT_TRUE(app.Sync());
  // A spot of the top panel below the status line, free of components.
  EXPECT_TRUE(WaitFor([&] { return ClientPixel(app.Control(kIdPnlTop), POINT{290, 104}) == ::GetSysColor(COLOR_BTNFACE); }, 3000))
      << "the background is the button face colour";

  EXPECT_EQ(app.Text(0), L"Quillmere");
  EXPECT_EQ(U8(app.Text(kIdLblPort)), U8(L"监听端口"));
  EXPECT_EQ(U8(app.Text(kIdLblFocus)), U8(L"焦点坐标：未设置（点“拾取焦点”选择录入框位置）"));
  EXPECT_EQ(U8(app.Text(kIdLblStatus)), U8(L"监听中：TCP 端口 " + std::to_wstring(l.port)));
  EXPECT_EQ(app.Text(kIdEdtPort), std::to_wstring(l.port));
  EXPECT_EQ(U8(app.Text(kIdBtnSavePort)), U8(L"保存并监听"));
  EXPECT_EQ(U8(app.Text(kIdChkAutoStart)), U8(L"开机自动启动"));
  EXPECT_EQ(U8(app.Text(kIdBtnPickFocus)), U8(L"拾取焦点位置"));
  EXPECT_EQ(U8(app.Text(kIdBtnClearLog)), U8(L"清空日志"));

  const DWORD frame = WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
  EXPECT_EQ(app.Style(0) & frame, frame);
  const DWORD edit = app.Style(kIdEdtPort);
  EXPECT_EQ(edit & (ES_MULTILINE | ES_READONLY), 0u);
  const DWORD memo = app.Style(kIdMmLog);
  EXPECT_EQ(memo & (ES_MULTILINE | ES_READONLY | WS_VSCROLL), DWORD{ES_MULTILINE | ES_READONLY | WS_VSCROLL});
  EXPECT_EQ(memo & (ES_AUTOHSCROLL | WS_HSCROLL), 0u) << "long lines wrap";
  EXPECT_EQ(app.Style(kIdChkAutoStart) & BS_TYPEMASK, DWORD{BS_AUTOCHECKBOX});
  for (int id : {kIdBtnSavePort, kIdBtnPickFocus, kIdBtnClearLog}) {
    EXPECT_EQ(app.Style(id) & BS_TYPEMASK, DWORD{BS_PUSHBUTTON}) << "no default button, id " << id;
  }
  EXPECT_EQ(app.Style(kIdLblFocus) & SS_TYPEMASK, DWORD{SS_LEFT}) << "wraps words";

  // The tab order through both panels, and round again.
  const int order[] = {kIdEdtPort, kIdBtnSavePort, kIdChkAutoStart, kIdBtnPickFocus, kIdMmLog, kIdBtnClearLog,
                       kIdEdtPort};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) {
    SCOPED_TRACE(order[i]);
    EXPECT_EQ(::GetNextDlgTabItem(app.Main(), app.Control(order[i]), FALSE), app.Control(order[i + 1]));
    EXPECT_EQ(::GetNextDlgTabItem(app.Main(), app.Control(order[i + 1]), TRUE), app.Control(order[i]));
  }
}

TEST(ShellLayout, RealTabKeysFollowTheTabOrder) {
  TLayoutApp l;
  ASSERT_TRUE(l.Start());
  TQuillmere& app = l.app;
  app.MoveMain(700, 300);
  ASSERT_TRUE(app.Sync());
  const DWORD thread = ::GetWindowThreadProcessId(app.Main(), nullptr);
  auto focus = [thread] {
    GUITHREADINFO gi{};
    gi.cbSize = sizeof(gi);
    return ::GetGUIThreadInfo(thread, &gi) ? gi.hwndFocus : nullptr;
  };
  auto focusPort = [&] {
    MouseClickAt(ClickablePoint(app.Control(kIdEdtPort)), MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP);
    return WaitFor([&] { return focus() == app.Control(kIdEdtPort); }, 3000);
  };
  ASSERT_TRUE(focusPort());
  for (int id : {kIdBtnSavePort, kIdChkAutoStart, kIdBtnPickFocus, kIdMmLog, kIdBtnClearLog, kIdEdtPort}) {
    PressKey(VK_TAB);
    EXPECT_TRUE(WaitFor([&] { return focus() == app.Control(id); }, 2000)) << "Tab to id " << id;
  }
  // Enter in the port box saves nothing.
  ASSERT_TRUE(focusPort());
  const std::vector<std::wstring> log = app.LogMessages();
  PressKey(VK_RETURN);
  PressKey(VK_TAB);  // handled after the Enter: a box it opened would take it
  EXPECT_TRUE(WaitFor([&] { return focus() == app.Control(kIdBtnSavePort); }, 2000));
  EXPECT_FALSE(WaitMessageBox(app.Pid(), 0));
  EXPECT_EQ(U8(app.LogMessages()), U8(log));

  ASSERT_TRUE(focusPort());
  for (int id : {kIdBtnClearLog, kIdMmLog, kIdBtnPickFocus}) {
    PressChord({VK_SHIFT, VK_TAB});
    EXPECT_TRUE(WaitFor([&] { return focus() == app.Control(id); }, 2000)) << "Shift+Tab to id " << id;
  }
  EXPECT_FALSE(app.Checked(kIdChkAutoStart));  // passing over the box does not tick it
}

TEST(ShellLayout, EscapeInTheLogPaneKeepsThePane) {
  TLayoutApp l;
  ASSERT_TRUE(l.Start());
  TQuillmere& app = l.app;
  app.MoveMain(700, 300);
  ASSERT_TRUE(app.Sync());
  const HWND log = app.Control(kIdMmLog), pane = app.Control(kIdPnlLog);
  MouseClickAt(ClickablePoint(log), MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP);
  const DWORD thread = ::GetWindowThreadProcessId(app.Main(), nullptr);
  ASSERT_TRUE(WaitFor([&] {
    GUITHREADINFO gi{};
    gi.cbSize = sizeof(gi);
    return ::GetGUIThreadInfo(thread, &gi) && gi.hwndFocus == log;
  }, 3000));
  PressKey(VK_ESCAPE);
  // Keys are taken in order: once Tab has moved the focus on, Escape was
  // handled, and whatever it did is done.
  PressKey(VK_TAB);
  EXPECT_TRUE(WaitFor(
      [&] {
        GUITHREADINFO gi{};
        gi.cbSize = sizeof(gi);
        return ::GetGUIThreadInfo(thread, &gi) && gi.hwndFocus == app.Control(kIdBtnClearLog);
      },
      3000));
  ASSERT_TRUE(app.Sync());
  EXPECT_TRUE(::IsWindow(pane) && ::IsWindowVisible(pane));
  EXPECT_TRUE(::IsWindow(log) && ::IsWindowVisible(log));
  EXPECT_TRUE(::IsWindow(app.Control(kIdBtnClearLog)));
  EXPECT_TRUE(::IsWindowVisible(app.Main()));
  const std::size_t entries = app.LogMessages().size();
  ASSERT_TRUE(app.Send(WM_CLOSE, 0, 0));
  EXPECT_EQ(app.LogMessages().size(), entries + 1) << "the log still takes entries";
}

TEST(ShellLayout, ResizingKeepsTheTopPanelAndTheClearButtonWidth) {
  TLayoutApp l;
  ASSERT_TRUE(l.Start());
  for (SIZE size : {SIZE{900, 700}, SIZE{420, 300}, SIZE{1200, 400}}) {
    SCOPED_TRACE(testing::Message() << size.cx << "x" << size.cy);
    l.app.SizeMain(size.cx, size.cy);
    ASSERT_TRUE(l.app.Sync());
    const RECT c = l.app.ClientRect();
    ASSERT_GT(c.bottom, 110);
    ExpectLayout(l.app, 96, c.right, c.bottom);
  }
}

TEST(ShellLayout, EverythingScalesByOneAndAHalfAt144Dpi) {
  // A program started after the change reads it; the running wineserver
  // needs no restart.
  TRegValueGuard dpiGuard(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels");
  ASSERT_TRUE(SetRegDword(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels", 144));
  TLayoutApp l;
  ASSERT_TRUE(l.Start());
  ExpectLayout(l.app, 144, 840, 630);
  l.app.SizeMain(1000, 800);
  ASSERT_TRUE(l.app.Sync());
  const RECT c = l.app.ClientRect();
  ExpectLayout(l.app, 144, c.right, c.bottom);
}

}  // namespace
