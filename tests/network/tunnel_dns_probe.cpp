// Prints QueryTunnelDnsServers for the adapter named on the command line,
// joined with ";", for the namespace test driven by netns_tunnel_dns.sh.
#include <cstdio>

#include "common/text.h"
#include "service/dns_rule/dns_policy.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  const std::string line = ToUtf8(JoinDnsServers(QueryTunnelDnsServers(argv[1])));
  std::printf("servers=%s\n", line.c_str());
  return 0;
}
