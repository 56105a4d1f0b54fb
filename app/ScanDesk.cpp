#include "app/ScanDesk.h"

#include "app/IntegerSyntax.h"
#include "platform/Application.h"
#include "platform/IniFile.h"
#include "platform/UniqueHandle.h"
#include "platform/WideText.h"

namespace qm {
namespace {

constexpr wchar_t kSection[] = L"Config";

TScanDesk* g_retrying = nullptr;  // the one desk whose retry timer runs

}  // namespace

TScanDesk::~TScanDesk() {
  if (!FWaiting.empty()) Flush();  // a last try: what still waits is lost with the process
  if (FTimer) ::KillTimer(nullptr, FTimer);
  if (g_retrying == this) g_retrying = nullptr;
}

void TScanDesk::LoadConfig(const std::wstring& iniPath) {
  const TIniFile ini(iniPath);
  const auto on = [&](const wchar_t* key) { return ParseInt32Or(ToU16(ini.ReadString(kSection, key, L"")), 0) == 1; };
  FRecord = on(L"ScanLog");
  FReplies->store(on(L"Reply"));
  const std::wstring repeat = ini.ReadString(kSection, L"RepeatSeconds", L"");
  const std::optional<std::int32_t> seconds = ParseRepeatSeconds(ToU16(repeat));
  if (!seconds) Log(L"RepeatSeconds 的值无效（应为 0 到 3600）：" + repeat + L"，不忽略重复条码");
  FRepeat.SetSeconds(seconds.value_or(0));
}

void TScanDesk::Handle(const std::wstring& S, const TSender& From, const std::function<TDeliveryOutcome()>& deliver) {
  SYSTEMTIME t;
  ::GetLocalTime(&t);  // when it came to be handled, not when its result was known
  TScanResult result;
  if (FRepeat.IsRepeat(From.Address, ToU16(S), ::GetTickCount64())) {
    result.Repeat = true;
    Log(L"已忽略重复条码：" + ToWide(LoggedBarcode(ToU16(S))));
  } else {
    result.Reason = deliver().Reason;
  }
  if (FRecord) {
    const TScanTime at{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
    Add({TApplication::ExeDir() + L"scans\\" + ToWide(ScanFileName(at)), EncodeUtf8(ScanRow(at, From.Address, ToU16(S), result))});
  }
  if (From.Reply) From.Reply->Answer(ReplyLine(result));
}

void TScanDesk::Add(TRow row) {
  FWaiting.push_back(std::move(row));
  if (FWaiting.size() > kMaxWaitingRows) {
    FWaiting.pop_front();
    ++FLost;
  }
  Flush();
}

void TScanDesk::Flush() {
  while (!FWaiting.empty()) {
    // The rows of one day in one write.
    const std::wstring file = FWaiting.front().file;
    std::string bytes;
    std::size_t rows = 0;
    for (; rows < FWaiting.size() && FWaiting[rows].file == file; ++rows) bytes += FWaiting[rows].bytes;
    ::CreateDirectoryW(file.substr(0, file.rfind(L'\\')).c_str(), nullptr);
    // Appends only, and readers may look while it is open.
    UniqueFile h(::CreateFileW(file.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    DWORD error = 0, written = 0;
    if (!h || !::GetFileSizeEx(h.get(), &size)) {
      error = ::GetLastError();
    } else {
      // A BOM, or spreadsheet programs take the file for the system's code page.
      if (size.QuadPart == 0) bytes = "\xEF\xBB\xBF" + EncodeUtf8(kScanHeader) + bytes;
      if (!::WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
          written != bytes.size())
        error = ::GetLastError() ? ::GetLastError() : ERROR_WRITE_FAULT;
    }
    if (error) {
      if (!FFailing) Log(L"扫描记录无法写入：" + file + L"（错误码 " + std::to_wstring(error) + L"），稍后重试");
      FFailing = true;
      if (!FTimer) {
        g_retrying = this;
        FTimer = ::SetTimer(nullptr, 0, kRetryMs, &TScanDesk::RetryTimer);
      }
      return;
    }
    FWaiting.erase(FWaiting.begin(), FWaiting.begin() + static_cast<std::ptrdiff_t>(rows));
  }
  if (FTimer) ::KillTimer(nullptr, FTimer);
  FTimer = 0;
  if (FFailing && FLost)
    Log(L"扫描记录已恢复写入；等待期间最早的 " + std::to_wstring(FLost) + L" 行因过多未能保存");
  FFailing = false;
  FLost = 0;
}

void CALLBACK TScanDesk::RetryTimer(HWND, UINT, UINT_PTR, DWORD) {
  if (g_retrying) g_retrying->Flush();
}

}  // namespace qm
