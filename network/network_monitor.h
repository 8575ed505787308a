// Physical network changes and resume from sleep, turned into VPN events.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/adapter_list.h"
#include "network/physical_fingerprint.h"

// The fingerprint last recorded: empty at first, only ever replaced by a
// non-empty one. Guarded by FingerprintLock, which is never held while
// IsOurVpnRunning or EmitVpnEvent run.
extern std::mutex FingerprintLock;
extern std::string physicalFingerprint;

// The adapter records of one list read; GetIfEntry2 supplies the hardware
// flag (a failed row read leaves it false).
std::vector<PhysicalAdapterRecord> PhysicalAdapterRecords(const IP_ADAPTER_ADDRESSES* first);
// The fingerprint of one list read: "" for a failed read, "none" for
// ERROR_NO_DATA, otherwise PhysicalFingerprintText of its records.
std::string FingerprintOfAdapterList(const AdapterList& list);

std::string ComputePhysicalFingerprint();
void RecordPhysicalFingerprint(const std::string& fingerprint);
void WINAPI OnIpInterfaceChange(PVOID context, PMIB_IPINTERFACE_ROW row,
                                MIB_NOTIFICATION_TYPE type);
// Window thread, on WM_POWERBROADCAST / PBT_APMRESUMEAUTOMATIC.
void OnSystemResumed();
