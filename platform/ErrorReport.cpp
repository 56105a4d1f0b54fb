#include "platform/ErrorReport.h"

#include <windows.h>

#include <new>

#include "platform/AppError.h"
#include "platform/Application.h"
#include "platform/TextRules.h"

namespace qm {
namespace {

std::function<void(const std::wstring&)>& Sink() {
  static std::function<void(const std::wstring&)> sink;
  return sink;
}

std::wstring FromNarrow(const char* s) {
  std::u16string text;
  std::string_view bytes(s ? s : "");
  if (DecodeUtf8(bytes, text)) return ToWide(text);
  std::wstring ascii;
  for (char c : bytes) ascii.push_back(static_cast<unsigned char>(c) < 0x80 ? c : L'?');
  return ascii;
}

}  // namespace

void ShowErrorReport(const std::wstring& message) {
  std::wstring text = ToWide(WithFullStop(ToU16(message)));
  if (Sink()) {
    Sink()(text);
    return;
  }
  ::MessageBoxW(nullptr, text.c_str(), TApplication::Title().c_str(), MB_OK | MB_ICONERROR);
}

std::wstring CurrentExceptionMessage() {
  try {
    throw;
  } catch (const EAppError& e) {
    return e.Message();
  } catch (const std::bad_alloc&) {
    return L"Out of memory";
  } catch (const std::exception& e) {
    return FromNarrow(e.what());
  } catch (...) {
    return L"Unknown error";
  }
}

void ReportCurrentException() noexcept {
  try {
    ShowErrorReport(CurrentExceptionMessage());
  } catch (...) {
    // Nothing is left to tell the user with.
  }
}

void SetErrorReportSink(std::function<void(const std::wstring&)> sink) { Sink() = std::move(sink); }

}  // namespace qm
