#include "net/LocalAddresses.h"

namespace qm {

const TIpHelperFunctions& SystemIpHelperFunctions() noexcept {
  static const TIpHelperFunctions system{&::GetAdaptersAddresses, &::NotifyIpInterfaceChange,
                                         &::NotifyUnicastIpAddressChange, &::CancelMibChangeNotify2,
                                         &::GetExtendedTcpTable};
  return system;
}

TIpHelperFunctions& IpHelperFunctions() noexcept {
  static TIpHelperFunctions current = SystemIpHelperFunctions();
  return current;
}

std::vector<TInterfaceAddress> ReadInterfaceAddresses() {
  constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                           GAA_FLAG_SKIP_FRIENDLY_NAME;
  std::vector<ULONGLONG> buf;  // 8-byte aligned, as the structures need
  ULONG size = 16 * 1024;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  // The list can grow between the call that sizes it and the next.
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buf.assign(size / sizeof(ULONGLONG) + 1, 0);
    size = static_cast<ULONG>(buf.size() * sizeof(ULONGLONG));
    result = IpHelperFunctions().GetAdaptersAddresses(AF_INET, kFlags, nullptr,
                                                      reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buf.data()), &size);
  }
  std::vector<TInterfaceAddress> out;
  if (result != ERROR_SUCCESS) return out;
  for (auto* a = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buf.data()); a; a = a->Next) {
    const bool up = a->OperStatus == IfOperStatusUp;
    for (PIP_ADAPTER_UNICAST_ADDRESS u = a->FirstUnicastAddress; u; u = u->Next) {
      const SOCKADDR* sa = u->Address.lpSockaddr;
      if (!sa || sa->sa_family != AF_INET) continue;
      // A tentative or duplicate address takes no connections yet.
      const bool inUse = u->DadState == IpDadStatePreferred || u->DadState == IpDadStateDeprecated;
      out.push_back({::ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr), up && inUse});
    }
  }
  return out;
}

namespace {

// The table of tableClass, as 8-byte aligned memory; empty when the system
// cannot say.
std::vector<ULONGLONG> TcpTable(TCP_TABLE_CLASS tableClass) {
  std::vector<ULONGLONG> buf;
  DWORD size = 16 * 1024;
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    buf.assign(size / sizeof(ULONGLONG) + 1, 0);
    size = static_cast<DWORD>(buf.size() * sizeof(ULONGLONG));
    result = IpHelperFunctions().GetExtendedTcpTable(buf.data(), &size, FALSE, AF_INET, tableClass, 0);
  }
  if (result != NO_ERROR) buf.clear();
  return buf;
}

}  // namespace

bool ListenerOnPort(std::uint16_t port) {
  const std::vector<ULONGLONG> buf = TcpTable(TCP_TABLE_BASIC_LISTENER);
  if (buf.empty()) return false;
  const auto* table = reinterpret_cast<const MIB_TCPTABLE*>(buf.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i)
    if (::ntohs(static_cast<u_short>(table->table[i].dwLocalPort)) == port) return true;
  return false;
}

bool ConnectionsOfOn(DWORD pid, std::uint16_t port) {
  const std::vector<ULONGLONG> buf = TcpTable(TCP_TABLE_OWNER_PID_CONNECTIONS);
  if (buf.empty()) return false;
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buf.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i)
    if (table->table[i].dwOwningPid == pid && ::ntohs(static_cast<u_short>(table->table[i].dwLocalPort)) == port)
      return true;
  return false;
}

TAddressWatch::TAddressWatch(std::function<void()> onChange) : onChange_(std::move(onChange)) {
  // Interfaces coming up or going down, and addresses coming and going (an
  // address from DHCP arrives after its interface is up).
  const TIpHelperFunctions& ip = IpHelperFunctions();
  if (ip.NotifyIpInterfaceChange(AF_INET, &OnInterface, this, FALSE, &interfaces_) != NO_ERROR) interfaces_ = nullptr;
  if (ip.NotifyUnicastIpAddressChange(AF_INET, &OnAddress, this, FALSE, &addresses_) != NO_ERROR) addresses_ = nullptr;
}

TAddressWatch::~TAddressWatch() {
  // Returns once a call in progress has ended; no call follows.
  const TIpHelperFunctions& ip = IpHelperFunctions();
  if (interfaces_) ip.CancelMibChangeNotify2(interfaces_);
  if (addresses_) ip.CancelMibChangeNotify2(addresses_);
}

void WINAPI TAddressWatch::OnInterface(PVOID self, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) {
  try {
    static_cast<TAddressWatch*>(self)->onChange_();
  } catch (...) {
    // Never into the system's thread.
  }
}

void WINAPI TAddressWatch::OnAddress(PVOID self, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE) {
  try {
    static_cast<TAddressWatch*>(self)->onChange_();
  } catch (...) {
  }
}

}  // namespace qm
