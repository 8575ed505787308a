// The registration record's export, shared by every stand-in plugin DLL.
#include "stand-ins/plugins/standin_plugin.h"

int TovixStandinPluginCalls(FlutterDesktopPluginRegistrarRef* registrar) {
  if (registrar != nullptr) *registrar = standin_plugin::ThisPlugin().lastRegistrar;
  return standin_plugin::ThisPlugin().calls;
}
