// The fingerprint text over adapter records. Portable; any thread.
#include "network/physical_fingerprint.h"

#include <algorithm>

namespace {

constexpr std::int32_t kOperStatusUp = 1;

bool Qualifies(const PhysicalAdapterRecord& adapter) {
  return adapter.hardware && adapter.operStatus == kOperStatusUp && adapter.hasGateway;
}

}  // namespace

std::string HexOfBytes(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0f];
  }
  return hex;
}

std::string PhysicalFingerprintText(const std::vector<PhysicalAdapterRecord>& adapters) {
  const PhysicalAdapterRecord* preferred = nullptr;
  for (const PhysicalAdapterRecord& adapter : adapters) {
    if (!Qualifies(adapter)) continue;
    if (preferred == nullptr || adapter.ipv4Metric < preferred->ipv4Metric) preferred = &adapter;
  }
  if (preferred == nullptr) return "none";

  std::vector<std::string> hexes;
  hexes.reserve(preferred->addresses.size());
  for (const std::string& address : preferred->addresses) hexes.push_back(HexOfBytes(address));
  std::sort(hexes.begin(), hexes.end());

  std::string text = "physical|" + std::to_string(preferred->luid) + ":" +
                     std::to_string(preferred->operStatus) + ":" + std::to_string(preferred->mtu);
  for (const std::string& hex : hexes) {
    text += ':';
    text += hex;
  }
  return text;
}
