// Launching sing-box.exe. Window thread.
#pragma once

#include <windows.h>

#include <string>

// Starts the core with the UI's configuration. False with `error` set (and an
// "error" event emitted, except for "already running") when it fails.
bool StartCore(const std::string& config, std::string& error);

// Whether the core is created inside its job where the system supports it
// (the default). Tests turn it off to take the fallback of older systems:
// bound to the job after creation, before it is resumed.
void OfferCoreJobAtCreation(bool offer);

// Whether a creation that failed with `error` is tried once more without the
// job attribute: only when the attribute was offered and the error is
// ERROR_INTERNAL_ERROR. The retry is logged ("[boot] creation inside the job
// failed err=1359; once more without it").
bool RetryCoreCreationWithoutJob(bool jobOffered, DWORD error);
