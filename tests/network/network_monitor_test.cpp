// Recording the physical fingerprint and what it emits, resume from sleep,
// the real adapter read under Wine, and the records built from a hand-made
// adapter list. Events are observed in a scratch session log.
#include <gtest/gtest.h>


#include "core/core_process.h"
#include "core/vpn_events.h"
#include "network/network_monitor.h"
#include "network_test_support.h"

namespace {

// A child of this test program, created suspended: a core that "runs".
class StandInCore {
 public:
  StandInCore() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(path) + L"\" --gtest_list_tests";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessW(path, commandLine.data(), nullptr, nullptr, FALSE,
                       CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
      CloseHandle(info.hThread);
      std::lock_guard lock(CoreLock);
      CoreProcess.process.reset(info.hProcess);
      CoreProcess.running = true;
    }
  }
  ~StandInCore() {
    std::lock_guard lock(CoreLock);
    CoreProcess.running = false;
    if (CoreProcess.process) {
      TerminateProcess(CoreProcess.process.get(), 0);
      CoreProcess.process.reset();
    }
  }
  StandInCore(const StandInCore&) = delete;
  StandInCore& operator=(const StandInCore&) = delete;
};

class Monitor : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard lock(FingerprintLock);
    physicalFingerprint.clear();
  }
  std::vector<std::string> Events() const {
    std::vector<std::string> events;
    for (const char* state : {"network_lost", "network_restored"}) {
      for (const auto& text : log.Texts(std::string("[EVENT:") + state + "]")) {
        events.push_back(std::string(state) + " " + text);
      }
    }
    return events;
  }
  std::vector<std::string> AllEventLines() const {
    std::vector<std::string> lines;
    std::ifstream file(SessionLog::CurrentPath(), std::ios::binary);
    std::string line;
    while (std::getline(file, line)) {
      if (line.find("] [EVENT:") != std::string::npos) lines.push_back(line);
    }
    return lines;
  }
  nettest::SessionCapture log;
};

TEST_F(Monitor, BaselineIsSilentAndEachDistinctChangeEmitsOnce) {
  RecordPhysicalFingerprint("physical|1:1:1500:aa");  // baseline
  EXPECT_TRUE(AllEventLines().empty());
  RecordPhysicalFingerprint("physical|1:1:1500:aa");  // unchanged
  RecordPhysicalFingerprint("physical|1:1:1500:ab");  // A -> B
  RecordPhysicalFingerprint("physical|1:1:1500:ab");
  RecordPhysicalFingerprint("physical|1:1:1500:aa");  // B -> A
  RecordPhysicalFingerprint("physical|1:1:1500:a");   // prefix of A: a change
  EXPECT_EQ(AllEventLines().size(), 3u);
  EXPECT_EQ(Events(), (std::vector<std::string>(3, "network_restored physical network changed")));
  EXPECT_EQ(LastVpnState(), "network_restored");
  std::lock_guard lock(FingerprintLock);
  EXPECT_EQ(physicalFingerprint, "physical|1:1:1500:a");
}

TEST_F(Monitor, FailedQueryNeitherRecordsNorEmits) {
  RecordPhysicalFingerprint("");  // no baseline from an empty text
  RecordPhysicalFingerprint("none");
  RecordPhysicalFingerprint("");
  RecordPhysicalFingerprint("none");  // compared with the kept value
  EXPECT_TRUE(AllEventLines().empty());
  RecordPhysicalFingerprint("physical|2:1:9000");  // from "none": a change
  RecordPhysicalFingerprint("none");               // and back
  EXPECT_EQ(AllEventLines().size(), 2u);
}

TEST_F(Monitor, ChangeWhileTheCoreRunsIsNetworkLost) {
  StandInCore core;
  ASSERT_TRUE(IsOurVpnRunning());
  RecordPhysicalFingerprint("none");
  RecordPhysicalFingerprint("physical|3:1:1500");
  EXPECT_EQ(Events(), (std::vector<std::string>{"network_lost state query"}));
  EXPECT_EQ(LastVpnState(), "network_lost");
}

TEST_F(Monitor, ResumeReportsByCoreState) {
  OnSystemResumed();
  {
    StandInCore core;
    ASSERT_TRUE(IsOurVpnRunning());
    OnSystemResumed();
    EXPECT_EQ(LastVpnState(), "network_lost");
  }
  EXPECT_EQ(Events(), (std::vector<std::string>{"network_lost state query",
                                                "network_restored Windows resumed"}));
  const auto lines = AllEventLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("[EVENT:network_restored] Windows resumed"), std::string::npos);
  EXPECT_NE(lines[1].find("[EVENT:network_lost] state query"), std::string::npos);
  // Resume does not touch the recorded fingerprint.
  std::lock_guard lock(FingerprintLock);
  EXPECT_TRUE(physicalFingerprint.empty());
}

TEST_F(Monitor, RealAdapterListUnderWine) {
  const std::string first = ComputePhysicalFingerprint();
  ASSERT_FALSE(first.empty());
  EXPECT_TRUE(first == "none" || first.rfind("physical|", 0) == 0) << first;
  // The notification path records that baseline silently and emits nothing
  // while the network stays as it is.
  OnIpInterfaceChange(nullptr, nullptr, MibAddInstance);
  OnIpInterfaceChange(nullptr, nullptr, MibParameterNotification);
  EXPECT_TRUE(AllEventLines().empty());
  std::lock_guard lock(FingerprintLock);
  EXPECT_EQ(physicalFingerprint, first);
}

TEST(PhysicalAdapterRecords, AddressesInListOrderAndFailedListsGiveNoText) {
  // One adapter by hand with a luid Windows does not know: no row, so not
  // hardware, whatever its gateway.
  sockaddr_in unicast{};
  unicast.sin_family = AF_INET;
  unicast.sin_addr.s_addr = htonl(0x0a000002);
  sockaddr_in gateway = unicast;
  gateway.sin_addr.s_addr = htonl(0x0a000001);
  IP_ADAPTER_UNICAST_ADDRESS unicastEntry{};
  unicastEntry.Address = {reinterpret_cast<sockaddr*>(&unicast), sizeof unicast};
  IP_ADAPTER_GATEWAY_ADDRESS gatewayEntry{};
  gatewayEntry.Address = {reinterpret_cast<sockaddr*>(&gateway), sizeof gateway};
  IP_ADAPTER_DNS_SERVER_ADDRESS dnsEntry{};
  dnsEntry.Address = {nullptr, 0};
  IP_ADAPTER_ADDRESSES adapter{};
  adapter.Luid.Value = 0x7fff000000000001ull;
  adapter.OperStatus = IfOperStatusUp;
  adapter.Mtu = 1400;
  adapter.Ipv4Metric = 3;
  adapter.FirstUnicastAddress = &unicastEntry;
  adapter.FirstGatewayAddress = &gatewayEntry;
  adapter.FirstDnsServerAddress = &dnsEntry;

  const auto records = PhysicalAdapterRecords(&adapter);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_FALSE(records[0].hardware);
  EXPECT_TRUE(records[0].hasGateway);
  EXPECT_EQ(records[0].ipv4Metric, 3u);
  EXPECT_EQ(records[0].operStatus, 1);
  ASSERT_EQ(records[0].addresses.size(), 3u);
  EXPECT_EQ(HexOfBytes(records[0].addresses[0]), "020000000a0000020000000000000000");
  EXPECT_EQ(HexOfBytes(records[0].addresses[1]), "020000000a0000010000000000000000");
  EXPECT_EQ(records[0].addresses[2], "");

  AdapterList failed;
  failed.status = ERROR_NO_DATA;
  EXPECT_EQ(FingerprintOfAdapterList(failed), "none");
  failed.status = ERROR_BUFFER_OVERFLOW;
  EXPECT_EQ(FingerprintOfAdapterList(failed), "");
  failed.status = ERROR_NOT_ENOUGH_MEMORY;
  EXPECT_EQ(FingerprintOfAdapterList(failed), "");
}

}  // namespace
