#include "input/UExternalInput.h"

#include <algorithm>
#include <optional>

#include "input/BarcodeText.h"
#include "platform/Application.h"
#include "platform/MainThreadQueue.h"
#include "platform/ScopeExit.h"
#include "platform/UniqueHandle.h"
#include "platform/WideText.h"

namespace qm {
namespace {

constexpr DWORD kSearchLimitMs = 200;
constexpr std::size_t kFileBufferBytes = 4096;
constexpr DWORD kFileWaitMs = 2000;

HWND g_ownWnd = nullptr;
TDeliverySettings g_settings;

// The file name of a process's executable; read once for the window
// barcodes go to, as a window's handle and its process id name one process.
std::u16string ExeNameOf(HWND root, DWORD pid) {
  static HWND knownRoot = nullptr;
  static DWORD knownPid = 0;
  static std::u16string knownName;
  if (root == knownRoot && pid == knownPid) return knownName;
  UniqueKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  wchar_t path[MAX_PATH * 4];
  DWORD size = static_cast<DWORD>(std::size(path));
  if (!process || !::QueryFullProcessImageNameW(process.get(), 0, path, &size)) return {};
  const std::wstring full(path, size);
  knownRoot = root;
  knownPid = pid;
  knownName = ToU16(full.substr(full.find_last_of(L"\\/") + 1));
  return knownName;
}

// The file is written when the delivery ends, as it always was; a disk that
// does not answer holds the program up no longer than this.
void AwaitFile(const THelperCall& written) {
  for (const DWORD start = ::GetTickCount(); !written.Done() && ::GetTickCount() - start < kFileWaitMs;) {
    HANDLE signal = written.Signal();
    ::MsgWaitForMultipleObjectsEx(1, &signal, kFileWaitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    TMainThreadQueue::HandlePendingMessages();
  }
}

TDeliveryOutcome Deliver(const std::wstring& text) {
  const TDeliveryText parts = StripTrailingBreaks(ToU16(text));
  const std::wstring stripped = ToWide(parts.Text);
  // Written before the search, so a program that reads it when the Enter
  // arrives finds this barcode: on the helper that later sends the text,
  // which it thus always follows, while the search runs.
  THelper& helper = THelper::Free();
  const std::shared_ptr<THelperCall> written = helper.Run([text] { WriteBarcodeFile(text); });
  ScopeExit file([&written] { AwaitFile(*written); });
  if (TApplication::Terminated()) return {TNotEntered::kEnded};

  TInputSearch search = SearchFrom(g_ownWnd, ::GetCurrentProcessId(), kSearchLimitMs);
  FindInputControl(search);
  if (!search.FrontWnd) return {TNotEntered::kNoWindow};
  if (std::optional<TDeliveryOutcome> out = Unreachable(search.FrontWnd, search.FrontPid)) return *out;
  if (search.NoTextFocus) return {TNotEntered::kNotInput};
  const HWND root = RootOf(search.FrontWnd);
  const DWORD pid = search.FrontPid ? search.FrontPid : ProcessOf(root);
  bool ruled = false;
  const TDeliveryRule rule = g_settings.Apps.empty() ? g_settings.Default : RuleFor(g_settings, ExeNameOf(root, pid), &ruled);
  const TEnding ending = parts.EnterWanted ? rule.Ending : TEnding::kNone;
  if (rule.Way == TDeliveryWay::kKeys) return TypeText(stripped, ending, g_settings.KeyDelayMs, g_ownWnd, *written);
  if (search.FoundWnd && rule.Way == TDeliveryWay::kAuto) {
    switch (SendTextToControl(search.FoundWnd, stripped, ending, helper)) {
      case TDirectResult::kEntered: return {};
      case TDirectResult::kRefused:  // the paste way, with no Enter sent yet
      case TDirectResult::kNotEdit: break;
      case TDirectResult::kHung: GiveUp(RootOf(search.FrontWnd)); return {TNotEntered::kHung};
      case TDirectResult::kGone: return {TNotEntered::kNoWindow};
      case TDirectResult::kEnded: return {TNotEntered::kEnded};
    }
  }
  TDeliveryOutcome out = Paste(stripped, ending, g_ownWnd, *written);
  if (out.Reason == TNotEntered::kPasteRefused && !ruled) out.UnruledProgram = ExeNameOf(root, pid);
  return out;
}

}  // namespace

void SetOwnWindow(HWND wnd) noexcept {
  g_ownWnd = wnd;
  // Started with the program's window: under Wine a thread takes some 10 ms
  // to start, which the first barcode would otherwise wait for.
  try {
    if (wnd) (void)THelper::Free();
  } catch (...) {
    // Started with the first barcode instead.
  }
}

void EndDelivery() {
  HandOverClipboard();
  ReleaseAbandonedMarker();
}

HWND OwnWindow() noexcept { return g_ownWnd; }

void SetDeliverySettings(TDeliverySettings settings) { g_settings = std::move(settings); }

void WriteBarcodeFile(const std::wstring& text) {
  try {
    const std::wstring dir = TApplication::ExeDir();
    if (dir.empty()) return;
    UniqueFile file(::CreateFileW((dir + L"barcode.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string bytes = BarcodeFileBytes(ToU16(text));
    for (std::size_t at = 0; at < bytes.size();) {
      const DWORD chunk = static_cast<DWORD>(std::min(kFileBufferBytes, bytes.size() - at));
      DWORD written = 0;
      if (!::WriteFile(file.get(), bytes.data() + at, chunk, &written, nullptr) || written == 0) return;
      at += written;
    }
  } catch (...) {
    // A barcode file that cannot be written never stops the delivery.
  }
}

TDeliveryOutcome SendExternalText(const std::wstring& text) {
  if (text.empty()) return {};
  try {
    return Deliver(text);
  } catch (...) {
    // Delivery never raises to its caller.
    return {TNotEntered::kNoWindow};
  }
}

}  // namespace qm
