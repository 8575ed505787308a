// Registration of the host's platform channels and the "kelpmarrow.vpn/core"
// method dispatch. Window thread.
#pragma once

#include <windows.h>

#include <memory>

#include "channels/binary_messenger.h"
#include "channels/method_call.h"
#include "channels/method_result.h"

void RegisterCoreChannels(flutter::BinaryMessenger* messenger, HWND window);
void ShutdownCoreChannels();
void HandleCoreMethodCall(const flutter::MethodCall& call,
                          std::unique_ptr<flutter::MethodResult> result);
