// libFuzzer target: any bytes given to the service pipe's decoder, as a
// hostile client would send them. Decoding must neither crash nor allocate
// far beyond the input; a decoded message must encode and decode to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>

#include "protocol/broker_protocol.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.rdbuf(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto message = tovix::broker::DecodeMessage(data, size);
  if (!message) return 0;
  const std::vector<uint8_t> encoded = tovix::broker::EncodeMessage(*message);
  const auto again = tovix::broker::DecodeMessage(encoded.data(), encoded.size());
  if (!again || !(*again == *message)) std::abort();
  return 0;
}
