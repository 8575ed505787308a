// Browsers registered on the machine, from the registry. Window thread.
#include "browsers/registered_browsers.h"

std::vector<std::string> QueryRegisteredBrowsers() { return {}; }
