// Registration of the host's platform channels and the "kelpmarrow.vpn/core"
// method dispatch. Window thread.
#pragma once

#include <windows.h>

#include <memory>

#include "channels/binary_messenger.h"
#include "channels/method_call.h"
#include "channels/method_result.h"

void RegisterCoreChannels(flutter::BinaryMessenger* messenger, HWND window);
// Records the network baseline and subscribes to interface changes, on a
// thread of its own. The window calls it once its first frame is on screen:
// the adapter query and the libraries it loads take the loader lock and the
// system's time, and before that frame they delay it (by about 10 ms under
// Wine, a quarter of the host's own start-up). ShutdownCoreChannels waits for
// it and cancels the subscription.
void StartNetworkMonitor();
void ShutdownCoreChannels();
void HandleCoreMethodCall(const flutter::MethodCall& call,
                          std::unique_ptr<flutter::MethodResult> result);
