#pragma once
// The system's initialisation-file service over one file. Nothing keeps the
// file open between calls.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

class TIniFile {
 public:
  explicit TIniFile(std::wstring fileName) : fileName_(std::move(fileName)) {}

  const std::wstring& FileName() const noexcept { return fileName_; }

  std::wstring ReadString(const wchar_t* section, const wchar_t* key, const std::wstring& def) const;
  // Whether the key is in the section at all, with any value.
  bool HasKey(const wchar_t* section, const wchar_t* key) const;
  // The section's lines as written ("key=value"), comments left out.
  std::vector<std::wstring> ReadSection(const wchar_t* section) const;

  // Raise EAppError "Unable to write to <file>" when the system refuses.
  void WriteString(const wchar_t* section, const wchar_t* key, const std::wstring& value);
  void WriteInteger(const wchar_t* section, const wchar_t* key, std::int32_t value);

  // Flushes the system's cache of the file. Its result is not a verdict on
  // the writes (Wine reports failure even when all was written).
  void UpdateFile() noexcept;

 private:
  std::wstring fileName_;
};

}  // namespace qm
