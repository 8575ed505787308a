// Physical network changes and resume from sleep, turned into VPN events.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <string>

std::string ComputePhysicalFingerprint();
void RecordPhysicalFingerprint(const std::string& fingerprint);
void WINAPI OnIpInterfaceChange(PVOID context, PMIB_IPINTERFACE_ROW row,
                                MIB_NOTIFICATION_TYPE type);
// Window thread, on WM_POWERBROADCAST / PBT_APMRESUMEAUTOMATIC.
void OnSystemResumed();
