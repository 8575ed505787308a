// The fingerprint text of the preferred physical adapter, over plain adapter
// records (the network monitor gathers them from Windows). No Windows
// header: also built and tested natively. Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct PhysicalAdapterRecord {
  std::uint64_t luid = 0;
  std::int32_t operStatus = 0;  // 1: up
  std::uint32_t mtu = 0;
  bool hardware = false;        // the interface row's HardwareInterface flag (false: no row)
  bool hasGateway = false;
  std::uint32_t ipv4Metric = 0;
  // Raw socket address bytes: unicast addresses, then gateways, then DNS servers.
  std::vector<std::string> addresses;
};

// Lower-case hexadecimal, two digits per byte, high nibble first.
std::string HexOfBytes(std::string_view bytes);

// "physical|<luid>:<oper status>:<mtu>" and ":<hex>" for each address of the
// preferred adapter in ascending order; "none" when no adapter is hardware,
// up and has a gateway. The preferred one has the smallest metric (unsigned);
// on equal metrics the first in order.
std::string PhysicalFingerprintText(const std::vector<PhysicalAdapterRecord>& adapters);
