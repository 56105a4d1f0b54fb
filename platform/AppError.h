#pragma once
// The error the program raises for the top-level error report to show.
#include <exception>
#include <string>

#include "platform/WideText.h"

namespace qm {

class EAppError : public std::exception {
 public:
  explicit EAppError(std::wstring message)
      : message_(std::move(message)), what_(WideToUtf8(message_)) {}
  const std::wstring& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::wstring message_;
  std::string what_;
};

}  // namespace qm
