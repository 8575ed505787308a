// MethodCall: one method invocation on a method channel, its name and its
// optional arguments (owned). Plain data; usable on any thread.
#pragma once

#include <memory>
#include <string>

#include "channels/encodable_value.h"
#include "channels/secure_wipe.h"

namespace flutter {

class MethodCall {
 public:
  MethodCall(std::string method_name, std::unique_ptr<EncodableValue> arguments)
      : method_name_(std::move(method_name)), arguments_(std::move(arguments)) {}

  MethodCall(const MethodCall&) = delete;
  MethodCall& operator=(const MethodCall&) = delete;

  const std::string& method_name() const { return method_name_; }
  // Null when the call has no arguments. A decoded call always has some.
  const EncodableValue* arguments() const { return arguments_.get(); }

  // Overwrites the arguments' strings and bytes once the call is handled:
  // they may carry the user's secrets.
  void WipeArguments() {
    if (arguments_) WipeEncodableValue(*arguments_);
  }

 private:
  std::string method_name_;
  std::unique_ptr<EncodableValue> arguments_;
};

}  // namespace flutter
