// Throughput of the standard codec beside memcpy of the same bytes, measured
// in the same run: success envelopes carrying a 4 MiB string, a 4 MiB byte
// list and 1 MiB of doubles (131072 of them), and the per-message cost of a
// "start" call with a 2 KiB argument and of a VPN state event.
// Native, single-threaded; build without sanitizers for meaningful figures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "channels/standard_codec.h"

namespace {

using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::StandardMethodCodec;
using Clock = std::chrono::steady_clock;

volatile uint64_t sink;  // keeps results observable

// Times `work` and its memcpy baseline in alternating rounds, so that both
// see the same machine load; keeps the best (lowest) mean of each, in
// nanoseconds per call.
struct Timing {
  double work;
  double copy;
};

double TimeRound(int iterations, const std::function<void()>& work) {
  const auto start = Clock::now();
  for (int i = 0; i < iterations; ++i) work();
  const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
  return elapsed.count() / iterations;
}

Timing Measure(int iterations, size_t copy_bytes, const std::function<void()>& work) {
  std::vector<uint8_t> from(copy_bytes, 0x5A), to(copy_bytes, 0);
  const std::function<void()> copy = [&] {
    std::memcpy(to.data(), from.data(), copy_bytes);
    sink = sink + to[copy_bytes / 2];
  };
  work();  // warm up
  copy();
  Timing best{1e300, 1e300};
  for (int round = 0; round < 15; ++round) {
    best.copy = std::min(best.copy, TimeRound(iterations, copy));
    best.work = std::min(best.work, TimeRound(iterations, work));
  }
  return best;
}

// Remembers the size of what a response envelope delivered, without copying.
class SizeResult : public flutter::MethodResult {
 public:
  size_t size = 0;

 protected:
  void SuccessInternal(const EncodableValue* result) override {
    if (const auto* text = std::get_if<std::string>(result)) size = text->size();
    if (const auto* bytes = std::get_if<std::vector<uint8_t>>(result)) size = bytes->size();
    if (const auto* reals = std::get_if<std::vector<double>>(result)) size = reals->size();
  }
  void ErrorInternal(const std::string&, const std::string&, const EncodableValue*) override {}
  void NotImplementedInternal() override {}
};

double MegabytesPerSecond(size_t bytes, double nanoseconds) {
  return bytes / nanoseconds * 1e9 / (1024.0 * 1024.0);
}

void BenchLarge(const char* name, const EncodableValue& value, size_t payload_bytes) {
  const StandardMethodCodec& codec = StandardMethodCodec::GetInstance();
  const int iterations = 10;
  const Timing encode = Measure(iterations, payload_bytes, [&] {
    auto bytes = codec.EncodeSuccessEnvelope(&value);
    sink = sink + bytes->size();
  });
  const auto envelope = codec.EncodeSuccessEnvelope(&value);
  const Timing decode = Measure(iterations, payload_bytes, [&] {
    SizeResult result;
    codec.DecodeAndProcessResponseEnvelope(envelope->data(), envelope->size(), &result);
    sink = sink + result.size;
  });
  std::printf("%-24s encode %6.0f MiB/s vs memcpy %6.0f (%.2fx)   decode %6.0f MiB/s vs memcpy "
              "%6.0f (%.2fx)\n",
              name, MegabytesPerSecond(payload_bytes, encode.work),
              MegabytesPerSecond(payload_bytes, encode.copy), encode.copy / encode.work,
              MegabytesPerSecond(payload_bytes, decode.work),
              MegabytesPerSecond(payload_bytes, decode.copy), decode.copy / decode.work);
}

void BenchMessage(const char* name, const std::function<size_t()>& work, size_t bytes) {
  const Timing timing = Measure(20000, bytes, [&] { sink = sink + work(); });
  std::printf("%-44s %6.0f ns/message   memcpy of its %zu bytes %4.0f ns\n", name, timing.work,
              bytes, timing.copy);
}

}  // namespace

int main() {
  constexpr size_t kFourMiB = size_t{4} << 20;
  BenchLarge("4 MiB string", EncodableValue(std::string(kFourMiB, 'x')), kFourMiB);
  BenchLarge("4 MiB byte list", EncodableValue(std::vector<uint8_t>(kFourMiB, 0xA5)), kFourMiB);
  BenchLarge("1 MiB doubles (131072)",
             EncodableValue(std::vector<double>((size_t{1} << 20) / sizeof(double), 0.5)),
             size_t{1} << 20);

  const StandardMethodCodec& codec = StandardMethodCodec::GetInstance();
  flutter::MethodCall start("start",
                            std::make_unique<EncodableValue>(std::string(2048, 'c')));
  const auto start_bytes = codec.EncodeMethodCall(start);
  BenchMessage("decode \"start\" call, 2 KiB string argument",
               [&] {
                 auto call = codec.DecodeMethodCall(start_bytes->data(), start_bytes->size());
                 return call->method_name().size();
               },
               start_bytes->size());
  const EncodableValue event(EncodableMap{{EncodableValue("state"), EncodableValue("running")},
                                          {EncodableValue("message"), EncodableValue("")}});
  const auto event_bytes = codec.EncodeSuccessEnvelope(&event);
  BenchMessage("encode event {\"state\",\"message\"}",
               [&] { return codec.EncodeSuccessEnvelope(&event)->size(); }, event_bytes->size());
  BenchMessage("build and encode event {\"state\",\"message\"}",
               [&] {
                 EncodableValue built(
                     EncodableMap{{EncodableValue("state"), EncodableValue("running")},
                                  {EncodableValue("message"), EncodableValue("")}});
                 return codec.EncodeSuccessEnvelope(&built)->size();
               },
               event_bytes->size());
  return sink == 42 ? 1 : 0;
}
