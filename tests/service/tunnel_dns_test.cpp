// The tunnel adapter's server list over hand-built adapter records (Wine
// cannot name an adapter or give it servers of the test's choosing), the
// bounded adapter list read over a stand-in for GetAdaptersAddresses, and
// the real query under Wine.
#include <gtest/gtest.h>

#include <deque>

#include "common/adapter_list.h"
#include "service/dns_rule/dns_policy.h"
#include "service/dns_rule/tunnel_dns.h"

namespace {

// Owns adapter records and their server entries, linked in insertion order.
class FakeAdapters {
 public:
  IP_ADAPTER_ADDRESSES& Add(const wchar_t* friendlyName) {
    IP_ADAPTER_ADDRESSES& adapter = adapters_.emplace_back();
    adapter = {};
    adapter.FriendlyName = const_cast<PWCHAR>(friendlyName);
    if (adapters_.size() > 1) adapters_[adapters_.size() - 2].Next = &adapter;
    return adapter;
  }
  void AddServer4(IP_ADAPTER_ADDRESSES& adapter, const char* text) {
    sockaddr_in& address = v4_.emplace_back();
    address = {};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, text, &address.sin_addr);
    Link(adapter, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  void AddServer6(IP_ADAPTER_ADDRESSES& adapter, const char* text) {
    sockaddr_in6& address = v6_.emplace_back();
    address = {};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &address.sin6_addr);
    Link(adapter, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  // An entry of another family, one with no address and a truncated one.
  void AddOddServers(IP_ADAPTER_ADDRESSES& adapter) {
    sockaddr_in& other = v4_.emplace_back();
    other = {};
    other.sin_family = AF_UNSPEC;
    Link(adapter, reinterpret_cast<sockaddr*>(&other), sizeof other);
    Link(adapter, nullptr, 0);
    sockaddr_in6& shortOne = v6_.emplace_back();
    shortOne = {};
    shortOne.sin6_family = AF_INET6;
    Link(adapter, reinterpret_cast<sockaddr*>(&shortOne), 8);
  }
  const IP_ADAPTER_ADDRESSES* First() const { return adapters_.empty() ? nullptr : &adapters_[0]; }

 private:
  void Link(IP_ADAPTER_ADDRESSES& adapter, sockaddr* address, int length) {
    IP_ADAPTER_DNS_SERVER_ADDRESS& entry = servers_.emplace_back();
    entry = {};
    entry.Address.lpSockaddr = address;
    entry.Address.iSockaddrLength = length;
    IP_ADAPTER_DNS_SERVER_ADDRESS** slot = &adapter.FirstDnsServerAddress;
    while (*slot != nullptr) slot = &(*slot)->Next;
    *slot = &entry;
  }
  std::deque<IP_ADAPTER_ADDRESSES> adapters_;
  std::deque<IP_ADAPTER_DNS_SERVER_ADDRESS> servers_;
  std::deque<sockaddr_in> v4_;
  std::deque<sockaddr_in6> v6_;
};

using Servers = std::vector<std::wstring>;

TEST(TunnelDnsServers, Ipv4ThenIpv6ThenFallback) {
  FakeAdapters list;
  auto& tunnel = list.Add(L"Kelpmarrow");
  list.AddServer6(tunnel, "fd00::2");
  list.AddServer4(tunnel, "172.19.0.2");
  EXPECT_EQ(TunnelDnsServersFromAdapters(list.First(), L"Kelpmarrow"),
            (Servers{L"172.19.0.2", L"fd00::2", L"1.1.1.1"}));
  EXPECT_EQ(JoinDnsServers(TunnelDnsServersFromAdapters(list.First(), L"Kelpmarrow")),
            L"172.19.0.2;fd00::2;1.1.1.1");
}

TEST(TunnelDnsServers, OnlyExactNamesAndAllOfThemInOrder) {
  FakeAdapters list;
  auto& lower = list.Add(L"kelpmarrow");
  list.AddServer4(lower, "10.0.0.1");
  auto& suffixed = list.Add(L"Kelpmarrow 2");
  list.AddServer4(suffixed, "10.0.0.2");
  list.Add(nullptr);
  auto& first = list.Add(L"Kelpmarrow");
  list.AddServer6(first, "fd00::1");
  list.AddServer4(first, "10.0.0.3");
  auto& second = list.Add(L"Kelpmarrow");
  list.AddServer4(second, "10.0.0.4");
  list.AddServer4(second, "1.1.1.1");  // equal to the fallback: kept
  EXPECT_EQ(TunnelDnsServersFromAdapters(list.First(), L"Kelpmarrow"),
            (Servers{L"10.0.0.3", L"10.0.0.4", L"1.1.1.1", L"fd00::1", L"1.1.1.1"}));
}

TEST(TunnelDnsServers, NoUsableServerGivesNothing) {
  EXPECT_TRUE(TunnelDnsServersFromAdapters(nullptr, L"Kelpmarrow").empty());
  FakeAdapters list;
  list.Add(L"Kelpmarrow");  // no servers
  auto& odd = list.Add(L"Kelpmarrow");
  list.AddOddServers(odd);
  auto& other = list.Add(L"eth0");
  list.AddServer4(other, "192.168.1.1");
  EXPECT_TRUE(TunnelDnsServersFromAdapters(list.First(), L"Kelpmarrow").empty());
  EXPECT_TRUE(TunnelDnsServersFromAdapters(list.First(), L"").empty());

  list.AddServer4(odd, "10.1.1.1");  // odd entries are skipped, good ones kept
  EXPECT_EQ(TunnelDnsServersFromAdapters(list.First(), L"Kelpmarrow"),
            (Servers{L"10.1.1.1", L"1.1.1.1"}));
}

// A stand-in for GetAdaptersAddresses with scripted answers.
struct ScriptedQuery {
  static inline std::vector<std::pair<ULONG, ULONG>> answers;  // status, size asked for
  static inline std::vector<ULONG> offered;
  static inline bool buffersZeroed = true;

  static ULONG WINAPI Call(ULONG family, ULONG, PVOID, PIP_ADAPTER_ADDRESSES buffer, PULONG size) {
    EXPECT_EQ(family, static_cast<ULONG>(AF_UNSPEC));
    offered.push_back(*size);
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer);
    for (ULONG i = 0; i < *size; ++i) buffersZeroed = buffersZeroed && bytes[i] == 0;
    const size_t call = offered.size() - 1;
    if (call >= answers.size()) return ERROR_GEN_FAILURE;
    *size = answers[call].second;
    if (answers[call].first == NO_ERROR) {
      // One record, so the caller has something to walk; touch the last byte.
      auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer);
      adapter->FriendlyName = const_cast<PWCHAR>(L"Kelpmarrow");
      reinterpret_cast<unsigned char*>(buffer)[offered.back() - 1] = 1;
    }
    return answers[call].first;
  }
  static void Reset(std::vector<std::pair<ULONG, ULONG>> script) {
    answers = std::move(script);
    offered.clear();
    buffersZeroed = true;
  }
};

TEST(AdapterListRead, GrowsOnceUpToTheLimit) {
  ScriptedQuery::Reset({{NO_ERROR, 0}});
  AdapterList list = QueryAdapterList(0, ScriptedQuery::Call);
  EXPECT_EQ(list.status, static_cast<ULONG>(NO_ERROR));
  EXPECT_EQ(ScriptedQuery::offered, (std::vector<ULONG>{32768}));
  ASSERT_NE(list.First(), nullptr);

  ScriptedQuery::Reset({{ERROR_BUFFER_OVERFLOW, 1048576}, {NO_ERROR, 0}});
  list = QueryAdapterList(0, ScriptedQuery::Call);
  EXPECT_EQ(list.status, static_cast<ULONG>(NO_ERROR));
  EXPECT_EQ(ScriptedQuery::offered, (std::vector<ULONG>{32768, 1048576}));
  EXPECT_TRUE(ScriptedQuery::buffersZeroed);
  EXPECT_NE(list.First(), nullptr);

  // An odd size still gets a buffer of at least that many bytes.
  ScriptedQuery::Reset({{ERROR_BUFFER_OVERFLOW, 40001}, {NO_ERROR, 0}});
  list = QueryAdapterList(0, ScriptedQuery::Call);
  EXPECT_EQ(ScriptedQuery::offered, (std::vector<ULONG>{32768, 40001}));
  EXPECT_GE(list.storage.size() * 8, 40001u);
}

TEST(AdapterListRead, RefusesAboveTheLimitAndDoesNotRetryTwice) {
  ScriptedQuery::Reset({{ERROR_BUFFER_OVERFLOW, 1048577}});
  AdapterList list = QueryAdapterList(0, ScriptedQuery::Call);
  EXPECT_EQ(list.status, static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
  EXPECT_EQ(ScriptedQuery::offered.size(), 1u);
  EXPECT_EQ(list.First(), nullptr);

  ScriptedQuery::Reset({{ERROR_BUFFER_OVERFLOW, 65536}, {ERROR_BUFFER_OVERFLOW, 131072}});
  list = QueryAdapterList(0, ScriptedQuery::Call);
  EXPECT_EQ(list.status, static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
  EXPECT_EQ(ScriptedQuery::offered.size(), 2u);
  EXPECT_EQ(list.First(), nullptr);

  ScriptedQuery::Reset({{ERROR_NO_DATA, 0}});
  list = QueryAdapterList(0, ScriptedQuery::Call);
  EXPECT_EQ(list.status, static_cast<ULONG>(ERROR_NO_DATA));
  EXPECT_EQ(list.First(), nullptr);
}

}  // namespace
