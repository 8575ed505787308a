// Stand-in for connectivity_plus_plugin.dll: records that it was registered. Window thread.
#include "stand-ins/plugins/standin_plugin.h"

TOVIX_STANDIN_PLUGIN_EXPORT void ConnectivityPlusWindowsPluginRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar) {
  standin_plugin::NoteRegistration(registrar);
}
