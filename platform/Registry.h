#pragma once
// One open registry key.
#include <windows.h>

#include <string>

#include "platform/UniqueHandle.h"

namespace qm {

class TRegistryKey {
 public:
  // Opens the key, creating it when missing. False when neither works.
  [[nodiscard]] bool OpenOrCreate(HKEY root, const wchar_t* path, REGSAM access) noexcept;
  // A string value with its terminating NUL; raises EAppError
  // "Failed to set data for '<name>'" when the system refuses.
  void WriteString(const wchar_t* name, const std::wstring& value);
  bool ValueExists(const wchar_t* name) const noexcept;
  bool DeleteValue(const wchar_t* name) noexcept;

 private:
  UniqueHkey key_;
};

}  // namespace qm
