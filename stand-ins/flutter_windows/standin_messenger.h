// The engine side of the stand-in embedder's messenger: what the stand-in's
// engine (and the channel layer's tests) use to play the UI's part on a
// FlutterDesktopMessenger. Exported from flutter_windows.dll (natively: the
// static stand-in library); never part of the product.
//
// Model:
//  - A messenger is reference counted. StandinMessengerCreate gives one
//    reference (the engine's); the host's FlutterDesktopMessengerAddRef/Release
//    add and drop more; the last release frees it, with any response handle
//    the host never answered.
//  - While available, the host's callbacks receive what StandinMessengerDeliver
//    hands in, and the host's sends reach the send hook. After
//    StandinMessengerSetUnavailable (the engine is gone) nothing is delivered,
//    host sends return false, and FlutterDesktopMessengerIsAvailable is false.
//  - Every messenger operation and every response is serialised by one
//    recursive mutex per messenger (the one FlutterDesktopMessengerLock takes),
//    so a response may arrive from any thread. The host's callbacks and the
//    send hook are called without that mutex held. A response callback runs
//    inside FlutterDesktopMessengerSendResponse, which the host calls while
//    it holds FlutterDesktopMessengerLock: it must record and return, never
//    wait for another thread that uses the messenger.
//
// Thread: StandinMessengerDeliver calls the host's callback on the calling
// thread; the real engine calls it on the platform (window) thread, so the
// engine stand-in must call it there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "channels/embedder_messenger_api.h"

// The response to one delivered message, called exactly once per delivery
// that was answered: the response bytes (empty for an empty response). Called
// on the thread that answered (the host may answer later, from any thread).
// Not called at all when the host never answers, or answers after the
// messenger became unavailable.
using StandinResponseCallback = std::function<void(const std::vector<uint8_t>& response)>;

// Sees every message the host sends on this messenger: channel and bytes.
// For a send with reply, reply is set and must be called at most once with the
// UI's answer (the host's reply function then runs on the calling thread); for
// a plain send it is empty. A reply the hook drops is never delivered.
using StandinReplyFunction = std::function<void(const std::vector<uint8_t>& reply)>;
using StandinSendHook = std::function<void(const std::string& channel,
                                           const std::vector<uint8_t>& message,
                                           StandinReplyFunction reply)>;

// A new messenger: one reference, available, no callbacks, no hook.
TOVIX_EMBEDDER_API FlutterDesktopMessengerRef StandinMessengerCreate();

// The engine is gone: deliveries and host sends stop, responses are dropped,
// callbacks and the send hook are forgotten. Waits for send-hook calls still
// running on other threads, so that afterwards the engine may free what its
// hook uses; so never call it from inside the send hook.
TOVIX_EMBEDDER_API void StandinMessengerSetUnavailable(FlutterDesktopMessengerRef messenger);

// Installs (or, with an empty function, removes) the hook for host sends.
// Without a hook, host sends are accepted and dropped, and a send with reply
// is answered at once with an empty reply (as the engine does when no UI
// handler listens).
TOVIX_EMBEDDER_API void StandinMessengerSetSendHook(FlutterDesktopMessengerRef messenger,
                                                    StandinSendHook hook);

// Delivers one message from the UI on channel: calls the host's callback for
// that channel on this thread. Returns false and calls nothing when the
// messenger is unavailable. A channel without a callback is answered at once
// with an empty response, as the real engine does (returns true).
TOVIX_EMBEDDER_API bool StandinMessengerDeliver(FlutterDesktopMessengerRef messenger,
                                                const std::string& channel,
                                                const std::vector<uint8_t>& message,
                                                StandinResponseCallback on_response);

// Whether the host has a callback installed for channel.
TOVIX_EMBEDDER_API bool StandinMessengerHasCallback(FlutterDesktopMessengerRef messenger,
                                                    const std::string& channel);

// The current reference count (for tests).
TOVIX_EMBEDDER_API int StandinMessengerRefCount(FlutterDesktopMessengerRef messenger);

// Deliveries the host has not answered yet (for tests).
TOVIX_EMBEDDER_API size_t StandinMessengerPendingResponses(FlutterDesktopMessengerRef messenger);
