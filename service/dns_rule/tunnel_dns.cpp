// QueryTunnelDnsServers: the adapter list read and its walk. Runs on the DNS
// policy worker (and on any thread that asks).
#include "service/dns_rule/tunnel_dns.h"

#include "common/adapter_list.h"
#include "service/dns_rule/dns_policy.h"

namespace {

constexpr size_t kAddressTextChars = 65;

// InetNtopW of one socket address, or nothing for other families, short
// records and formatting failures.
bool FormatServer(const SOCKET_ADDRESS& address, int family, std::wstring& text) {
  const sockaddr* raw = address.lpSockaddr;
  if (raw == nullptr || address.iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in)) ||
      raw->sa_family != family) {
    return false;
  }
  wchar_t buffer[kAddressTextChars] = {};
  const void* bytes = nullptr;
  if (family == AF_INET) {
    bytes = &reinterpret_cast<const sockaddr_in*>(raw)->sin_addr;
  } else {
    if (address.iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in6))) return false;
    bytes = &reinterpret_cast<const sockaddr_in6*>(raw)->sin6_addr;
  }
  if (InetNtopW(family, bytes, buffer, kAddressTextChars) == nullptr) return false;
  text = buffer;
  return true;
}

}  // namespace

std::vector<std::wstring> TunnelDnsServersFromAdapters(const IP_ADAPTER_ADDRESSES* first,
                                                       std::wstring_view name) {
  std::vector<std::wstring> ipv4;
  std::vector<std::wstring> ipv6;
  for (const IP_ADAPTER_ADDRESSES* adapter = first; adapter != nullptr; adapter = adapter->Next) {
    if (adapter->FriendlyName == nullptr || name != std::wstring_view(adapter->FriendlyName)) {
      continue;
    }
    for (const IP_ADAPTER_DNS_SERVER_ADDRESS* server = adapter->FirstDnsServerAddress;
         server != nullptr; server = server->Next) {
      std::wstring text;
      if (FormatServer(server->Address, AF_INET, text)) {
        ipv4.push_back(std::move(text));
      } else if (FormatServer(server->Address, AF_INET6, text)) {
        ipv6.push_back(std::move(text));
      }
    }
  }
  if (ipv4.empty() && ipv6.empty()) return {};
  std::vector<std::wstring> servers = std::move(ipv4);
  servers.insert(servers.end(), ipv6.begin(), ipv6.end());
  servers.emplace_back(kFallbackDnsServer);
  return servers;
}

std::vector<std::wstring> QueryTunnelDnsServers(std::wstring_view adapterName) {
  const AdapterList list =
      QueryAdapterList(GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST);
  return TunnelDnsServersFromAdapters(list.First(), adapterName);
}
