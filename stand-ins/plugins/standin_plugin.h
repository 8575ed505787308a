// What every stand-in plugin records about its registration: how often its
// registration function ran and the registrar it was given. Read by tests
// through the DLL's exported TovixStandinPluginCalls. Never part of the product.
#pragma once

#include "channels/embedder_api.h"

#define TOVIX_STANDIN_PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace standin_plugin {

struct Record {
  int calls = 0;
  FlutterDesktopPluginRegistrarRef lastRegistrar = nullptr;
};

inline Record& ThisPlugin() {
  static Record record;
  return record;
}

inline void NoteRegistration(FlutterDesktopPluginRegistrarRef registrar) {
  ++ThisPlugin().calls;
  ThisPlugin().lastRegistrar = registrar;
}

}  // namespace standin_plugin

// Number of registrations so far; *registrar receives the last registrar.
TOVIX_STANDIN_PLUGIN_EXPORT int TovixStandinPluginCalls(FlutterDesktopPluginRegistrarRef* registrar);
