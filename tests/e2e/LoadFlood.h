#pragma once
// Clients sending numbered lines as fast as they can into the real program,
// with a target in front: every line is checked to arrive once and in order
// per client, the program's memory is sampled from outside and its window
// is asked questions all along.
#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "WireRig.h"

namespace qme2e {

// Bounds for a flood of 20 clients, set from measurement (Wine 8, 32-bit):
// the program starts at some 8 MiB private and 27 MiB resident; each open
// connection's reader thread costs about 1 MiB under Wine; the lines that
// wait for the main thread are capped at 4,096 (some 2 MiB of 200-character
// lines). Measured at most: 29.3 MiB private, 48.9 MiB resident, for 20,000
// and for 200,000 lines alike. Lines left waiting without a cap would add
// about 0.5 KiB each.
constexpr std::size_t kFloodPrivateBound = 36u << 20;
constexpr std::size_t kFloodResidentBound = 64u << 20;
constexpr double kAnswerBoundMs = 1000;

struct TFloodFigures {
  std::size_t sent = 0, entered = 0;
  std::size_t misordered = 0;  // lines entered twice, out of order, or unknown
  std::vector<std::string> firstFaults;
  std::size_t clientFailures = 0;  // a client that could not send or was not closed after
  double seconds = 0;
  // Memory of the program, sampled about every 200 ms: the largest values
  // seen, and the kernel's own peak of the resident set at the end.
  std::size_t before = 0, maxPrivate = 0, maxResident = 0, peakResident = 0, samples = 0;
  std::size_t asked = 0, unanswered = 0;
  double longestAnswerMs = 0;
};

// "Fcc-ssssss-" and letters that follow from both numbers: client cc's line
// number ssssss, 200 characters, long enough that lines left waiting without
// bound would show in the program's memory.
constexpr std::size_t kFloodLineLength = 200;
inline std::string FloodLine(int client, int seq) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "F%02d-%06d-", client, seq);
  std::string s(buf);
  for (std::size_t i = s.size(); i < kFloodLineLength; ++i)
    s += static_cast<char>('a' + (static_cast<std::size_t>(client) * 31 + static_cast<std::size_t>(seq) + i) % 26);
  return s;
}

// Runs the flood into rig (started, the target in front, its control edit1)
// and waits until every line is entered or nothing arrives for stallMs.
inline TFloodFigures Flood(TDeliveryRig& rig, int clients, int linesPerClient, DWORD stallMs = 60000) {
  TFloodFigures f;
  f.sent = static_cast<std::size_t>(clients) * linesPerClient;
  rig.NewEvents();  // what came before is not counted
  if (auto m = ProcessMemory(rig.app.Pid())) f.before = m->privateBytes;
  std::vector<int> next(static_cast<std::size_t>(clients), 0);
  std::atomic<int> failures{0};

  TResponseProbe probe(rig.app.Main(), 50, 5000);
  const double start = NowMs();
  std::vector<std::thread> senders;
  for (int c = 0; c < clients; ++c)
    senders.emplace_back([&, c] {
      std::string bytes;
      for (int i = 0; i < linesPerClient; ++i) bytes += FloodLine(c, i) + "\r\n";
      TTcpClient client(rig.port, false);
      // The program closes once it has read everything it was sent.
      const bool ok = client.Connected() && client.Send(bytes);
      client.ShutdownSend();
      if (!ok || !client.ClosedByPeer(30 * 60 * 1000)) ++failures;
    });

  const std::string prefix = "edit1 ENTER ";
  DWORD lastProgress = ::GetTickCount();
  while (f.entered < f.sent && ::GetTickCount() - lastProgress < stallMs) {
    ::Sleep(200);
    for (const std::string& line : rig.tail.NewLines()) {
      if (line.rfind(prefix, 0) != 0) continue;
      lastProgress = ::GetTickCount();
      ++f.entered;
      const std::string text = line.substr(prefix.size());
      int c = -1, seq = -1;
      const bool parsed = std::sscanf(text.c_str(), "F%2d-%6d-", &c, &seq) == 2 && c >= 0 && c < clients;
      if (parsed && seq == next[static_cast<std::size_t>(c)] && text == FloodLine(c, seq)) {
        ++next[static_cast<std::size_t>(c)];
        continue;
      }
      ++f.misordered;
      if (f.firstFaults.size() < 10)
        f.firstFaults.push_back(text.substr(0, 40) + "... (the client's next: " +
                                (parsed ? std::to_string(next[static_cast<std::size_t>(c)]) : "?") + ")");
    }
    if (auto m = ProcessMemory(rig.app.Pid())) {
      ++f.samples;
      f.maxPrivate = std::max(f.maxPrivate, m->privateBytes);
      f.maxResident = std::max(f.maxResident, m->resident);
    }
  }
  f.seconds = (NowMs() - start) / 1000.0;
  probe.Stop();
  if (auto m = ProcessMemory(rig.app.Pid())) f.peakResident = m->peakResident;
  f.asked = probe.Asked();
  f.unanswered = probe.Unanswered();
  f.longestAnswerMs = probe.LongestMs();
  // A stalled program would keep the senders waiting for its close.
  if (f.entered < f.sent) rig.app.Kill();
  for (std::thread& t : senders) t.join();
  f.clientFailures = static_cast<std::size_t>(failures.load());
  return f;
}

// Every line once and in order, memory under the bounds, the window
// answering within a second throughout.
inline void ExpectSoundFlood(const TFloodFigures& f) {
  EXPECT_EQ(f.entered, f.sent);
  EXPECT_EQ(f.misordered, 0u) << ::testing::PrintToString(f.firstFaults);
  EXPECT_EQ(f.clientFailures, 0u);
  EXPECT_GT(f.samples, 10u);
  EXPECT_LE(f.maxPrivate, kFloodPrivateBound);
  EXPECT_LE(f.maxResident, kFloodResidentBound);
  EXPECT_LE(f.peakResident, kFloodResidentBound);
  EXPECT_GT(f.asked, 10u);
  EXPECT_EQ(f.unanswered, 0u);
  EXPECT_LT(f.longestAnswerMs, kAnswerBoundMs);
}

inline void PrintFlood(const char* name, int clients, int linesPerClient, const TFloodFigures& f) {
  std::printf(
      "[flood] %s: %d clients x %d lines: %zu of %zu entered in %.1f s (%.0f lines/s), %zu out of order; "
      "private memory %.1f MiB before, at most %.1f MiB; resident at most %.1f MiB (kernel's peak %.1f MiB), "
      "%zu samples; window asked %zu times, %zu unanswered, longest answer %.0f ms\n",
      name, clients, linesPerClient, f.entered, f.sent, f.seconds, f.entered / (f.seconds > 0 ? f.seconds : 1),
      f.misordered, f.before / 1048576.0, f.maxPrivate / 1048576.0, f.maxResident / 1048576.0,
      f.peakResident / 1048576.0, f.samples, f.asked, f.unanswered, f.longestAnswerMs);
  std::fflush(stdout);
}

}  // namespace qme2e
