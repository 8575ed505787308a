// EngineProject: where the compiled UI and its assets live, and the
// entry-point arguments the UI is started with. Plain data, any thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace flutter {

class EngineProject {
 public:
  // folder: the folder holding "flutter_assets", "icudtl.dat" and "app.so",
  // relative paths resolved by the embedder against the executable's folder.
  explicit EngineProject(const std::wstring& folder)
      : assets_path_(folder + L"\\flutter_assets"),
        icu_data_path_(folder + L"\\icudtl.dat"),
        aot_library_path_(folder + L"\\app.so") {}

  const std::wstring& assets_path() const { return assets_path_; }
  const std::wstring& icu_data_path() const { return icu_data_path_; }
  const std::wstring& aot_library_path() const { return aot_library_path_; }

  // Empty: the embedder's default entry point.
  const std::string& dart_entrypoint() const { return dart_entrypoint_; }

  // UTF-8 strings, in order.
  const std::vector<std::string>& dart_entrypoint_arguments() const { return arguments_; }
  void set_dart_entrypoint_arguments(std::vector<std::string> arguments) {
    arguments_ = std::move(arguments);
  }

  // Both 0: the embedder's defaults.
  int gpu_preference() const { return 0; }
  int ui_thread_policy() const { return 0; }

 private:
  std::wstring assets_path_;
  std::wstring icu_data_path_;
  std::wstring aot_library_path_;
  std::string dart_entrypoint_;
  std::vector<std::string> arguments_;
};

}  // namespace flutter
