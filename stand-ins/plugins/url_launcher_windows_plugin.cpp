// Stand-in for url_launcher_windows_plugin.dll: records that it was registered. Window thread.
#include "stand-ins/plugins/standin_plugin.h"

TOVIX_STANDIN_PLUGIN_EXPORT void UrlLauncherWindowsRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar) {
  standin_plugin::NoteRegistration(registrar);
}
