// The fingerprint text over adapter records: which adapter is preferred, what
// its text holds, and the two degenerate forms. Portable: also runs natively
// under the sanitizers.
#include "network/physical_fingerprint.h"

#include <gtest/gtest.h>

namespace {

PhysicalAdapterRecord Physical(std::uint64_t luid, std::uint32_t metric) {
  PhysicalAdapterRecord record;
  record.luid = luid;
  record.operStatus = 1;
  record.mtu = 1500;
  record.hardware = true;
  record.hasGateway = true;
  record.ipv4Metric = metric;
  return record;
}

// A sockaddr_in as raw bytes: family 2 (little-endian), port 0, the address.
std::string Ipv4Bytes(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  std::string bytes(16, '\0');
  bytes[0] = 2;
  bytes[4] = static_cast<char>(a);
  bytes[5] = static_cast<char>(b);
  bytes[6] = static_cast<char>(c);
  bytes[7] = static_cast<char>(d);
  return bytes;
}

TEST(PhysicalFingerprint, NoneWithoutAQualifyingAdapter) {
  EXPECT_EQ(PhysicalFingerprintText({}), "none");
  auto virtualOne = Physical(1, 0);
  virtualOne.hardware = false;  // a TUN adapter, even with the lowest metric
  auto down = Physical(2, 5);
  down.operStatus = 2;
  auto noGateway = Physical(3, 5);
  noGateway.hasGateway = false;
  EXPECT_EQ(PhysicalFingerprintText({virtualOne, down, noGateway}), "none");
}

TEST(PhysicalFingerprint, PrefersSmallestMetricThenListOrder) {
  auto tun = Physical(99, 0);
  tun.hardware = false;
  EXPECT_EQ(PhysicalFingerprintText({Physical(35, 35), tun, Physical(25, 25)}),
            "physical|25:1:1500");
  EXPECT_EQ(PhysicalFingerprintText({Physical(7, 10), Physical(8, 10)}), "physical|7:1:1500");
  // Unsigned: the largest metric loses to 1.
  EXPECT_EQ(PhysicalFingerprintText({Physical(5, 0xFFFFFFFFu), Physical(6, 1)}),
            "physical|6:1:1500");
  // A non-preferred adapter's addresses play no part.
  auto other = Physical(40, 40);
  other.addresses = {Ipv4Bytes(10, 0, 0, 9)};
  EXPECT_EQ(PhysicalFingerprintText({Physical(25, 25), other}), "physical|25:1:1500");
}

TEST(PhysicalFingerprint, HexOfEveryAddressSortedWithDuplicates) {
  auto adapter = Physical(0xFFFFFFFFFFFFFFFFull, 0);
  adapter.mtu = 4294967295u;
  const std::string gateway = Ipv4Bytes(192, 168, 1, 1);
  adapter.addresses = {Ipv4Bytes(192, 168, 1, 10), gateway, gateway};
  EXPECT_EQ(PhysicalFingerprintText({adapter}),
            "physical|18446744073709551615:1:4294967295"
            ":02000000c0a801010000000000000000"
            ":02000000c0a801010000000000000000"
            ":02000000c0a8010a0000000000000000");
  // A 28-byte sockaddr_in6 gives 56 digits; an empty entry an empty field.
  adapter.addresses = {std::string(28, '\x17'), std::string()};
  const std::string text = PhysicalFingerprintText({adapter});
  std::string digits;
  for (int i = 0; i < 28; ++i) digits += "17";
  EXPECT_EQ(text, "physical|18446744073709551615:1:4294967295::" + digits);
}

}  // namespace
