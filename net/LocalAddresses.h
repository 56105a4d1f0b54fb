#pragma once
// This PC's IPv4 addresses from the IP helper, word when they change, and
// the TCP table. The calls go through a table that tests swap: Wine's change
// notifications never fire, the interfaces of the machine cannot change on
// demand, and the states a closed connection passes through cannot be held.
#include <winsock2.h>
#include <ws2tcpip.h>  // before iphlpapi.h, or it leaves out netioapi.h
#include <windows.h>
#include <iphlpapi.h>

#include <functional>
#include <vector>

#include "net/AddressRules.h"

namespace qm {

struct TIpHelperFunctions {
  ULONG(WINAPI* GetAdaptersAddresses)(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES addresses,
                                      PULONG size);
  DWORD(WINAPI* NotifyIpInterfaceChange)(ADDRESS_FAMILY family, PIPINTERFACE_CHANGE_CALLBACK callback,
                                         PVOID context, BOOLEAN initial, HANDLE* handle);
  DWORD(WINAPI* NotifyUnicastIpAddressChange)(ADDRESS_FAMILY family, PUNICAST_IPADDRESS_CHANGE_CALLBACK callback,
                                              PVOID context, BOOLEAN initial, HANDLE* handle);
  DWORD(WINAPI* CancelMibChangeNotify2)(HANDLE handle);
  DWORD(WINAPI* GetExtendedTcpTable)(PVOID table, PDWORD size, BOOL order, ULONG family, TCP_TABLE_CLASS tableClass,
                                     ULONG reserved);
};

// The table in use; by default the system's functions.
TIpHelperFunctions& IpHelperFunctions() noexcept;
const TIpHelperFunctions& SystemIpHelperFunctions() noexcept;

// Every IPv4 address of every interface, in the system's order; empty when
// there is none or the system cannot say.
std::vector<TInterfaceAddress> ReadInterfaceAddresses();

// What the system's TCP tables say of a local port: whether something
// listens there, and whether process pid has connections there (closing
// ones among them). The second asks the system for owners, which can take
// long (Wine looks through every process's files for them).
bool ListenerOnPort(std::uint16_t port);
bool ConnectionsOfOn(DWORD pid, std::uint16_t port);

// Calls onChange, on a thread of the system's, after an interface or an IPv4
// address changed (a new network, an address from DHCP, a link going down).
class TAddressWatch {
 public:
  explicit TAddressWatch(std::function<void()> onChange);
  ~TAddressWatch();
  TAddressWatch(const TAddressWatch&) = delete;
  TAddressWatch& operator=(const TAddressWatch&) = delete;

 private:
  static void WINAPI OnInterface(PVOID self, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE);
  static void WINAPI OnAddress(PVOID self, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE);

  const std::function<void()> onChange_;
  HANDLE interfaces_ = nullptr, addresses_ = nullptr;
};

}  // namespace qm
