// Launching sing-box.exe. Window thread.
#pragma once

#include <string>

// Starts the core with the UI's configuration. False with `error` set (and an
// "error" event emitted, except for "already running") when it fails.
bool StartCore(const std::string& config, std::string& error);

// Whether the core is created inside its job where the system supports it
// (the default). Tests turn it off to take the fallback of older systems:
// bound to the job after creation, before it is resumed.
void OfferCoreJobAtCreation(bool offer);
