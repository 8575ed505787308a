// libFuzzer target: any bytes given to the method-call decoder. Decoding must
// neither crash nor allocate far beyond the input; a decoded call must encode
// again and keep its name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>

#include "channels/standard_codec.h"

// The decoders write a line per bad read; silence them (the fuzzer's own
// reports and sanitizer reports do not go through std::cerr).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.rdbuf(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const flutter::StandardMethodCodec& codec = flutter::StandardMethodCodec::GetInstance();
  std::unique_ptr<flutter::MethodCall> call = codec.DecodeMethodCall(data, size);
  if (!call) return 0;
  std::unique_ptr<std::vector<uint8_t>> encoded = codec.EncodeMethodCall(*call);
  std::unique_ptr<flutter::MethodCall> again = codec.DecodeMethodCall(encoded->data(), encoded->size());
  if (!again || again->method_name() != call->method_name()) std::abort();
  return 0;
}
