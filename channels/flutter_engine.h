// FlutterEngine: owns the embedder engine handle until a view controller
// takes it, the messenger over it, and the pending next-frame callback.
// Window (platform) thread only; the next-frame callback arrives there too.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "channels/binary_messenger.h"
#include "channels/binary_messenger_impl.h"
#include "channels/embedder_api.h"
#include "channels/engine_project.h"
#include "channels/plugin_registry.h"

namespace flutter {

class FlutterEngine : public PluginRegistry {
 public:
  explicit FlutterEngine(const EngineProject& project);
  ~FlutterEngine() override;

  FlutterEngine(const FlutterEngine&) = delete;
  FlutterEngine& operator=(const FlutterEngine&) = delete;

  FlutterDesktopPluginRegistrarRef GetRegistrarForPlugin(const std::string& plugin_name) override;

  void ReloadSystemFonts();

  // Calls `callback` once, after the next frame is drawn; replaces a pending one.
  void SetNextFrameCallback(std::function<void()> callback);

  // Gives the handle to a view controller: this object no longer destroys it
  // (the handle stays known for registrar lookups).
  FlutterDesktopEngineRef RelinquishEngine();

  BinaryMessenger* messenger() const { return messenger_.get(); }
  FlutterDesktopEngineRef engine() const { return engine_; }

 private:
  static void OnNextFrame(void* user_data);

  FlutterDesktopEngineRef engine_ = nullptr;
  bool owns_engine_ = false;
  // Destroyed after the callback below (members go in reverse order).
  std::unique_ptr<BinaryMessengerImpl> messenger_;
  std::function<void()> next_frame_callback_;
};

}  // namespace flutter
