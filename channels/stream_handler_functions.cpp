// StreamHandler built from two callables; a missing callable answers with an
// error. Platform thread.
#include "channels/stream_handler_functions.h"

#include <utility>

namespace flutter {

StreamHandler::~StreamHandler() = default;

StreamHandlerFunctions::StreamHandlerFunctions(StreamHandlerListen on_listen,
                                               StreamHandlerCancel on_cancel)
    : on_listen_(std::move(on_listen)), on_cancel_(std::move(on_cancel)) {}

StreamHandlerFunctions::~StreamHandlerFunctions() = default;

std::unique_ptr<StreamHandlerError> StreamHandlerFunctions::OnListenInternal(
    const EncodableValue* arguments, std::unique_ptr<EventSink>&& events) {
  if (on_listen_) return on_listen_(arguments, std::move(events));
  return std::make_unique<StreamHandlerError>("error", "No OnListen handler set", nullptr);
}

std::unique_ptr<StreamHandlerError> StreamHandlerFunctions::OnCancelInternal(
    const EncodableValue* arguments) {
  if (on_cancel_) return on_cancel_(arguments);
  return std::make_unique<StreamHandlerError>("error", "No OnCancel handler set", nullptr);
}

}  // namespace flutter
