// The SetupAPI side of the Wintun adapter sweep, the connection name read and
// the clean-up mode's work. Window thread or the clean-up process.
#include "service/core/adapter_sweep.h"

#include <winsock2.h>
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <array>

#include "common/unique_resource.h"
#include "service/dns_rule/dns_policy.h"
#include "service/dns_rule/dns_rule_owner.h"
#include "service/core/sweep_decision.h"

namespace {

constexpr wchar_t kWintunEnumerator[] = L"SWD\\Wintun";
constexpr DWORD kInstanceIdChars = 512;
constexpr DWORD kConnectionNameBytes = 512;
constexpr wchar_t kNetworkClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";

bool IsPresent(std::wstring& instanceId) {
  DEVINST node = 0;
  return CM_Locate_DevNodeW(&node, instanceId.data(), CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS;
}

// Both steps are attempted; only both succeeding counts as removed.
bool RemoveNode(HDEVINFO devices, SP_DEVINFO_DATA& info) {
  SP_REMOVEDEVICE_PARAMS params{};
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
  params.Scope = DI_REMOVEDEVICE_GLOBAL;
  params.HwProfile = 0;
  const BOOL set =
      SetupDiSetClassInstallParamsW(devices, &info, &params.ClassInstallHeader, sizeof params);
  const BOOL removed = SetupDiCallClassInstaller(DIF_REMOVE, devices, &info);
  return set && removed;
}

}  // namespace

std::wstring ReadConnectionName(std::wstring_view adapterGuid) {
  if (adapterGuid.empty()) return {};
  const std::wstring path = kNetworkClassKey + std::wstring(adapterGuid) + L"\\Connection";
  tovix::UniqueHkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
    return {};
  }
  std::array<wchar_t, kConnectionNameBytes / sizeof(wchar_t)> buffer{};
  DWORD type = 0;
  DWORD size = kConnectionNameBytes;
  const LSTATUS status = RegQueryValueExW(key.get(), L"Name", nullptr, &type,
                                          reinterpret_cast<BYTE*>(buffer.data()), &size);
  if (status != ERROR_SUCCESS || type != REG_SZ) return {};
  // A value stored without its terminator may fill the buffer: stop at the
  // bytes that were read.
  const std::wstring_view read(buffer.data(), size / sizeof(wchar_t));
  return std::wstring(read.substr(0, read.find(L'\0')));
}

AdapterSweepResult AdapterSweep(bool remove) {
  AdapterSweepResult result;
  tovix::UniqueDevInfo devices(
      SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, kWintunEnumerator, nullptr, 0));
  if (!devices) return result;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!SetupDiEnumDeviceInfo(devices.get(), index, &info)) break;
    SweepNode node;
    std::array<wchar_t, kInstanceIdChars> id{};
    if (SetupDiGetDeviceInstanceIdW(devices.get(), &info, id.data(), kInstanceIdChars, nullptr)) {
      node.idRead = true;
      node.instanceId = id.data();
      node.present = IsPresent(node.instanceId);
      node.connectionName = ReadConnectionName(AdapterGuidFromInstanceId(node.instanceId));
    }
    AccountSweepNode(result, node, remove, [&] { return RemoveNode(devices.get(), info); });
  }
  return result;
}

unsigned RunHostCleanup() {
  // A rule whose host still runs (in another Windows session) stays.
  const bool ruleDeleted = DeleteUnownedDnsPolicyRule(MachineDnsPolicyTarget());
  return (ruleDeleted ? 1u : 0u) + AdapterSweep(true).removed;
}
