// The five plugins the UI needs, registered in this order, and the
// registration functions their libraries export. Window thread.
#pragma once

#include "channels/embedder_api.h"
#include "channels/plugin_registry.h"

#if defined(__cplusplus)
extern "C" {
#endif

// Exported by app_links_plugin.dll, audioplayers_windows_plugin.dll,
// connectivity_plus_plugin.dll, file_selector_windows_plugin.dll and
// url_launcher_windows_plugin.dll.
void AppLinksPluginCApiRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);
void AudioplayersWindowsPluginRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);
void ConnectivityPlusWindowsPluginRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);
void FileSelectorWindowsRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);
void UrlLauncherWindowsRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);

#if defined(__cplusplus)
}  // extern "C"
#endif

// Looks each registrar up by its plugin's name and passes it (possibly null)
// to the plugin's registration function, in the order above.
void RegisterPlugins(flutter::PluginRegistry* registry);
