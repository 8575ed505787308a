// Network change monitor (placeholder: records nothing yet).
#include "network/network_monitor.h"

std::string ComputePhysicalFingerprint() { return {}; }
void RecordPhysicalFingerprint(const std::string&) {}
void WINAPI OnIpInterfaceChange(PVOID, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) {}
void OnSystemResumed() {}
