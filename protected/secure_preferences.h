// The "kelpmarrow.secure/preferences" handler. Window thread.
#pragma once

#include <memory>

#include "channels/method_call.h"
#include "channels/method_result.h"

void SecurePreferencesHandler(const flutter::MethodCall& call,
                              std::unique_ptr<flutter::MethodResult> result);
