// MethodResult: the answer to one incoming method call, given exactly once
// (success, error or not implemented), from any thread.
#pragma once

#include <string>

#include "channels/encodable_value.h"

namespace flutter {

class MethodResult {
 public:
  MethodResult() = default;
  virtual ~MethodResult();

  MethodResult(const MethodResult&) = delete;
  MethodResult& operator=(const MethodResult&) = delete;

  void Success(const EncodableValue& result);
  void Success();
  void Error(const std::string& error_code, const std::string& error_message,
             const EncodableValue& error_details);
  void Error(const std::string& error_code, const std::string& error_message = "");
  void NotImplemented();

 protected:
  // result is null for a success without a value.
  virtual void SuccessInternal(const EncodableValue* result) = 0;
  // error_details is null when there are none.
  virtual void ErrorInternal(const std::string& error_code, const std::string& error_message,
                             const EncodableValue* error_details) = 0;
  virtual void NotImplementedInternal() = 0;
};

}  // namespace flutter
