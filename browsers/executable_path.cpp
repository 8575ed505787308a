// The executable of a shell open command. Pure; any thread.
#include "browsers/registered_browsers.h"

std::wstring ExtractExecutablePath(std::wstring_view) { return {}; }
