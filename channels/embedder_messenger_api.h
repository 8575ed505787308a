// The messenger part of the Flutter Windows embedder's C interface
// (flutter_windows.dll), declared by this project. It needs no Windows
// header, so the channel layer also builds on other platforms.
// Binary-compatible with the real library: same names, types and order.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(TOVIX_EMBEDDER_IMPLEMENTATION)
#define TOVIX_EMBEDDER_API __declspec(dllexport)
#else
#define TOVIX_EMBEDDER_API __declspec(dllimport)
#endif
#else
#define TOVIX_EMBEDDER_API __attribute__((visibility("default")))
#endif

#if defined(__cplusplus)
extern "C" {
#endif

typedef struct FlutterDesktopMessenger* FlutterDesktopMessengerRef;

// Opaque; only ever handled by const pointer.
typedef struct FlutterDesktopMessageResponseHandle FlutterDesktopMessageResponseHandle;

typedef struct {
  size_t struct_size;  // as filled in by the embedder
  const char* channel;
  const uint8_t* message;
  size_t message_size;
  const FlutterDesktopMessageResponseHandle* response_handle;
} FlutterDesktopMessage;

typedef void (*FlutterDesktopMessageCallback)(FlutterDesktopMessengerRef messenger,
                                              const FlutterDesktopMessage* message,
                                              void* user_data);
typedef void (*FlutterDesktopBinaryReply)(const uint8_t* data, size_t data_size, void* user_data);

TOVIX_EMBEDDER_API bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger,
                                                    const char* channel,
                                                    const uint8_t* message,
                                                    const size_t message_size);

TOVIX_EMBEDDER_API bool FlutterDesktopMessengerSendWithReply(FlutterDesktopMessengerRef messenger,
                                                             const char* channel,
                                                             const uint8_t* message,
                                                             const size_t message_size,
                                                             const FlutterDesktopBinaryReply reply,
                                                             void* user_data);

TOVIX_EMBEDDER_API void FlutterDesktopMessengerSendResponse(
    FlutterDesktopMessengerRef messenger,
    const FlutterDesktopMessageResponseHandle* handle,
    const uint8_t* data,
    size_t data_length);

TOVIX_EMBEDDER_API void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger,
                                                           const char* channel,
                                                           FlutterDesktopMessageCallback callback,
                                                           void* user_data);

TOVIX_EMBEDDER_API FlutterDesktopMessengerRef
FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger);
TOVIX_EMBEDDER_API void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger);
TOVIX_EMBEDDER_API bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger);
TOVIX_EMBEDDER_API FlutterDesktopMessengerRef
FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger);
TOVIX_EMBEDDER_API void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger);

#if defined(__cplusplus)
}  // extern "C"
#endif
