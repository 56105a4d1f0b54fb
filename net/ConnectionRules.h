#pragma once
// The rules of the door: which first lines are web requests, how many
// connections one address and all together may hold, when a refused bind
// is ours to wait out, and the pace of the lines that tell of connections
// refused or closed. Pure: no <windows.h>.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/AddressRules.h"

namespace qm {

// "GET / HTTP/1.1", "OPTIONS * HTTP/1.1": an upper-case method, a space, a
// target, a space, "HTTP/" and a version.
bool IsHttpRequestLine(std::u16string_view line) noexcept;
// Text that reads as the start of one: a method, a space, then "/", "*" or
// "http" (blanks and control characters before it ignored).
bool MayStartHttpRequest(std::u16string_view text) noexcept;

// Judges the first line of one connection, and only that one: a browser
// that any web page can make send here must never type anything.
class TRequestGuard {
 public:
  // Carried text without its line end must wait for it: no line has come
  // yet and it may be a request line.
  bool Holds(std::u16string_view carried) const noexcept { return !judged_ && MayStartHttpRequest(carried); }
  // The first of lines, when it is the connection's first: true when the
  // connection is a web request. firstCut: that line was cut by the length
  // bound, not ended by a break.
  [[nodiscard]] bool Refuses(const std::vector<std::u16string>& lines, bool firstCut) noexcept;

 private:
  bool judged_ = false;
};

// What the log tells of one connection.
enum class TConnectionNote : std::uint8_t {
  kRefused,      // its address is not in AllowFrom
  kHttp,         // a web request
  kMalformed,    // bytes that are not UTF-8
  kNoReader,     // no thread could be made to read it
  kAddressFull,  // its address had the most connections: an idle one was closed
};
std::u16string ConnectionNoteLine(TConnectionNote note, std::uint32_t address);

// Paces the notes: each at most once a minute per address, all of them
// together at most 20 a minute; those held back past that are counted and
// told in one line once their minute is over.
class TConnectionLog {
 public:
  static constexpr std::uint64_t kPeriodMs = 60000;
  static constexpr std::size_t kMaxPerPeriod = 20;

  bool ShouldLog(TConnectionNote note, std::uint32_t address, std::uint64_t nowMs);
  // "另有 N 条连接记录未显示" when notes were held back in a minute that is
  // over; empty otherwise.
  std::u16string TakeSummary(std::uint64_t nowMs);

 private:
  TRefusalLog perAddress_;
  std::uint64_t periodStart_ = 0;
  bool inPeriod_ = false;
  std::size_t shown_ = 0, heldBack_ = 0;
};

// At most once a minute, for lines that name no one address.
class TEveryMinute {
 public:
  bool Due(std::uint64_t nowMs) noexcept;

 private:
  std::optional<std::uint64_t> last_;
};

// The open connections, by address. A key names one connection (the
// caller's choice, unique while it is open).
class TConnectionTable {
 public:
  static constexpr std::size_t kPerAddress = 256, kTotal = 1024;

  struct TAdmission {
    bool admitted = false;
    std::optional<std::uintptr_t> evicted;  // closed to make room
  };
  // Room for one more from address: a full address gives up its connection
  // that has been idle longest (a sender that opens one per scan and never
  // closes them keeps working); a full table refuses.
  TAdmission Admit(std::uint32_t address, std::uintptr_t key, std::uint64_t nowMs);
  void Touch(std::uintptr_t key, std::uint64_t nowMs) noexcept;
  // False when it was no longer there (evicted).
  bool Remove(std::uintptr_t key) noexcept;
  std::size_t Count() const noexcept { return entries_.size(); }
  std::size_t CountOf(std::uint32_t address) const noexcept;

 private:
  struct TEntry {
    std::uint32_t address;
    std::uint64_t lastMs, order;
  };
  std::unordered_map<std::uintptr_t, TEntry> entries_;
  std::unordered_map<std::uint32_t, std::size_t> perAddress_;
  std::uint64_t admitted_ = 0;
};

// The door of the listener: the AllowFrom list, the open connections and
// the pace of the log. Shared by the main thread, the listener and the
// readers; thread-safe.
class TConnectionGate {
 public:
  void SetAllowFrom(TAllowFrom allow);
  // "允许连接的地址：…" with the entries in force.
  std::u16string AllowFromLine() const;
  // What to log is given back, in order: a summary of notes held back in
  // a minute that is over comes before the note that follows it.
  using Lines = std::vector<std::u16string>;
  struct TEntry {
    bool admitted = false;
    Lines lines;
  };
  // The AllowFrom list alone.
  TEntry Check(std::uint32_t address, std::uint64_t nowMs);
  // Room for the connection key of address. evict runs, under the gate's
  // lock, for a connection closed to make room: Leave of that key waits
  // for it, so what key names is still there.
  TEntry Enter(std::uint32_t address, std::uintptr_t key, std::uint64_t nowMs,
               const std::function<void(std::uintptr_t)>& evict);
  void Touch(std::uintptr_t key, std::uint64_t nowMs);
  void Leave(std::uintptr_t key);

  // The line for note, unless it is held back.
  Lines Note(TConnectionNote note, std::uint32_t address, std::uint64_t nowMs);
  std::u16string AcceptFailed(int error, std::uint64_t nowMs);
  std::u16string TakeSummary(std::uint64_t nowMs);

 private:
  void Tell(TConnectionNote note, std::uint32_t address, std::uint64_t nowMs, Lines& out);

  mutable std::mutex mu_;
  TAllowFrom allow_;
  TConnectionTable table_;
  TConnectionLog log_;
  TEveryMinute totalFull_, acceptFailed_;
};

// "允许连接的地址：全部", or the entries in force, 127.0.0.1 first.
std::u16string AllowFromLine(const TAllowFrom& allow);

// Whether a bind refused because the port is in use is ours to wait out:
// our connections on it live, ended within the last four minutes (TCP
// holds a closed one that long), or the system's table shows some of ours;
// and no other program listens there.
struct TPortUse {
  std::size_t openReaders = 0;
  std::optional<std::uint64_t> msSinceLastEnded;  // none: no connection of ours ever ended there
  bool tableShowsOurs = false;
  bool otherListens = false;
};
inline constexpr std::uint64_t kClosedConnectionHoldMs = 4 * 60 * 1000;
bool ShouldRetryBind(const TPortUse& use) noexcept;

}  // namespace qm
