// FlutterViewController and FlutterView: the embedder's view controller (which
// owns the started engine) and its child window. Window (platform) thread.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>

#include "channels/embedder_api.h"
#include "channels/engine_project.h"
#include "channels/flutter_engine.h"

namespace flutter {

class FlutterView {
 public:
  explicit FlutterView(FlutterDesktopViewRef view) : view_(view) {}
  FlutterView(const FlutterView&) = delete;
  FlutterView& operator=(const FlutterView&) = delete;

  HWND GetNativeWindow() const { return FlutterDesktopViewGetHWND(view_); }

 private:
  FlutterDesktopViewRef view_;
};

class FlutterViewController {
 public:
  // width, height: physical pixels. On failure the controller keeps its
  // engine object but has no view.
  FlutterViewController(int width, int height, const EngineProject& project);
  ~FlutterViewController();

  FlutterViewController(const FlutterViewController&) = delete;
  FlutterViewController& operator=(const FlutterViewController&) = delete;

  FlutterEngine* engine() const { return engine_.get(); }
  FlutterView* view() const { return view_.get(); }

  // The message's result when the view or a plugin consumed it.
  std::optional<LRESULT> HandleTopLevelWindowProc(HWND window, UINT message, WPARAM wparam,
                                                  LPARAM lparam);

  void ForceRedraw();

 private:
  std::shared_ptr<FlutterEngine> engine_;
  FlutterDesktopViewControllerRef controller_ = nullptr;
  std::unique_ptr<FlutterView> view_;
};

}  // namespace flutter
