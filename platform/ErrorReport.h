#pragma once
// The application's top-level error report: every window procedure and every
// queued call ends here with an error no handler caught.
#include <functional>
#include <string>

namespace qm {

// Shows message (full stop rule applied) in a modal box with an error icon,
// an OK button and the application title.
void ShowErrorReport(const std::wstring& message);

// Call inside a catch block: reports the exception in flight. Never throws.
void ReportCurrentException() noexcept;

// The message of the exception in flight.
std::wstring CurrentExceptionMessage();

// Tests in the same process take the reports instead of a box (empty: box).
void SetErrorReportSink(std::function<void(const std::wstring&)> sink);

template <typename F>
void Guarded(F&& f) noexcept {
  try {
    f();
  } catch (...) {
    ReportCurrentException();
  }
}

}  // namespace qm
