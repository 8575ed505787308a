// Physical network changes (IP interface notifications, on the system's
// notification threads) and resume from sleep (window thread), turned into
// VPN events.
#include "network/network_monitor.h"

#include "core/core_process.h"
#include "core/vpn_events.h"

std::mutex FingerprintLock;
std::string physicalFingerprint;

namespace {

void AppendAddress(std::vector<std::string>& addresses, const SOCKET_ADDRESS& address) {
  if (address.lpSockaddr == nullptr || address.iSockaddrLength <= 0) {
    addresses.emplace_back();
    return;
  }
  addresses.emplace_back(reinterpret_cast<const char*>(address.lpSockaddr),
                         static_cast<size_t>(address.iSockaddrLength));
}

void EmitNetworkChange(const char* idleMessage) {
  if (IsOurVpnRunning()) {
    EmitVpnEvent("network_lost", "state query");
  } else {
    EmitVpnEvent("network_restored", idleMessage);
  }
}

}  // namespace

std::vector<PhysicalAdapterRecord> PhysicalAdapterRecords(const IP_ADAPTER_ADDRESSES* first) {
  std::vector<PhysicalAdapterRecord> records;
  for (const IP_ADAPTER_ADDRESSES* adapter = first; adapter != nullptr; adapter = adapter->Next) {
    PhysicalAdapterRecord record;
    record.luid = adapter->Luid.Value;
    record.operStatus = static_cast<std::int32_t>(adapter->OperStatus);
    record.mtu = adapter->Mtu;
    record.ipv4Metric = adapter->Ipv4Metric;
    record.hasGateway = adapter->FirstGatewayAddress != nullptr;
    MIB_IF_ROW2 row{};
    row.InterfaceLuid = adapter->Luid;
    record.hardware =
        GetIfEntry2(&row) == NO_ERROR && row.InterfaceAndOperStatusFlags.HardwareInterface;
    for (auto* a = adapter->FirstUnicastAddress; a != nullptr; a = a->Next) {
      AppendAddress(record.addresses, a->Address);
    }
    for (auto* a = adapter->FirstGatewayAddress; a != nullptr; a = a->Next) {
      AppendAddress(record.addresses, a->Address);
    }
    for (auto* a = adapter->FirstDnsServerAddress; a != nullptr; a = a->Next) {
      AppendAddress(record.addresses, a->Address);
    }
    records.push_back(std::move(record));
  }
  return records;
}

std::string FingerprintOfAdapterList(const AdapterList& list) {
  if (list.status == ERROR_NO_DATA) return "none";
  if (list.status != NO_ERROR) return {};
  return PhysicalFingerprintText(PhysicalAdapterRecords(list.First()));
}

std::string ComputePhysicalFingerprint() {
  return FingerprintOfAdapterList(QueryAdapterList(GAA_FLAG_INCLUDE_GATEWAYS));
}

void RecordPhysicalFingerprint(const std::string& fingerprint) {
  if (fingerprint.empty()) return;
  bool changed = false;
  {
    std::lock_guard lock(FingerprintLock);
    changed = !physicalFingerprint.empty() && physicalFingerprint != fingerprint;
    physicalFingerprint = fingerprint;
  }
  if (changed) EmitNetworkChange("physical network changed");
}

void WINAPI OnIpInterfaceChange(PVOID, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) {
  try {
    RecordPhysicalFingerprint(ComputePhysicalFingerprint());
  } catch (...) {
    // A system notification thread: nothing may escape into it.
  }
}

void OnSystemResumed() { EmitNetworkChange("Windows resumed"); }
