// The 32-bit release Quillmere.exe cannot be started on these machines, so
// its image is read instead: a PE32 GUI program for Intel 80386,
// large-address-aware, importing system DLLs only (no MinGW runtime DLL),
// with the icon MAINICON and a manifest for common controls 6, per-monitor
// DPI awareness and asInvoker. Then each of these is broken in a copy, to
// show that the check sees its loss.
//   release_exe_tests PATH-TO-Quillmere.exe
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string g_exePath;

constexpr std::uint16_t kMachineI386 = 0x14C;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kSubsystemGui = 2;
constexpr std::uint16_t kLargeAddressAware = 0x20;
constexpr std::uint32_t kResIcon = 3, kResGroupIcon = 14, kResManifest = 24;

// DLLs that every Windows has; anything else would have to travel with the exe.
const std::set<std::string> kSystemDlls = {
    "advapi32.dll", "comctl32.dll", "gdi32.dll",  "kernel32.dll", "msvcrt.dll",   "shell32.dll",
    "user32.dll",   "ws2_32.dll",   "iphlpapi.dll", "ole32.dll",  "oleaut32.dll", "imm32.dll",
    "shlwapi.dll",  "uxtheme.dll",  "dwmapi.dll", "version.dll",  "psapi.dll",    "ntdll.dll"};

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

class TPeImage {
 public:
  explicit TPeImage(const Bytes& b) : b_(b) {}

  std::vector<std::string> Problems() {
    if (b_.size() < 0x40 || U16(0) != 0x5A4D) return {"no DOS header"};
    pe_ = U32(0x3C);
    if (!Fits(pe_, 24) || U32(pe_) != 0x00004550) return {"no PE signature"};
    const std::uint16_t machine = U16(pe_ + 4), characteristics = U16(pe_ + 22);
    const std::uint32_t opt = pe_ + 24;
    if (!Fits(opt, 96)) return {"optional header cut off"};
    std::vector<std::string> problems;
    if (machine != kMachineI386) problems.push_back("machine is not Intel 80386");
    if (U16(opt) != kPe32Magic) problems.push_back("not a PE32 image");
    if (U16(opt + 68) != kSubsystemGui) problems.push_back("not a Windows GUI program");
    if (!(characteristics & kLargeAddressAware)) problems.push_back("not large-address-aware");
    if (U16(opt) != kPe32Magic) return problems;  // the directories below are PE32's

    sections_ = pe_ + 24 + U16(pe_ + 20);
    sectionCount_ = U16(pe_ + 6);
    const std::uint32_t dirCount = U32(opt + 92);
    auto dir = [&](std::uint32_t i) { return i < dirCount && Fits(opt + 96 + 8 * i, 8) ? U32(opt + 96 + 8 * i) : 0; };
    CheckImports(dir(1), problems);
    CheckResources(dir(2), problems);
    return problems;
  }

 private:
  bool Fits(std::uint64_t at, std::uint64_t n) const { return at + n <= b_.size(); }
  std::uint16_t U16(std::uint64_t at) const { return Fits(at, 2) ? b_[at] | b_[at + 1] << 8 : 0; }
  std::uint32_t U32(std::uint64_t at) const {
    return Fits(at, 4) ? static_cast<std::uint32_t>(U16(at)) | static_cast<std::uint32_t>(U16(at + 2)) << 16 : 0;
  }

  std::optional<std::uint32_t> FileOffset(std::uint32_t rva) const {
    for (std::uint32_t i = 0; i < sectionCount_; ++i) {
      const std::uint64_t s = sections_ + 40ull * i;
      const std::uint32_t va = U32(s + 12), size = std::max(U32(s + 8), U32(s + 16)), raw = U32(s + 20);
      if (rva >= va && rva < va + size) return raw + (rva - va);
    }
    return std::nullopt;
  }

  std::string CString(std::uint32_t rva) const {
    std::string s;
    auto at = FileOffset(rva);
    for (std::uint64_t i = at.value_or(b_.size()); i < b_.size() && b_[i]; ++i) s += static_cast<char>(b_[i]);
    return s;
  }

  void CheckImports(std::uint32_t rva, std::vector<std::string>& problems) const {
    auto at = FileOffset(rva);
    if (!rva || !at) {
      problems.push_back("no import directory");
      return;
    }
    for (std::uint64_t d = *at; Fits(d, 20) && U32(d + 12) != 0; d += 20) {
      const std::string name = CString(U32(d + 12));
      if (!kSystemDlls.count(Lower(name))) problems.push_back("imports " + name + ", not a system DLL");
    }
  }

  // One level of the resource tree: the entry with this id, or this name.
  std::optional<std::uint32_t> Entry(std::uint64_t dir, std::optional<std::uint32_t> id, const std::u16string& name,
                                     bool& isDir) const {
    const std::uint32_t count = U16(dir + 12) + U16(dir + 14);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t e = dir + 16 + 8ull * i;
      const std::uint32_t nameField = U32(e), target = U32(e + 4);
      bool match = false;
      if (nameField & 0x80000000u) {
        const std::uint64_t s = res_ + (nameField & 0x7FFFFFFFu);
        std::u16string entryName;
        for (std::uint32_t k = 0; k < U16(s); ++k) entryName += static_cast<char16_t>(U16(s + 2 + 2ull * k));
        match = !id && entryName == name;
      } else {
        match = id && nameField == *id;
      }
      if (match) {
        isDir = (target & 0x80000000u) != 0;
        return target & 0x7FFFFFFFu;
      }
    }
    return std::nullopt;
  }

  // The first entry of a directory: its offset, and whether it is a directory.
  std::optional<std::uint32_t> First(std::uint64_t dir, bool& isDir) const {
    if (U16(dir + 12) + U16(dir + 14) == 0) return std::nullopt;
    const std::uint32_t target = U32(dir + 16 + 4);
    isDir = (target & 0x80000000u) != 0;
    return target & 0x7FFFFFFFu;
  }

  // The data of a resource of this type with this id or name (any, when
  // neither is given), in its first language: its bytes, or none.
  std::optional<std::string> Resource(std::uint32_t type, std::optional<std::uint32_t> id,
                                      const std::u16string& name) const {
    bool isDir = false;
    auto typeDir = Entry(res_, type, u"", isDir);
    if (!typeDir || !isDir) return std::nullopt;
    auto nameDir = id || !name.empty() ? Entry(res_ + *typeDir, id, name, isDir) : First(res_ + *typeDir, isDir);
    if (!nameDir || !isDir) return std::nullopt;
    auto entry = First(res_ + *nameDir, isDir);
    if (!entry || isDir) return std::nullopt;
    auto data = FileOffset(U32(res_ + *entry));
    const std::uint32_t size = U32(res_ + *entry + 4);
    if (!data || !Fits(*data, size)) return std::nullopt;
    return std::string(b_.begin() + *data, b_.begin() + *data + size);
  }

  void CheckResources(std::uint32_t rva, std::vector<std::string>& problems) {
    auto at = FileOffset(rva);
    if (!rva || !at) {
      problems.push_back("no resources");
      return;
    }
    res_ = *at;
    if (!Resource(kResGroupIcon, std::nullopt, u"MAINICON") || !Resource(kResIcon, std::nullopt, u""))
      problems.push_back("no icon MAINICON");
    const std::optional<std::string> manifest = Resource(kResManifest, 1, u"");
    if (!manifest) {
      problems.push_back("no manifest");
      return;
    }
    for (const char* needed : {"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", "level=\"asInvoker\"",
                               ">PerMonitorV2", ">true/pm<"})
      if (manifest->find(needed) == std::string::npos) problems.push_back(std::string("manifest lacks ") + needed);
  }

  const Bytes& b_;
  std::uint32_t pe_ = 0, sections_ = 0, sectionCount_ = 0;
  std::uint64_t res_ = 0;
};

std::vector<std::string> ProblemsOf(const Bytes& b) { return TPeImage(b).Problems(); }

Bytes ReadExe() {
  std::ifstream in(g_exePath, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Replaces the last occurrence of from (bytes) by to, of the same length:
// the resources come last, after the code's own strings.
bool Patch(Bytes& b, const std::string& from, const std::string& to) {
  auto it = std::find_end(b.begin(), b.end(), from.begin(), from.end());
  if (it == b.end() || from.size() != to.size()) return false;
  std::copy(to.begin(), to.end(), it);
  return true;
}

std::string Utf16(const std::string& ascii) {
  std::string s;
  for (char c : ascii) s += {c, '\0'};
  return s;
}

std::string Joined(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += "\n  " + x;
  return s;
}

TEST(ReleaseExe, IsA32BitGuiProgramOfSystemDllsWithIconAndManifest) {
  const Bytes exe = ReadExe();
  ASSERT_FALSE(exe.empty()) << "cannot read " << g_exePath;
  const std::vector<std::string> problems = ProblemsOf(exe);
  EXPECT_TRUE(problems.empty()) << g_exePath << ":" << Joined(problems);
}

TEST(ReleaseExe, TheCheckSeesEachLoss) {
  const Bytes exe = ReadExe();
  ASSERT_FALSE(exe.empty()) << "cannot read " << g_exePath;
  const std::uint32_t pe = exe[0x3C] | exe[0x3D] << 8;
  struct TLoss {
    const char* expected;
    std::function<bool(Bytes&)> breakIt;
  };
  const TLoss losses[] = {
      {"machine is not Intel 80386", [&](Bytes& b) { b[pe + 4] = 0x64, b[pe + 5] = 0x86; return true; }},
      {"not large-address-aware", [&](Bytes& b) { b[pe + 22] &= ~kLargeAddressAware; return true; }},
      {"not a Windows GUI program", [&](Bytes& b) { b[pe + 24 + 68] = 3; return true; }},
      {"imports libgcc.dll", [](Bytes& b) { return Patch(b, "USER32.dll", "libgcc.dll"); }},
      {"no icon MAINICON", [](Bytes& b) { return Patch(b, Utf16("MAINICON"), Utf16("MAINICOX")); }},
      {"manifest lacks level=\"asInvoker\"",
       [](Bytes& b) { return Patch(b, "\"asInvoker\"", "\"asInvokeX\""); }},
      {"manifest lacks Microsoft.Windows.Common-Controls",
       [](Bytes& b) { return Patch(b, "version=\"6.0.0.0\"", "version=\"5.8.0.0\""); }},
      {"manifest lacks >PerMonitorV2", [](Bytes& b) { return Patch(b, ">PerMonitorV2", ">PerMonitorXX"); }},
  };
  for (const TLoss& loss : losses) {
    Bytes broken = exe;
    ASSERT_TRUE(loss.breakIt(broken)) << "nothing to break for: " << loss.expected;
    const std::vector<std::string> problems = ProblemsOf(broken);
    const bool seen = std::any_of(problems.begin(), problems.end(), [&](const std::string& p) {
      return p.rfind(loss.expected, 0) == 0;
    });
    EXPECT_TRUE(seen) << "expected \"" << loss.expected << "\", got:" << Joined(problems);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PATH-TO-Quillmere.exe\n", argv[0]);
    return 2;
  }
  g_exePath = argv[1];
  return RUN_ALL_TESTS();
}
