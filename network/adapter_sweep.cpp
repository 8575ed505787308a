// Wintun adapter sweep (placeholder: finds nothing yet).
#include "network/adapter_sweep.h"

AdapterSweepResult AdapterSweep(bool) { return {}; }
std::wstring ReadConnectionName(std::wstring_view) { return {}; }
unsigned RunHostCleanup() { return 0; }
