// MethodResult's public operations, forwarding to the implementation. Any
// thread.
#include "channels/method_result.h"

namespace flutter {

MethodResult::~MethodResult() = default;

void MethodResult::Success(const EncodableValue& result) { SuccessInternal(&result); }

void MethodResult::Success() { SuccessInternal(nullptr); }

void MethodResult::Error(const std::string& error_code, const std::string& error_message,
                         const EncodableValue& error_details) {
  ErrorInternal(error_code, error_message, &error_details);
}

void MethodResult::Error(const std::string& error_code, const std::string& error_message) {
  ErrorInternal(error_code, error_message, nullptr);
}

void MethodResult::NotImplemented() { NotImplementedInternal(); }

}  // namespace flutter
