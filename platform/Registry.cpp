#include "platform/Registry.h"

#include "platform/AppError.h"

namespace qm {

bool TRegistryKey::OpenOrCreate(HKEY root, const wchar_t* path, REGSAM access) noexcept {
  HKEY key = nullptr;
  LSTATUS st = ::RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                 &key, nullptr);
  if (st != ERROR_SUCCESS) return false;
  key_.reset(key);
  return true;
}

void TRegistryKey::WriteString(const wchar_t* name, const std::wstring& value) {
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  LSTATUS st = ::RegSetValueExW(key_.get(), name, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(value.c_str()), bytes);
  if (st != ERROR_SUCCESS) throw EAppError(std::wstring(L"Failed to set data for '") + name + L"'");
}

bool TRegistryKey::ValueExists(const wchar_t* name) const noexcept {
  return ::RegQueryValueExW(key_.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool TRegistryKey::DeleteValue(const wchar_t* name) noexcept {
  return ::RegDeleteValueW(key_.get(), name) == ERROR_SUCCESS;
}

}  // namespace qm
