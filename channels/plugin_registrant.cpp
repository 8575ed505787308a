// Plugin registration in the fixed order. Window thread.
#include "channels/plugin_registrant.h"

namespace {

struct PluginEntry {
  const char* registrarName;
  void (*registerWithRegistrar)(FlutterDesktopPluginRegistrarRef);
};

const PluginEntry kPlugins[] = {
    {"AppLinksPluginCApi", &AppLinksPluginCApiRegisterWithRegistrar},
    {"AudioplayersWindowsPlugin", &AudioplayersWindowsPluginRegisterWithRegistrar},
    {"ConnectivityPlusWindowsPlugin", &ConnectivityPlusWindowsPluginRegisterWithRegistrar},
    {"FileSelectorWindows", &FileSelectorWindowsRegisterWithRegistrar},
    {"UrlLauncherWindows", &UrlLauncherWindowsRegisterWithRegistrar},
};

}  // namespace

void RegisterPlugins(flutter::PluginRegistry* registry) {
  for (const PluginEntry& plugin : kPlugins) {
    plugin.registerWithRegistrar(registry->GetRegistrarForPlugin(plugin.registrarName));
  }
}
