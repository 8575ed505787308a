// PluginRegistry: hands out the embedder's plugin registrar for a plugin
// name. Window (platform) thread.
#pragma once

#include <string>

#include "channels/embedder_api.h"

namespace flutter {

class PluginRegistry {
 public:
  PluginRegistry() = default;
  virtual ~PluginRegistry() = default;
  PluginRegistry(const PluginRegistry&) = delete;
  PluginRegistry& operator=(const PluginRegistry&) = delete;

  // Borrowed from the embedder, never freed here; null when there is none.
  virtual FlutterDesktopPluginRegistrarRef GetRegistrarForPlugin(const std::string& plugin_name) = 0;
};

}  // namespace flutter
