#include "net/UBarcodeServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "WinTestSupport.h"
#include "net/LineBudget.h"
#include "net/LocalAddresses.h"
#include "platform/ScopeExit.h"

namespace qm {
namespace {

using qmtest::Connect;
using qmtest::PumpFor;
using qmtest::PumpUntil;
using qmtest::SendAll;

// Joins every thread on every path: a failed assertion that returns while
// one is still joinable would end the whole test program.
struct TJoined {
  std::vector<std::thread> threads;
  ~TJoined() { Join(); }
  void Join() {
    for (std::thread& t : threads)
      if (t.joinable()) t.join();
  }
};

// What the callbacks received. Shared, so calls still queued when a test
// ends never touch a dead fixture.
struct Recorder {
  std::vector<std::wstring> barcodes, logs;
  std::function<void(const std::wstring&)> onBarcode;  // optional extra work
};

class BarcodeServerTest : public ::testing::Test {
 protected:
  void SetUp() override { port_ = qmtest::FreePort(); }
  void TearDown() override {
    StopServer();
    // The readers of this test end before the next one starts.
    PumpUntil([&] { return TClientThread::OpenOnPort(port_) == 0; }, 5000);
  }

  std::unique_ptr<TBarcodeServer> MakeServer(std::int32_t port) {
    auto rec = rec_;
    return std::make_unique<TBarcodeServer>(
        port,
        [rec](const std::wstring& s) {
          rec->barcodes.push_back(s);
          if (rec->onBarcode) rec->onBarcode(s);
        },
        [rec](const std::wstring& s) { rec->logs.push_back(s); });
  }

  void StartServer() {
    server_ = MakeServer(port_);
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(PumpUntil([&] { return !rec_->logs.empty(); }, 5000));
    ASSERT_EQ(rec_->logs[0], L"已开始监听 TCP 端口 " + std::to_wstring(port_));
  }

  void StopServer() {
    if (!server_) return;
    server_->Stop();
    server_->WaitFor();
    server_.reset();
  }

  std::shared_ptr<Recorder> rec_ = std::make_shared<Recorder>();
  std::unique_ptr<TBarcodeServer> server_;
  std::uint16_t port_ = 0;
  qmtest::WinsockScope winsock_;
};

TEST_F(BarcodeServerTest, LinesOfManyConnectionsArriveOncePerLineInOrderPerConnection) {
  StartServer();
  constexpr int kClients = 16, kLines = 300;
  TJoined clients;
  for (int c = 0; c < kClients; ++c)
    clients.threads.emplace_back([this, c] {
      SOCKET s = Connect(port_);
      ASSERT_NE(s, INVALID_SOCKET);
      std::string all;
      const char* ends[] = {"\r\n", "\n", "\r"};
      for (int i = 0; i < kLines; ++i)
        all += "C" + std::to_string(c) + "-" + std::to_string(i) + ends[(c + i) % 3];
      // Writes of odd sizes, so lines and CR LF pairs straddle receives.
      for (std::size_t at = 0; at < all.size();) {
        std::size_t len = std::min<std::size_t>(all.size() - at, 1 + (at * 7 + c) % 61);
        ASSERT_TRUE(SendAll(s, all.substr(at, len)));
        at += len;
      }
      ::closesocket(s);
    });
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= kClients * kLines; }, 20000));
  clients.Join();
  PumpFor(300);
  ASSERT_EQ(rec_->barcodes.size(), static_cast<std::size_t>(kClients * kLines));
  std::map<int, int> next;
  for (const std::wstring& b : rec_->barcodes) {
    int c = 0, i = 0;
    ASSERT_EQ(swscanf(b.c_str(), L"C%d-%d", &c, &i), 2) << b;
    ASSERT_EQ(b, L"C" + std::to_wstring(c) + L"-" + std::to_wstring(i));
    EXPECT_EQ(i, next[c]++) << "client " << c;
  }
}

TEST_F(BarcodeServerTest, ABarcodeSplitAcrossWritesArrivesWhole) {
  StartServer();
  SOCKET s = Connect(port_);
  ASSERT_NE(s, INVALID_SOCKET);
  // Each piece read before the next is sent: the reader's receives split
  // the barcode.
  ASSERT_TRUE(SendAll(s, "AB"));
  ASSERT_TRUE(qmtest::SentBytesRead(s, 3000));
  ASSERT_TRUE(SendAll(s, "C\r\n"));
  ASSERT_TRUE(SendAll(s, "\xE4\xB8"));  // a character cut in two
  ASSERT_TRUE(qmtest::SentBytesRead(s, 3000));
  ASSERT_TRUE(SendAll(s, "\xAD" "1\n"));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= 2; }, 3000));
  EXPECT_EQ(rec_->barcodes, (std::vector<std::wstring>{L"ABC", L"中1"}));

  // Without a break the text is a barcode once the sender pauses for 250 ms.
  rec_->barcodes.clear();
  DWORD sent = ::GetTickCount();
  ASSERT_TRUE(SendAll(s, "XYZ"));
  ASSERT_TRUE(PumpUntil([&] { return !rec_->barcodes.empty(); }, 3000));
  DWORD took = ::GetTickCount() - sent;
  EXPECT_EQ(rec_->barcodes, std::vector<std::wstring>{L"XYZ"});
  EXPECT_GE(took, 200u);
  EXPECT_LT(took, 1500u);

  // Lines that come apart in time stay apart.
  rec_->barcodes.clear();
  ASSERT_TRUE(SendAll(s, "P"));
  ASSERT_TRUE(PumpUntil([&] { return !rec_->barcodes.empty(); }, 3000));
  ASSERT_TRUE(SendAll(s, "Q\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= 2; }, 3000));
  EXPECT_EQ(rec_->barcodes, (std::vector<std::wstring>{L"P", L"Q"}));
  ::closesocket(s);
}

TEST_F(BarcodeServerTest, CarriedTextIsDeliveredWhenThePeerCloses) {
  StartServer();
  SOCKET s = Connect(port_);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_TRUE(SendAll(s, "ONE\r\nLAST"));
  ::closesocket(s);
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= 2; }, 3000));
  EXPECT_EQ(rec_->barcodes, (std::vector<std::wstring>{L"ONE", L"LAST"}));
}

TEST_F(BarcodeServerTest, MalformedUtf8ClosesOnlyThatConnection) {
  StartServer();
  SOCKET bad = Connect(port_);
  SOCKET good = Connect(port_);
  ASSERT_NE(bad, INVALID_SOCKET);
  ASSERT_NE(good, INVALID_SOCKET);
  ASSERT_TRUE(SendAll(bad, "A1\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() == 1; }, 3000));
  ASSERT_TRUE(SendAll(bad, "B2\r\nC\xC0\xAF" "3\r\nD4\r\n"));
  EXPECT_TRUE(qmtest::PeerClosedWithin(bad, 3000));
  ASSERT_TRUE(SendAll(good, "G1\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= 3; }, 3000));
  PumpFor(100);
  EXPECT_EQ(rec_->barcodes, (std::vector<std::wstring>{L"A1", L"B2", L"G1"}));
  ASSERT_EQ(rec_->logs.size(), 4u);  // the start, the address and the allow-list lines, then
  EXPECT_EQ(rec_->logs[3], L"来自 127.0.0.1 的数据不是有效的 UTF-8，连接已关闭");
  ::closesocket(bad);
  ::closesocket(good);
}

TEST_F(BarcodeServerTest, AHeldPortGivesExactlyOneBindFailureWithItsCode) {
  // Held exclusively, as a server that guards its port does: the system
  // answers WSAEACCES.
  SOCKET holder = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  BOOL one = TRUE;
  ::setsockopt(holder, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(port_);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(::listen(holder, 5), 0);

  server_ = MakeServer(port_);
  ASSERT_TRUE(server_->Start());
  ASSERT_TRUE(PumpUntil([&] { return !rec_->logs.empty(); }, 5000));
  PumpFor(300);
  EXPECT_EQ(rec_->logs, std::vector<std::wstring>{L"bind() 失败，错误码 " + std::to_wstring(WSAEACCES)});
  // The failed listener has ended by itself: stopping it does not wait.
  DWORD t0 = ::GetTickCount();
  StopServer();
  EXPECT_LT(::GetTickCount() - t0, 500u);
  ::closesocket(holder);
}

// Windows lets a socket that asks to share a port bind it beside a listener
// that did not forbid sharing; Linux never lets two listeners share, so a
// second bind shows nothing under Wine: the option read back shows the rule.
TEST_F(BarcodeServerTest, TheListenerHoldsItsPortExclusively) {
  StartServer();
  const SOCKET listening = qmtest::FindSocket([&](SOCKET s) {
    return qmtest::LocalPort(s) == port_ && qmtest::PeerAddress(s).sin_port == 0;
  });
  ASSERT_NE(listening, INVALID_SOCKET);
  BOOL exclusive = FALSE, reuse = TRUE;
  int len = sizeof(BOOL);
  ASSERT_EQ(::getsockopt(listening, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&exclusive), &len), 0);
  len = sizeof(BOOL);
  ASSERT_EQ(::getsockopt(listening, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&reuse), &len), 0);
  EXPECT_TRUE(exclusive);
  EXPECT_FALSE(reuse);
}

// The system's TCP tables, as the test says they are: the states a closed
// connection passes through cannot be held on demand.
struct TFakeTcpTable {
  static TFakeTcpTable& The() {
    static TFakeTcpTable table;
    return table;
  }
  template <typename Table, typename Row>
  static DWORD Fill(PVOID out, PDWORD size, const std::vector<Row>& rows) {
    const DWORD need = static_cast<DWORD>(sizeof(Table) + rows.size() * sizeof(Row));
    if (*size < need) {
      *size = need;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    auto* table = static_cast<Table*>(out);
    table->dwNumEntries = static_cast<DWORD>(rows.size());
    std::copy(rows.begin(), rows.end(), table->table);
    return NO_ERROR;
  }
  static DWORD WINAPI Get(PVOID out, PDWORD size, BOOL, ULONG, TCP_TABLE_CLASS tableClass, ULONG) {
    TFakeTcpTable& t = The();
    ++t.reads;
    std::vector<MIB_TCPROW> listening;
    std::vector<MIB_TCPROW_OWNER_PID> connections;
    for (const MIB_TCPROW_OWNER_PID& row : t.rows) {
      if (row.dwState != MIB_TCP_STATE_LISTEN) connections.push_back(row);
      else listening.push_back(MIB_TCPROW{{row.dwState}, row.dwLocalAddr, row.dwLocalPort, 0, 0});
    }
    if (tableClass == TCP_TABLE_BASIC_LISTENER) return Fill<MIB_TCPTABLE>(out, size, listening);
    if (tableClass == TCP_TABLE_OWNER_PID_CONNECTIONS) return Fill<MIB_TCPTABLE_OWNER_PID>(out, size, connections);
    return ERROR_INVALID_PARAMETER;
  }
  void Add(DWORD state, std::uint16_t port, DWORD pid) {
    MIB_TCPROW_OWNER_PID row{};
    row.dwState = state;
    row.dwLocalPort = ::htons(port);
    row.dwOwningPid = pid;
    rows.push_back(row);
  }
  std::vector<MIB_TCPROW_OWNER_PID> rows;
  std::atomic<int> reads{0};
};

struct TFakeTcpTableScope {
  TFakeTcpTableScope() : saved(IpHelperFunctions().GetExtendedTcpTable) {
    table.rows.clear();
    IpHelperFunctions().GetExtendedTcpTable = &TFakeTcpTable::Get;
  }
  ~TFakeTcpTableScope() { IpHelperFunctions().GetExtendedTcpTable = saved; }
  TFakeTcpTable& table = TFakeTcpTable::The();
  decltype(TIpHelperFunctions::GetExtendedTcpTable) saved;
};

SOCKET HoldPort(std::uint16_t port) {
  SOCKET holder = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(port);
  if (::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(holder, 5) != 0) {
    ::closesocket(holder);
    return INVALID_SOCKET;
  }
  return holder;
}

// On Windows an exclusive port stays taken while connections accepted on it
// live, after their listener has closed, and for minutes after they closed;
// Linux frees it, so here the test holds the port itself and shows only its
// own connections in the TCP table.
class BarcodeServerPortHeldByEarlierConnections : public BarcodeServerTest {
 protected:
  void SetUp() override {
    BarcodeServerTest::SetUp();
    StartServer();
    earlier_ = Connect(port_);
    ASSERT_NE(earlier_, INVALID_SOCKET);
    ASSERT_TRUE(SendAll(earlier_, "EARLY\n"));
    ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() == 1; }, 3000));
    StopServer();
    holder_ = HoldPort(port_);
    ASSERT_NE(holder_, INVALID_SOCKET);
    rec_->logs.clear();
    server_ = MakeServer(port_);
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(PumpUntil([&] { return !rec_->logs.empty(); }, 5000));
  }
  void TearDown() override {
    if (holder_ != INVALID_SOCKET) ::closesocket(holder_);
    if (earlier_ != INVALID_SOCKET) ::closesocket(earlier_);
    BarcodeServerTest::TearDown();
  }
  std::wstring Waiting() const { return L"TCP 端口 " + std::to_wstring(port_) + L" 仍被之前的连接占用，每 3 秒重试一次"; }

  TFakeTcpTableScope tcp_;
  SOCKET earlier_ = INVALID_SOCKET, holder_ = INVALID_SOCKET;
};

TEST_F(BarcodeServerPortHeldByEarlierConnections, TheBindIsRetriedWithOneLineUntilItSucceeds) {
  EXPECT_EQ(rec_->logs, std::vector<std::wstring>{Waiting()});
  EXPECT_TRUE(server_->Active());
  PumpFor(2 * TBarcodeServer::kBindRetryMs + 500);
  EXPECT_EQ(rec_->logs.size(), 1u) << "retried quietly";
  ::closesocket(holder_);
  holder_ = INVALID_SOCKET;
  ASSERT_TRUE(PumpUntil([&] { return rec_->logs.size() >= 2; }, TBarcodeServer::kBindRetryMs + 3000));
  EXPECT_EQ(rec_->logs[1], L"已开始监听 TCP 端口 " + std::to_wstring(port_));
  SOCKET s = Connect(port_);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_TRUE(SendAll(s, "NEW\n"));
  ASSERT_TRUE(SendAll(earlier_, "STILL\n"));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= 3; }, 3000));
  std::vector<std::wstring> got(rec_->barcodes.begin() + 1, rec_->barcodes.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::wstring>{L"NEW", L"STILL"}));
  ::closesocket(s);
}

TEST_F(BarcodeServerPortHeldByEarlierConnections, AStopEndsTheWaitAtOnceAndQuietly) {
  PumpFor(500);
  const DWORD t0 = ::GetTickCount();
  StopServer();
  EXPECT_LT(::GetTickCount() - t0, 500u);
  PumpFor(200);
  EXPECT_EQ(rec_->logs, std::vector<std::wstring>{Waiting()});
}

// TCP holds a closed connection's port for up to four minutes: the retry
// goes on after the connection ended, until the table shows that another
// program listens there.
TEST_F(BarcodeServerPortHeldByEarlierConnections, AfterTheyHaveEndedTheRetryGoesOnUntilAnotherProgramListens) {
  ::closesocket(earlier_);
  earlier_ = INVALID_SOCKET;
  ASSERT_TRUE(PumpUntil([&] { return TClientThread::OpenOnPort(port_) == 0; }, 3000));
  const int reads = tcp_.table.reads;
  ASSERT_TRUE(PumpUntil([&] { return tcp_.table.reads >= reads + 2; }, 2 * TBarcodeServer::kBindRetryMs + 3000));
  EXPECT_EQ(rec_->logs, std::vector<std::wstring>{Waiting()});
  tcp_.table.Add(MIB_TCP_STATE_LISTEN, port_, ::GetCurrentProcessId() + 4);
  ASSERT_TRUE(PumpUntil([&] { return rec_->logs.size() >= 2; }, TBarcodeServer::kBindRetryMs + 3000));
  EXPECT_EQ(rec_->logs[1], L"bind() 失败，错误码 " + std::to_wstring(WSAEADDRINUSE));
  server_->WaitFor();  // the listener has ended by itself
  EXPECT_FALSE(server_->Active());
}

// A connection of ours that the system still holds (FIN_WAIT_2, LAST_ACK)
// keeps the port too, also where no reader of ours ever ran on it.
TEST_F(BarcodeServerTest, ConnectionsOfOursInTheSystemsTableAreWaitedForToo) {
  TFakeTcpTableScope tcp;
  tcp.table.Add(MIB_TCP_STATE_FIN_WAIT2, port_, ::GetCurrentProcessId());
  SOCKET holder = HoldPort(port_);
  ASSERT_NE(holder, INVALID_SOCKET);
  server_ = MakeServer(port_);
  ASSERT_TRUE(server_->Start());
  ASSERT_TRUE(PumpUntil([&] { return !rec_->logs.empty(); }, 5000));
  EXPECT_EQ(rec_->logs[0], L"TCP 端口 " + std::to_wstring(port_) + L" 仍被之前的连接占用，每 3 秒重试一次");
  tcp.table.rows.clear();
  EXPECT_TRUE(PumpUntil([&] { return rec_->logs.size() >= 2; }, TBarcodeServer::kBindRetryMs + 3000));
  EXPECT_EQ(rec_->logs.back(), L"bind() 失败，错误码 " + std::to_wstring(WSAEADDRINUSE));
  StopServer();
  ::closesocket(holder);
}

// Wine answers none of the TCP_KEEP* options (the reader then sets the
// times through SIO_KEEPALIVE_VALS): there the kernel's keep-alive timer of
// the connection shows the idle time it was given.
TEST_F(BarcodeServerTest, EveryConnectionProbesItsPeerAfterAMinuteOfSilence) {
  StartServer();
  SOCKET c = Connect(port_);
  ASSERT_NE(c, INVALID_SOCKET);
  ASSERT_TRUE(SendAll(c, "K\n"));  // the reader has set its socket up by then
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() == 1; }, 3000));
  const SOCKET s = qmtest::ServerSideOf(c);
  ASSERT_NE(s, INVALID_SOCKET);
  auto option = [&](int level, int name) -> std::optional<DWORD> {
    DWORD v = 0;
    int len = sizeof(v);
    if (::getsockopt(s, level, name, reinterpret_cast<char*>(&v), &len) != 0) return std::nullopt;
    return v;
  };
  EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1u);
  if (const std::optional<DWORD> idle = option(IPPROTO_TCP, 3 /*TCP_KEEPIDLE*/)) {
    EXPECT_EQ(*idle, 60u);
    EXPECT_EQ(option(IPPROTO_TCP, 17 /*TCP_KEEPINTVL*/), 10u);
    if (const std::optional<DWORD> probes = option(IPPROTO_TCP, 16 /*TCP_KEEPCNT*/)) {
      EXPECT_EQ(*probes, 5u);
    }
  } else {
    const std::optional<qmtest::TKernelTcp> k = qmtest::KernelTcp(port_, qmtest::LocalPort(c));
    ASSERT_TRUE(k) << "neither the options nor the kernel answer";
    EXPECT_EQ(k->timer, 2) << "no keep-alive timer";
    EXPECT_LE(k->timerSeconds, 60.0);
    EXPECT_GT(k->timerSeconds, 50.0);
  }
  ::closesocket(c);
}

// Wine's change notifications never fire, and the machine's interfaces
// cannot change on demand: the IP helper's table is swapped for this one,
// whose interfaces the test sets and whose callbacks the test calls.
struct TFakeIpHelper {
  struct Interface {
    std::uint32_t address;  // host order
    bool up;
  };
  void Set(const std::vector<Interface>& list) {
    adapters.assign(list.size(), IP_ADAPTER_ADDRESSES{});
    unicast.assign(list.size(), IP_ADAPTER_UNICAST_ADDRESS{});
    addresses.assign(list.size(), sockaddr_in{});
    for (std::size_t i = 0; i < list.size(); ++i) {
      addresses[i].sin_family = AF_INET;
      addresses[i].sin_addr.s_addr = ::htonl(list[i].address);
      unicast[i].Address.lpSockaddr = reinterpret_cast<SOCKADDR*>(&addresses[i]);
      unicast[i].Address.iSockaddrLength = sizeof(sockaddr_in);
      unicast[i].DadState = IpDadStatePreferred;
      adapters[i].FirstUnicastAddress = &unicast[i];
      adapters[i].OperStatus = list[i].up ? IfOperStatusUp : IfOperStatusDown;
      adapters[i].Next = i + 1 < list.size() ? &adapters[i + 1] : nullptr;
    }
  }
  void ChangeOfInterface() { onInterface(context, nullptr, MibParameterNotification); }
  void ChangeOfAddress() { onAddress(context, nullptr, MibAddInstance); }

  static TFakeIpHelper& The() {
    static TFakeIpHelper fake;
    return fake;
  }
  static ULONG WINAPI Get(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES out, PULONG size) {
    if (The().adapters.empty()) return ERROR_NO_DATA;
    if (*size < sizeof(IP_ADAPTER_ADDRESSES)) {
      *size = sizeof(IP_ADAPTER_ADDRESSES);
      return ERROR_BUFFER_OVERFLOW;
    }
    *out = The().adapters[0];  // the rest of the list stays here
    return ERROR_SUCCESS;
  }
  static DWORD WINAPI NotifyInterface(ADDRESS_FAMILY, PIPINTERFACE_CHANGE_CALLBACK cb, PVOID context, BOOLEAN,
                                      HANDLE* handle) {
    The().onInterface = cb;
    The().context = context;
    *handle = reinterpret_cast<HANDLE>(1);
    return NO_ERROR;
  }
  static DWORD WINAPI NotifyAddress(ADDRESS_FAMILY, PUNICAST_IPADDRESS_CHANGE_CALLBACK cb, PVOID context, BOOLEAN,
                                    HANDLE* handle) {
    The().onAddress = cb;
    The().context = context;
    *handle = reinterpret_cast<HANDLE>(2);
    return NO_ERROR;
  }
  static DWORD WINAPI Cancel(HANDLE) {
    ++The().cancelled;
    return NO_ERROR;
  }

  std::vector<IP_ADAPTER_ADDRESSES> adapters;
  std::vector<IP_ADAPTER_UNICAST_ADDRESS> unicast;
  std::vector<sockaddr_in> addresses;
  PIPINTERFACE_CHANGE_CALLBACK onInterface = nullptr;
  PUNICAST_IPADDRESS_CHANGE_CALLBACK onAddress = nullptr;
  PVOID context = nullptr;
  int cancelled = 0;
};

class BarcodeServerAddresses : public BarcodeServerTest {
 protected:
  void SetUp() override {
    BarcodeServerTest::SetUp();
    saved_ = IpHelperFunctions();
    fake_ = TFakeIpHelper{};
    IpHelperFunctions() = {&TFakeIpHelper::Get, &TFakeIpHelper::NotifyInterface, &TFakeIpHelper::NotifyAddress,
                           &TFakeIpHelper::Cancel, SystemIpHelperFunctions().GetExtendedTcpTable};
  }
  void TearDown() override {
    BarcodeServerTest::TearDown();
    IpHelperFunctions() = saved_;
  }
  std::wstring Line(const std::wstring& addresses) { return L"本机地址：" + addresses; }
  std::wstring At(const std::wstring& address) { return address + L":" + std::to_wstring(port_); }

  TFakeIpHelper& fake_ = TFakeIpHelper::The();
  TIpHelperFunctions saved_{};
};

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

TEST_F(BarcodeServerAddresses, TheAddressLineFollowsTheStartAndEveryChangeOfTheSet) {
  fake_.Set({{Ip(127, 0, 0, 1), true}, {Ip(192, 168, 1, 23), true}, {Ip(169, 254, 3, 3), true},
             {Ip(10, 0, 0, 5), false}});
  StartServer();
  PumpFor(100);
  std::vector<std::wstring> expected = {L"已开始监听 TCP 端口 " + std::to_wstring(port_), Line(At(L"192.168.1.23")),
                                        L"允许连接的地址：全部"};
  EXPECT_EQ(rec_->logs, expected);
  ASSERT_TRUE(fake_.onInterface && fake_.onAddress);

  fake_.Set({{Ip(127, 0, 0, 1), true}, {Ip(192, 168, 1, 23), true}, {Ip(10, 0, 0, 5), true}});
  fake_.ChangeOfInterface();  // the interface came up
  expected.push_back(Line(At(L"192.168.1.23") + L", " + At(L"10.0.0.5")));
  fake_.ChangeOfAddress();  // no change of the set: nothing
  fake_.Set({{Ip(10, 0, 0, 5), true}, {Ip(192, 168, 1, 23), true}});
  fake_.ChangeOfInterface();  // another order of the same set: nothing
  fake_.Set({{Ip(127, 0, 0, 1), true}, {Ip(169, 254, 9, 9), true}});
  fake_.ChangeOfAddress();
  expected.push_back(Line(L"无可用网络"));
  fake_.Set({{Ip(192, 168, 7, 7), true}});
  fake_.ChangeOfAddress();  // a new network
  expected.push_back(Line(At(L"192.168.7.7")));
  PumpFor(100);
  EXPECT_EQ(rec_->logs, expected);

  StopServer();
  EXPECT_EQ(fake_.cancelled, 2) << "the watch outlived its listener";
}

TEST_F(BarcodeServerTest, StopEndsABlockedAcceptPromptlyAndQuietly) {
  StartServer();
  PumpFor(100);  // the listener is blocked in accept by now
  DWORD t0 = ::GetTickCount();
  server_->Stop();
  server_->WaitFor();
  EXPECT_LT(::GetTickCount() - t0, 1000u);
  server_.reset();
  PumpFor(100);
  EXPECT_EQ(rec_->logs.size(), 3u);  // the start, the address and the allow-list lines
  EXPECT_EQ(Connect(port_), INVALID_SOCKET);  // nothing listens any more
}

TEST_F(BarcodeServerTest, StopBeforeTheBodyBeginsRunsNothing) {
  server_ = MakeServer(port_);
  server_->Stop();
  ASSERT_TRUE(server_->Start());
  server_->WaitFor();
  PumpFor(200);
  EXPECT_TRUE(rec_->logs.empty());
  EXPECT_EQ(Connect(port_), INVALID_SOCKET);
}

TEST_F(BarcodeServerTest, OpenConnectionsSurviveAStopOfTheListener) {
  StartServer();
  // The client runs in a process of its own: this process's Winsock
  // reference would otherwise keep connections alive and hide the fault.
  HANDLE ev = ::CreateEventA(nullptr, TRUE, FALSE, "qm-test-second-line");
  char exe[MAX_PATH];
  ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string cmd = std::string("\"") + exe + "\" --qm-sender " + std::to_string(port_) +
                    " qm-test-second-line BEFORE AFTER";
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() == 1; }, 10000));

  // Drop this process's own reference too, as the real program has none.
  WSACleanup();
  StopServer();
  ::SetEvent(ev);
  EXPECT_TRUE(PumpUntil([&] { return rec_->barcodes.size() == 2; }, 5000));
  WSADATA d;
  WSAStartup(MAKEWORD(2, 2), &d);
  EXPECT_EQ(rec_->barcodes, (std::vector<std::wstring>{L"BEFORE", L"AFTER"}));
  ::WaitForSingleObject(pi.hProcess, 10000);
  DWORD code = 99;
  ::GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 0u);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  ::CloseHandle(ev);
}

// From two addresses: one alone may hold 256.
TEST_F(BarcodeServerTest, FiveHundredSimultaneousConnectionsEachDeliverTheirLine) {
  StartServer();
  constexpr int kConns = 500;
  std::vector<SOCKET> socks;
  for (int i = 0; i < kConns; ++i) {
    SOCKET s = Connect(port_, i % 2 ? 0x7F000002 : 0x7F000001);
    ASSERT_NE(s, INVALID_SOCKET) << "connection " << i;
    socks.push_back(s);
  }
  for (int i = 0; i < kConns; ++i) ASSERT_TRUE(SendAll(socks[i], "N" + std::to_string(i) + "\n"));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= kConns; }, 20000));
  std::vector<std::wstring> got = rec_->barcodes;
  std::sort(got.begin(), got.end());
  EXPECT_EQ(std::unique(got.begin(), got.end()), got.end());
  EXPECT_EQ(got.size(), static_cast<std::size_t>(kConns));
  for (SOCKET s : socks) ::closesocket(s);
}

TEST_F(BarcodeServerTest, ASlowCallbackHoldsBackAFastSenderWithoutLosingLines) {
  // Shared: barcodes still queued after a failure must not reach this frame.
  auto maxWaiting = std::make_shared<std::size_t>(0);
  rec_->onBarcode = [maxWaiting, rec = rec_.get()](const std::wstring&) {
    *maxWaiting = std::max(*maxWaiting, TLineBudget::Network().Lines());
    if (rec->barcodes.size() % 16 == 0) ::Sleep(1);
  };
  ScopeExit plain([this] { rec_->onBarcode = nullptr; });
  StartServer();
  constexpr int kLines = 40000;
  TJoined sender;
  sender.threads.emplace_back([&] {
    SOCKET s = Connect(port_);
    std::string batch;
    for (int i = 0; i < kLines; ++i) {
      batch += "L" + std::to_string(i) + "\n";
      if (batch.size() > 8000) {
        SendAll(s, batch);
        batch.clear();
      }
    }
    SendAll(s, batch);
    ::closesocket(s);
  });
  const std::size_t before = qmtest::PrivateBytes();
  std::size_t peak = before;
  ASSERT_TRUE(PumpUntil(
      [&] {
        peak = std::max(peak, qmtest::PrivateBytes());
        return rec_->barcodes.size() >= kLines;
      },
      60000));
  sender.Join();
  EXPECT_LE(*maxWaiting, 4096u);
  EXPECT_GE(*maxWaiting, 4000u);  // the bound was reached, so the sender was held back
  EXPECT_LT(peak - before, 16u << 20);
  for (int i = 0; i < kLines; ++i) ASSERT_EQ(rec_->barcodes[i], L"L" + std::to_wstring(i));
}

HANDLE WINAPI FailingCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                  DWORD, LPDWORD) {
  ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

TEST_F(BarcodeServerTest, AConnectionWithoutAReaderIsClosedAndTheListenerGoesOn) {
  StartServer();
  {
    TWorkerThread::SetCreateThreadForTest(&FailingCreateThread);
    ScopeExit restore([] { TWorkerThread::SetCreateThreadForTest(nullptr); });
    SOCKET refused = Connect(port_);
    ASSERT_NE(refused, INVALID_SOCKET);
    EXPECT_TRUE(qmtest::PeerClosedWithin(refused, 3000));
    ::closesocket(refused);
  }
  EXPECT_TRUE(PumpUntil([&] { return rec_->logs.size() == 4; }, 3000));
  EXPECT_EQ(rec_->logs.back(), L"无法为来自 127.0.0.1 的连接创建读取线程，连接已关闭");

  SOCKET s = Connect(port_);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_TRUE(SendAll(s, "STILL\n"));
  EXPECT_TRUE(PumpUntil([&] { return rec_->barcodes.size() == 1; }, 3000));
  EXPECT_EQ(rec_->barcodes, std::vector<std::wstring>{L"STILL"});
  ::closesocket(s);
}

}  // namespace
}  // namespace qm
