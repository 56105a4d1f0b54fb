#include "platform/IniFile.h"

#include <cwchar>
#include <vector>

#include "platform/AppError.h"

namespace qm {

std::wstring TIniFile::ReadString(const wchar_t* section, const wchar_t* key,
                                  const std::wstring& def) const {
  std::vector<wchar_t> buf(2048);
  for (;;) {
    DWORD n = ::GetPrivateProfileStringW(section, key, def.c_str(), buf.data(),
                                         static_cast<DWORD>(buf.size()), fileName_.c_str());
    if (n + 1 < buf.size()) return std::wstring(buf.data(), n);
    buf.resize(buf.size() * 4);  // the value may have been cut off
  }
}

bool TIniFile::HasKey(const wchar_t* section, const wchar_t* key) const {
  // No default value can tell an absent key from one with that value: two can.
  return ReadString(section, key, L"\x01") != L"\x01" || ReadString(section, key, L"\x02") != L"\x02";
}

std::vector<std::wstring> TIniFile::ReadSection(const wchar_t* section) const {
  std::vector<wchar_t> buf(4096);
  DWORD n = 0;
  for (;;) {
    n = ::GetPrivateProfileSectionW(section, buf.data(), static_cast<DWORD>(buf.size()), fileName_.c_str());
    if (n + 2 < buf.size()) break;
    buf.resize(buf.size() * 4);  // the section may have been cut off
  }
  std::vector<std::wstring> lines;
  for (const wchar_t* p = buf.data(); p < buf.data() + n && *p; p += std::wcslen(p) + 1)
    if (*p != L';') lines.emplace_back(p);
  return lines;
}

void TIniFile::WriteString(const wchar_t* section, const wchar_t* key, const std::wstring& value) {
  if (!::WritePrivateProfileStringW(section, key, value.c_str(), fileName_.c_str()))
    throw EAppError(L"Unable to write to " + fileName_);
}

void TIniFile::WriteInteger(const wchar_t* section, const wchar_t* key, std::int32_t value) {
  WriteString(section, key, std::to_wstring(value));
}

void TIniFile::UpdateFile() noexcept {
  ::WritePrivateProfileStringW(nullptr, nullptr, nullptr, fileName_.c_str());
}

}  // namespace qm
