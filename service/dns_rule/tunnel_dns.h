// The DNS servers the core configured on its TUN adapter, as the rule's
// server list. Runs on the DNS policy worker.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <string>
#include <string_view>
#include <vector>

// The public server every non-empty list ends with.
inline constexpr wchar_t kFallbackDnsServer[] = L"1.1.1.1";

// Walks an adapter list: every adapter whose FriendlyName equals `name`
// exactly, its IPv4 servers, then its IPv6 servers, then the fallback; empty
// when no matching adapter has a server. Records with missing or short
// socket addresses are skipped.
std::vector<std::wstring> TunnelDnsServersFromAdapters(const IP_ADAPTER_ADDRESSES* first,
                                                       std::wstring_view name);
