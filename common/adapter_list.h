// One read of the adapter list (GetAdaptersAddresses) with the single bounded
// resize both the DNS rule and the network monitor use. Any thread.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdint>
#include <vector>

// GetAdaptersAddresses' shape, so that a test can stand in for Windows when
// it needs sizes or answers Wine cannot produce.
using AdapterQueryFunction = ULONG(WINAPI*)(ULONG family, ULONG flags, PVOID reserved,
                                            PIP_ADAPTER_ADDRESSES addresses, PULONG size);

inline constexpr ULONG kAdapterBufferInitial = 32768;
inline constexpr ULONG kAdapterBufferLimit = 1048576;

struct AdapterList {
  // The last call's answer. A resize request above the limit leaves
  // ERROR_BUFFER_OVERFLOW here without a second call.
  ULONG status = ERROR_BUFFER_OVERFLOW;
  // 8-byte units: the records need their natural alignment.
  std::vector<std::uint64_t> storage;

  // The first adapter, or null when the call failed or found none.
  const IP_ADAPTER_ADDRESSES* First() const;
};

// Family AF_UNSPEC with the given flags into a zeroed 32768-byte buffer; on
// ERROR_BUFFER_OVERFLOW with a requested size of at most 1048576 bytes, one
// more call into a zeroed buffer of that size.
AdapterList QueryAdapterList(ULONG flags, AdapterQueryFunction query = ::GetAdaptersAddresses);
