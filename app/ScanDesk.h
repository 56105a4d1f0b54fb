#pragma once
// What becomes of every received barcode beyond its delivery, as config.ini
// asks: ScanLog=1 keeps a row per barcode in scans\YYYY-MM-DD.csv beside the
// executable, Reply=1 answers each line on its connection, RepeatSeconds=N
// holds back a repeated scan. Main thread only.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "app/ScanRecord.h"
#include "input/DeliveryRules.h"
#include "net/ReplyChannel.h"
#include "platform/SharedTypes.h"

namespace qm {

class TScanDesk {
 public:
  explicit TScanDesk(TStrProc AOnLog) : FOnLog(std::move(AOnLog)) {}
  ~TScanDesk();
  TScanDesk(const TScanDesk&) = delete;
  TScanDesk& operator=(const TScanDesk&) = delete;

  // Reads the three keys; an invalid RepeatSeconds is logged and is off.
  void LoadConfig(const std::wstring& iniPath);
  // Set while Reply=1: the listener's readers then give each line a channel.
  std::shared_ptr<const std::atomic<bool>> Replies() const { return FReplies; }

  // One barcode from From: held back as a repeat, or handed to deliver;
  // then recorded and answered.
  void Handle(const std::wstring& S, const TSender& From, const std::function<TDeliveryOutcome()>& deliver);

  // Rows that wait for a file that cannot be opened; past that the oldest go.
  static constexpr std::size_t kMaxWaitingRows = 10000;
  static constexpr UINT kRetryMs = 2000;

 private:
  struct TRow {
    std::wstring file;
    std::string bytes;  // UTF-8
  };
  void Add(TRow row);
  void Flush();
  void Log(const std::wstring& S) const {
    if (FOnLog) FOnLog(S);
  }
  static void CALLBACK RetryTimer(HWND, UINT, UINT_PTR, DWORD);

  const TStrProc FOnLog;
  const std::shared_ptr<std::atomic<bool>> FReplies = std::make_shared<std::atomic<bool>>(false);
  bool FRecord = false;
  TRepeatRule FRepeat;
  std::deque<TRow> FWaiting;
  std::size_t FLost = 0;  // rows dropped from FWaiting in this failure spell
  bool FFailing = false;
  UINT_PTR FTimer = 0;
};

}  // namespace qm
