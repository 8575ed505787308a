// The Flutter Windows embedder's C interface (flutter_windows.dll) beyond the
// messenger: engine, view controller, view, plugin registrar. Declared by this
// project, binary-compatible with the real library.
#pragma once

#include <windows.h>

#include "channels/embedder_messenger_api.h"

#if defined(__cplusplus)
extern "C" {
#endif

typedef struct FlutterDesktopEngine* FlutterDesktopEngineRef;
typedef struct FlutterDesktopViewController* FlutterDesktopViewControllerRef;
typedef struct FlutterDesktopView* FlutterDesktopViewRef;
typedef struct FlutterDesktopPluginRegistrar* FlutterDesktopPluginRegistrarRef;

typedef enum { FlutterDesktopGpuPreferenceNoPreference = 0 } FlutterDesktopGpuPreference;
typedef enum { FlutterDesktopUIThreadPolicyDefault = 0 } FlutterDesktopUIThreadPolicy;

// Only needs to live for the duration of FlutterDesktopEngineCreate.
typedef struct {
  const wchar_t* assets_path;
  const wchar_t* icu_data_path;
  const wchar_t* aot_library_path;
  const char* dart_entrypoint;  // null or empty: the default entry point
  int dart_entrypoint_argc;
  const char** dart_entrypoint_argv;  // deep-copied by the embedder
  FlutterDesktopGpuPreference gpu_preference;
  FlutterDesktopUIThreadPolicy ui_thread_policy;
} FlutterDesktopEngineProperties;

typedef void (*VoidCallback)(void* user_data);

typedef bool (*FlutterDesktopWindowProcCallback)(HWND hwnd, UINT message, WPARAM wparam,
                                                 LPARAM lparam, void* user_data, LRESULT* result);

// Engine
TOVIX_EMBEDDER_API FlutterDesktopEngineRef
FlutterDesktopEngineCreate(const FlutterDesktopEngineProperties* engine_properties);
TOVIX_EMBEDDER_API bool FlutterDesktopEngineDestroy(FlutterDesktopEngineRef engine);
TOVIX_EMBEDDER_API FlutterDesktopMessengerRef
FlutterDesktopEngineGetMessenger(FlutterDesktopEngineRef engine);
TOVIX_EMBEDDER_API FlutterDesktopPluginRegistrarRef
FlutterDesktopEngineGetPluginRegistrar(FlutterDesktopEngineRef engine, const char* plugin_name);
TOVIX_EMBEDDER_API void FlutterDesktopEngineSetNextFrameCallback(FlutterDesktopEngineRef engine,
                                                                  VoidCallback callback,
                                                                  void* user_data);
TOVIX_EMBEDDER_API void FlutterDesktopEngineReloadSystemFonts(FlutterDesktopEngineRef engine);

// View controller and view
TOVIX_EMBEDDER_API FlutterDesktopViewControllerRef
FlutterDesktopViewControllerCreate(int width, int height, FlutterDesktopEngineRef engine);
TOVIX_EMBEDDER_API void FlutterDesktopViewControllerDestroy(FlutterDesktopViewControllerRef controller);
TOVIX_EMBEDDER_API FlutterDesktopViewRef
FlutterDesktopViewControllerGetView(FlutterDesktopViewControllerRef controller);
TOVIX_EMBEDDER_API void FlutterDesktopViewControllerForceRedraw(FlutterDesktopViewControllerRef controller);
TOVIX_EMBEDDER_API bool FlutterDesktopViewControllerHandleTopLevelWindowProc(
    FlutterDesktopViewControllerRef controller, HWND hwnd, UINT message, WPARAM wparam,
    LPARAM lparam, LRESULT* result);
TOVIX_EMBEDDER_API HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view);

// Freestanding
TOVIX_EMBEDDER_API UINT FlutterDesktopGetDpiForMonitor(HMONITOR monitor);

// Plugin registrar extensions (used by plugins, not by the host)
TOVIX_EMBEDDER_API void FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate,
    void* user_data);
TOVIX_EMBEDDER_API void FlutterDesktopPluginRegistrarUnregisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate);

#if defined(__cplusplus)
}  // extern "C"
#endif
