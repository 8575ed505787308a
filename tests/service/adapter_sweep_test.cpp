// The sweep's SetupAPI layer against fake Wintun device nodes registered in
// Wine's device tree, with connection names under HKEY_LOCAL_MACHINE. Every
// node and key made here is removed afterwards, whatever the outcome.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>

#include <cstdio>

#include "service/core/adapter_sweep.h"
#include "network/network_test_support.h"

namespace {

const std::wstring kConnectionRoot =
    L"SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";

std::wstring RandomGuid() {
  GUID guid{};
  CoCreateGuid(&guid);
  wchar_t text[64] = {};
  StringFromGUID2(guid, text, 64);
  return text;
}

// Registers SWD\Wintun\<tail> in the network class and, when a name is given,
// its connection name; removes both when it goes.
class FakeWintunNode {
 public:
  FakeWintunNode(std::wstring tail, std::wstring guid, const wchar_t* name)
      : id_(L"SWD\\Wintun\\" + tail), guid_(std::move(guid)) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_NET, nullptr);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    registered_ = SetupDiCreateDeviceInfoW(set, id_.c_str(), &GUID_DEVCLASS_NET, nullptr, nullptr,
                                           0, &info) &&
                  SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &info);
    SetupDiDestroyDeviceInfoList(set);
    if (name != nullptr && !guid_.empty()) {
      const std::wstring key = kConnectionRoot + guid_ + L"\\Connection";
      RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Name", REG_SZ, name,
                      static_cast<DWORD>((wcslen(name) + 1) * sizeof(wchar_t)));
    }
  }
  ~FakeWintunNode() {
    Remove();
    if (!guid_.empty()) RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kConnectionRoot + guid_).c_str());
  }
  FakeWintunNode(const FakeWintunNode&) = delete;
  FakeWintunNode& operator=(const FakeWintunNode&) = delete;

  bool registered() const { return registered_; }
  bool Exists() const {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_NET, nullptr);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    const bool found = SetupDiOpenDeviceInfoW(set, id_.c_str(), nullptr, 0, &info);
    SetupDiDestroyDeviceInfoList(set);
    return found;
  }
  void Remove() {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_NET, nullptr);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (SetupDiOpenDeviceInfoW(set, id_.c_str(), nullptr, 0, &info)) {
      SetupDiCallClassInstaller(DIF_REMOVE, set, &info);
    }
    SetupDiDestroyDeviceInfoList(set);
  }

 private:
  std::wstring id_;
  std::wstring guid_;
  bool registered_ = false;
};

TEST(AdapterSweepOnWine, ReadsConnectionNames) {
  const std::wstring guid = RandomGuid();
  const std::wstring key = kConnectionRoot + guid + L"\\Connection";
  auto cleanup = [&] { RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kConnectionRoot + guid).c_str()); };

  EXPECT_EQ(ReadConnectionName(L""), L"");
  EXPECT_EQ(ReadConnectionName(guid), L"");  // no key

  const std::wstring longest(255, L'K');
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Name", REG_SZ, longest.c_str(),
                            256 * sizeof(wchar_t)),
            ERROR_SUCCESS);
  EXPECT_EQ(ReadConnectionName(guid), longest);

  // 256 characters without a terminator fill the buffer exactly: Windows
  // hands them over unterminated, Wine refuses (no room for a terminator).
  // Either way nothing beyond the 512 bytes is read.
  const std::wstring unterminated(256, L'Q');
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Name", REG_SZ, unterminated.c_str(), 512);
  const std::wstring read = ReadConnectionName(guid);
  EXPECT_TRUE(read == unterminated || read.empty()) << read.size();

  // Too long, wrong type, empty.
  const std::wstring tooLong(300, L'K');
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Name", REG_SZ, tooLong.c_str(),
                  301 * sizeof(wchar_t));
  EXPECT_EQ(ReadConnectionName(guid), L"");
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Name", REG_EXPAND_SZ, L"Kelpmarrow", 22);
  EXPECT_EQ(ReadConnectionName(guid), L"");
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Name", REG_MULTI_SZ, L"Kelpmarrow\0", 24);
  EXPECT_EQ(ReadConnectionName(guid), L"");
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Name", REG_SZ, L"", 0);
  EXPECT_EQ(ReadConnectionName(guid), L"");
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Name", REG_SZ, L"Kelp\0marrow", 24);
  EXPECT_EQ(ReadConnectionName(guid), L"Kelp");
  cleanup();
}

TEST(AdapterSweepOnWine, CountsNamesAndRemovesOnlyOurPhantoms) {
  const AdapterSweepResult before = AdapterSweep(false);
  FakeWintunNode ours(RandomGuid(), {}, nullptr);
  // The GUID is taken from the instance id, so each node's name key follows it.
  const std::wstring guidA = RandomGuid();
  const std::wstring guidB = RandomGuid();
  const std::wstring guidC = RandomGuid();
  FakeWintunNode phantomA(guidA, guidA, L"Kelpmarrow 7");
  FakeWintunNode other(guidB, guidB, L"OtherVPN");
  FakeWintunNode nearMiss(guidC, guidC, L"Kelpmarro");
  FakeWintunNode noBraces(L"NOBRACES", L"", nullptr);
  ASSERT_TRUE(phantomA.registered() && other.registered() && nearMiss.registered() &&
              noBraces.registered() && ours.registered())
      << "Wine did not register the fake device nodes";

  const AdapterSweepResult counting = AdapterSweep(false);
  EXPECT_EQ(counting.wintun_nodes, before.wintun_nodes + 5);
  // Wine never finds a node with CM_Locate_DevNodeW: every one looks phantom.
  EXPECT_EQ(counting.live_kept, 0u);
  EXPECT_EQ(counting.ours_left_behind, before.ours_left_behind + 1);
  EXPECT_NE(counting.names.find("Kelpmarrow 7"), std::string::npos);
  EXPECT_EQ(counting.removed, 0u);
  EXPECT_TRUE(phantomA.Exists());

  const AdapterSweepResult removing = AdapterSweep(true);
  EXPECT_EQ(removing.wintun_nodes, counting.wintun_nodes);
  EXPECT_EQ(removing.ours_left_behind, counting.ours_left_behind);
  // Wine refuses SetupDiSetClassInstallParamsW while DIF_REMOVE still works;
  // a removal counts only when both steps succeed.
  EXPECT_LE(removing.removed, removing.ours_left_behind);
  std::printf("removing sweep on this system: ours_left_behind=%u removed=%u\n",
              removing.ours_left_behind, removing.removed);
  EXPECT_FALSE(phantomA.Exists());
  EXPECT_TRUE(other.Exists());
  EXPECT_TRUE(nearMiss.Exists());
  EXPECT_TRUE(noBraces.Exists());

  const AdapterSweepResult after = AdapterSweep(false);
  EXPECT_EQ(after.wintun_nodes, before.wintun_nodes + 4);
  EXPECT_EQ(after.ours_left_behind, before.ours_left_behind);
}

}  // namespace
