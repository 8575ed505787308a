// FlutterEngine over the embedder's engine functions. Window thread.
#include "channels/flutter_engine.h"

#include <iostream>
#include <utility>
#include <vector>

namespace flutter {

FlutterEngine::FlutterEngine(const EngineProject& project) {
  const std::vector<std::string>& arguments = project.dart_entrypoint_arguments();
  std::vector<const char*> argv;
  argv.reserve(arguments.size());
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());

  FlutterDesktopEngineProperties properties = {};
  properties.assets_path = project.assets_path().c_str();
  properties.icu_data_path = project.icu_data_path().c_str();
  properties.aot_library_path = project.aot_library_path().c_str();
  properties.dart_entrypoint = project.dart_entrypoint().c_str();
  properties.dart_entrypoint_argc = static_cast<int>(argv.size());
  properties.dart_entrypoint_argv = argv.empty() ? nullptr : argv.data();
  properties.gpu_preference = static_cast<FlutterDesktopGpuPreference>(project.gpu_preference());
  properties.ui_thread_policy = static_cast<FlutterDesktopUIThreadPolicy>(project.ui_thread_policy());

  engine_ = FlutterDesktopEngineCreate(&properties);
  owns_engine_ = true;
  // Not checked on purpose: an engine that could not be created shows up as
  // a failed view controller.
  messenger_ = std::make_unique<BinaryMessengerImpl>(FlutterDesktopEngineGetMessenger(engine_));
}

FlutterEngine::~FlutterEngine() {
  if (owns_engine_ && engine_ != nullptr) FlutterDesktopEngineDestroy(engine_);
  next_frame_callback_ = nullptr;
  messenger_.reset();
}

FlutterDesktopPluginRegistrarRef FlutterEngine::GetRegistrarForPlugin(const std::string& plugin_name) {
  if (engine_ == nullptr) {
    std::cerr << "Cannot get plugin registrar on an engine that isn't running; call Run first."
              << std::endl;
    return nullptr;
  }
  return FlutterDesktopEngineGetPluginRegistrar(engine_, plugin_name.c_str());
}

void FlutterEngine::ReloadSystemFonts() {
  if (engine_ != nullptr) FlutterDesktopEngineReloadSystemFonts(engine_);
}

void FlutterEngine::SetNextFrameCallback(std::function<void()> callback) {
  next_frame_callback_ = std::move(callback);
  if (engine_ != nullptr) FlutterDesktopEngineSetNextFrameCallback(engine_, &FlutterEngine::OnNextFrame, this);
}

void FlutterEngine::OnNextFrame(void* user_data) {
  auto* self = static_cast<FlutterEngine*>(user_data);
  // Taken out first so that the callable may request another frame.
  std::function<void()> callback = std::exchange(self->next_frame_callback_, nullptr);
  // Called from the embedder: nothing may escape into it.
  try {
    if (callback) callback();
  } catch (...) {
  }
}

FlutterDesktopEngineRef FlutterEngine::RelinquishEngine() {
  owns_engine_ = false;
  return engine_;
}

}  // namespace flutter
