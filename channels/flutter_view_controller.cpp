// FlutterViewController over the embedder's view-controller functions.
// Window thread.
#include "channels/flutter_view_controller.h"

#include <iostream>

namespace flutter {

FlutterViewController::FlutterViewController(int width, int height, const EngineProject& project)
    : engine_(std::make_shared<FlutterEngine>(project)) {
  controller_ = FlutterDesktopViewControllerCreate(width, height, engine_->RelinquishEngine());
  if (controller_ == nullptr) {
    std::cerr << "Failed to create view controller." << std::endl;
    return;
  }
  view_ = std::make_unique<FlutterView>(FlutterDesktopViewControllerGetView(controller_));
}

FlutterViewController::~FlutterViewController() {
  if (controller_ != nullptr) FlutterDesktopViewControllerDestroy(controller_);
  view_.reset();
  engine_.reset();
}

std::optional<LRESULT> FlutterViewController::HandleTopLevelWindowProc(HWND window, UINT message,
                                                                       WPARAM wparam, LPARAM lparam) {
  if (controller_ == nullptr) return std::nullopt;
  LRESULT result = 0;
  if (FlutterDesktopViewControllerHandleTopLevelWindowProc(controller_, window, message, wparam,
                                                           lparam, &result)) {
    return result;
  }
  return std::nullopt;
}

void FlutterViewController::ForceRedraw() {
  if (controller_ != nullptr) FlutterDesktopViewControllerForceRedraw(controller_);
}

}  // namespace flutter
