#include "net/ConnectionRules.h"

#include <algorithm>
#include <bit>

namespace qm {
namespace {

bool IsUpper(char16_t c) noexcept { return c >= u'A' && c <= u'Z'; }
bool IsDigit(char16_t c) noexcept { return c >= u'0' && c <= u'9'; }

// An upper-case method token from i ("M-SEARCH" has a hyphen), then blanks;
// i moves past them. False when either is missing.
bool ReadMethod(std::u16string_view s, std::size_t& i) noexcept {
  if (i >= s.size() || !IsUpper(s[i])) return false;
  while (i < s.size() && (IsUpper(s[i]) || s[i] == u'-' || s[i] == u'_')) ++i;
  const std::size_t method = i;
  while (i < s.size() && s[i] == u' ') ++i;
  return i > method;
}

std::size_t SkipControls(std::u16string_view s) noexcept {
  std::size_t i = 0;
  while (i < s.size() && s[i] <= 0x20) ++i;
  return i;
}

std::u16string Decimal(std::size_t n) {
  const std::string s = std::to_string(n);
  return std::u16string(s.begin(), s.end());
}

std::u16string RangeText(const TIpv4Range& r) {
  std::u16string out = FormatIpv4(r.network);
  if (r.mask != 0xFFFFFFFFu) out += u"/" + Decimal(static_cast<std::size_t>(std::popcount(r.mask)));
  return out;
}

}  // namespace

bool IsHttpRequestLine(std::u16string_view line) noexcept {
  std::size_t i = SkipControls(line);
  if (!ReadMethod(line, i)) return false;
  const std::size_t target = i;
  while (i < line.size() && line[i] > 0x20) ++i;
  if (i == target || i >= line.size() || line[i] != u' ') return false;
  while (i < line.size() && line[i] == u' ') ++i;
  if (line.substr(i, 5) != u"HTTP/") return false;
  i += 5;
  const std::size_t major = i;
  while (i < line.size() && IsDigit(line[i])) ++i;
  if (i == major) return false;
  if (i < line.size() && line[i] == u'.') {
    const std::size_t minor = ++i;
    while (i < line.size() && IsDigit(line[i])) ++i;
    if (i == minor) return false;
  }
  while (i < line.size() && line[i] <= 0x20) ++i;
  return i == line.size();
}

bool MayStartHttpRequest(std::u16string_view text) noexcept {
  std::size_t i = SkipControls(text);
  if (!ReadMethod(text, i) || i >= text.size()) return false;
  if (text[i] == u'/' || text[i] == u'*') return true;
  if (text.size() - i < 4) return false;
  constexpr char16_t kHttp[] = u"http";
  for (std::size_t k = 0; k < 4; ++k)
    if ((text[i + k] | 0x20) != kHttp[k]) return false;
  return true;
}

bool TRequestGuard::Refuses(const std::vector<std::u16string>& lines, bool firstCut) noexcept {
  if (judged_ || lines.empty()) return false;
  judged_ = true;
  // A request line longer than a line may be is still one.
  return IsHttpRequestLine(lines.front()) || (firstCut && MayStartHttpRequest(lines.front()));
}

std::u16string ConnectionNoteLine(TConnectionNote note, std::uint32_t address) {
  const std::u16string from = FormatIpv4(address);
  switch (note) {
    case TConnectionNote::kRefused: return u"已拒绝来自 " + from + u" 的连接";
    case TConnectionNote::kHttp: return u"已拒绝来自 " + from + u" 的 HTTP 请求（网页不能向本程序发送条码）";
    case TConnectionNote::kMalformed: return u"来自 " + from + u" 的数据不是有效的 UTF-8，连接已关闭";
    case TConnectionNote::kNoReader: return u"无法为来自 " + from + u" 的连接创建读取线程，连接已关闭";
    case TConnectionNote::kAddressFull:
      return u"来自 " + from + u" 的连接已达 " + Decimal(TConnectionTable::kPerAddress) + u" 个，已关闭其中空闲最久的一个";
  }
  return {};
}

bool TConnectionLog::ShouldLog(TConnectionNote note, std::uint32_t address, std::uint64_t nowMs) {
  // A repeat within its minute is simply not told; only what the cap holds
  // back is counted.
  if (!perAddress_.ShouldLog(static_cast<std::uint64_t>(note) << 32 | address, nowMs)) return false;
  if (!inPeriod_ || nowMs - periodStart_ >= kPeriodMs) {
    inPeriod_ = true;
    periodStart_ = nowMs;
    shown_ = 0;
  }
  if (shown_ < kMaxPerPeriod) {
    ++shown_;
    return true;
  }
  ++heldBack_;
  return false;
}

std::u16string TConnectionLog::TakeSummary(std::uint64_t nowMs) {
  if (heldBack_ == 0 || nowMs - periodStart_ < kPeriodMs) return {};
  const std::size_t n = heldBack_;
  heldBack_ = 0;
  return u"另有 " + Decimal(n) + u" 条连接记录未显示";
}

bool TEveryMinute::Due(std::uint64_t nowMs) noexcept {
  if (last_ && nowMs - *last_ < TConnectionLog::kPeriodMs) return false;
  last_ = nowMs;
  return true;
}

TConnectionTable::TAdmission TConnectionTable::Admit(std::uint32_t address, std::uintptr_t key, std::uint64_t nowMs) {
  TAdmission out;
  auto count = perAddress_.find(address);
  if (count != perAddress_.end() && count->second >= kPerAddress) {
    auto victim = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
      if (it->second.address == address &&
          (victim == entries_.end() || it->second.lastMs < victim->second.lastMs ||
           (it->second.lastMs == victim->second.lastMs && it->second.order < victim->second.order)))
        victim = it;
    out.evicted = victim->first;
    entries_.erase(victim);
    --count->second;
  } else if (entries_.size() >= kTotal) {
    return out;
  }
  entries_[key] = TEntry{address, nowMs, admitted_++};
  ++perAddress_[address];
  out.admitted = true;
  return out;
}

void TConnectionTable::Touch(std::uintptr_t key, std::uint64_t nowMs) noexcept {
  if (auto it = entries_.find(key); it != entries_.end()) it->second.lastMs = nowMs;
}

bool TConnectionTable::Remove(std::uintptr_t key) noexcept {
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  auto count = perAddress_.find(it->second.address);
  if (--count->second == 0) perAddress_.erase(count);
  entries_.erase(it);
  return true;
}

std::size_t TConnectionTable::CountOf(std::uint32_t address) const noexcept {
  auto it = perAddress_.find(address);
  return it == perAddress_.end() ? 0 : it->second;
}

void TConnectionGate::SetAllowFrom(TAllowFrom allow) {
  std::lock_guard<std::mutex> lock(mu_);
  allow_ = std::move(allow);
}

std::u16string TConnectionGate::AllowFromLine() const {
  std::lock_guard<std::mutex> lock(mu_);
  return qm::AllowFromLine(allow_);
}

TConnectionGate::TEntry TConnectionGate::Check(std::uint32_t address, std::uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(mu_);
  TEntry out;
  out.admitted = allow_.Admits(address);
  if (!out.admitted) Tell(TConnectionNote::kRefused, address, nowMs, out.lines);
  return out;
}

TConnectionGate::TEntry TConnectionGate::Enter(std::uint32_t address, std::uintptr_t key, std::uint64_t nowMs,
                                               const std::function<void(std::uintptr_t)>& evict) {
  std::lock_guard<std::mutex> lock(mu_);
  TEntry out;
  const TConnectionTable::TAdmission a = table_.Admit(address, key, nowMs);
  out.admitted = a.admitted;
  if (!a.admitted) {
    if (totalFull_.Due(nowMs))
      out.lines.push_back(u"连接总数已达 " + Decimal(TConnectionTable::kTotal) + u" 个，已拒绝来自 " + FormatIpv4(address) + u" 的连接");
    return out;
  }
  if (a.evicted) {
    if (evict) evict(*a.evicted);
    Tell(TConnectionNote::kAddressFull, address, nowMs, out.lines);
  }
  return out;
}

void TConnectionGate::Touch(std::uintptr_t key, std::uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(mu_);
  table_.Touch(key, nowMs);
}

void TConnectionGate::Leave(std::uintptr_t key) {
  std::lock_guard<std::mutex> lock(mu_);
  (void)table_.Remove(key);
}

void TConnectionGate::Tell(TConnectionNote note, std::uint32_t address, std::uint64_t nowMs, Lines& out) {
  if (std::u16string summary = log_.TakeSummary(nowMs); !summary.empty()) out.push_back(std::move(summary));
  if (log_.ShouldLog(note, address, nowMs)) out.push_back(ConnectionNoteLine(note, address));
}

TConnectionGate::Lines TConnectionGate::Note(TConnectionNote note, std::uint32_t address, std::uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(mu_);
  Lines out;
  Tell(note, address, nowMs, out);
  return out;
}

std::u16string TConnectionGate::AcceptFailed(int error, std::uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!acceptFailed_.Due(nowMs)) return {};
  const std::string code = std::to_string(error);
  return u"接受连接失败，错误码 " + std::u16string(code.begin(), code.end());
}

std::u16string TConnectionGate::TakeSummary(std::uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(mu_);
  return log_.TakeSummary(nowMs);
}

std::u16string AllowFromLine(const TAllowFrom& allow) {
  std::u16string line = u"允许连接的地址：";
  if (allow.everyone) return line + u"全部";
  line += FormatIpv4(kThisPc);
  const TIpv4Range thisPc{kThisPc, 0xFFFFFFFFu};
  std::vector<TIpv4Range> told{thisPc};
  for (const TIpv4Range& r : allow.ranges) {
    if (std::find(told.begin(), told.end(), r) != told.end()) continue;
    told.push_back(r);
    line += u", " + RangeText(r);
  }
  return line;
}

bool ShouldRetryBind(const TPortUse& use) noexcept {
  if (use.otherListens) return false;
  return use.openReaders > 0 || use.tableShowsOurs ||
         (use.msSinceLastEnded && *use.msSinceLastEnded < kClosedConnectionHoldMs);
}

}  // namespace qm
