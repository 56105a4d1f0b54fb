// Entry of the in-process Windows tests. With --qm-sender the executable is
// instead a client in a process of its own (a separate Winsock), used where
// the test process's own Winsock would hide what is being tested.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "WinTestSupport.h"
#include "platform/MainThreadQueue.h"

namespace {

// --qm-sender PORT EVENT LINE1 LINE2: sends LINE1, waits for EVENT, sends
// LINE2, then waits for the server to close and exits 0 if both were sent.
int RunSender(int argc, char** argv) {
  if (argc < 6) return 2;
  qmtest::WinsockScope winsock;
  SOCKET s = qmtest::Connect(static_cast<std::uint16_t>(std::atoi(argv[2])));
  if (s == INVALID_SOCKET) return 3;
  HANDLE ev = ::OpenEventA(SYNCHRONIZE, FALSE, argv[3]);
  if (!ev) return 4;
  if (!qmtest::SendAll(s, std::string(argv[4]) + "\r\n")) return 5;
  if (::WaitForSingleObject(ev, 20000) != WAIT_OBJECT_0) return 6;
  if (!qmtest::SendAll(s, std::string(argv[5]) + "\r\n")) return 7;
  ::shutdown(s, SD_SEND);
  qmtest::PeerClosedWithin(s, 5000);
  ::closesocket(s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--qm-sender") return RunSender(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  qm::TMainThreadQueue::Initialize();
  return RUN_ALL_TESTS();
}
