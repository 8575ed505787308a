// libFuzzer target: any bytes given to the response-envelope decoder. Decoding
// must neither crash nor allocate far beyond the input, and must deliver at
// most one answer, and only for a recognised envelope.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>

#include "channels/standard_codec.h"

namespace {

class CountingResult : public flutter::MethodResult {
 public:
  int answers = 0;

 protected:
  void SuccessInternal(const flutter::EncodableValue* result) override {
    ++answers;
    // Re-encode what arrived: the writer must cope with anything the reader built.
    flutter::StandardMethodCodec::GetInstance().EncodeSuccessEnvelope(result);
  }
  void ErrorInternal(const std::string& code, const std::string& message,
                     const flutter::EncodableValue* details) override {
    ++answers;
    flutter::StandardMethodCodec::GetInstance().EncodeErrorEnvelope(code, message, details);
  }
  void NotImplementedInternal() override { ++answers; }
};

}  // namespace

// The decoders write a line per bad read; silence them (the fuzzer's own
// reports and sanitizer reports do not go through std::cerr).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.rdbuf(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CountingResult result;
  const bool recognised =
      flutter::StandardMethodCodec::GetInstance().DecodeAndProcessResponseEnvelope(data, size,
                                                                                   &result);
  if (result.answers != (recognised ? 1 : 0)) std::abort();
  return 0;
}
