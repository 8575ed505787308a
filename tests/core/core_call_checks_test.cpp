// The argument checks of "noteStopCause" and "noteHealth", over every byte
// value and every value type the codec can carry. Portable.
#include "core/core_call_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;

EncodableValue StopCause(EncodableValue cause, EncodableValue action) {
  return EncodableValue(EncodableMap{{EncodableValue("cause"), std::move(cause)},
                                     {EncodableValue("action"), std::move(action)}});
}

std::vector<EncodableValue> OtherShapes() {
  return {EncodableValue(),
          EncodableValue(true),
          EncodableValue(false),
          EncodableValue(int32_t{3}),
          EncodableValue(int64_t{3}),
          EncodableValue(3.0),
          EncodableValue(std::vector<uint8_t>{'u'}),
          EncodableValue(std::vector<int32_t>{3}),
          EncodableValue(std::vector<int64_t>{3}),
          EncodableValue(std::vector<double>{3}),
          EncodableValue(std::vector<float>{3}),
          EncodableValue(EncodableList{EncodableValue("user"), EncodableValue(int32_t{3})})};
}

// The end-to-end cases (every cause, every argument shape) run through the
// channel in core_channels_test.cpp; here the corners of the map lookup.
TEST(StopCauseCheck, OnlyStringKeysAnd32BitActionsCount) {
  const auto accepted = StopCause(EncodableValue("user"), EncodableValue(int32_t{-2147483647 - 1}));
  EXPECT_EQ(StopCauseLogText(&accepted), "user action=-2147483648");
  EncodableMap extra{{EncodableValue("cause"), EncodableValue("recovery")},
                     {EncodableValue("action"), EncodableValue(int32_t{4})},
                     {EncodableValue("extra"), EncodableValue(true)}};
  const EncodableValue withExtra(extra);
  EXPECT_EQ(StopCauseLogText(&withExtra), "recovery action=4");

  const std::vector<EncodableValue> refused = {
      StopCause(EncodableValue("user"), EncodableValue(int64_t{1})),
      StopCause(EncodableValue(std::string("user\0", 5)), EncodableValue(int32_t{1})),
      StopCause(EncodableValue(std::vector<uint8_t>{'u', 's', 'e', 'r'}),
                EncodableValue(int32_t{1})),
      // A byte-list key "cause" is another key than the string "cause".
      EncodableValue(EncodableMap{
          {EncodableValue(std::vector<uint8_t>{'c', 'a', 'u', 's', 'e'}), EncodableValue("user")},
          {EncodableValue("action"), EncodableValue(int32_t{1})}}),
  };
  for (const auto& args : refused) EXPECT_FALSE(StopCauseLogText(&args).has_value());
  for (const auto& args : OtherShapes()) EXPECT_FALSE(StopCauseLogText(&args).has_value());
  EXPECT_FALSE(StopCauseLogText(nullptr).has_value());
}

TEST(HealthFilter, AllowsExactlyLettersDigitsAndTenMarks) {
  const std::string marks = " _=.:,()/-";
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const bool expected = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
                          (b >= '0' && b <= '9') || marks.find(c) != std::string::npos;
    EXPECT_EQ(PassesHealthFilter(std::string(1, c)), expected) << "byte " << b;
    // One bad byte anywhere refuses the whole text.
    EXPECT_EQ(PassesHealthFilter("ok " + std::string(1, c) + " ok"), expected) << "byte " << b;
  }
}

TEST(HealthFilter, LengthIsOneTo240Bytes) {
  EXPECT_FALSE(PassesHealthFilter(""));
  EXPECT_TRUE(PassesHealthFilter("a"));
  EXPECT_TRUE(PassesHealthFilter(std::string(240, 'x')));
  EXPECT_FALSE(PassesHealthFilter(std::string(241, 'x')));
  EXPECT_FALSE(PassesHealthFilter(std::string(100000, 'x')));
}

TEST(HealthFilter, OnlyAStringArgumentIsLogged) {
  const EncodableValue text("dns=ok tun=up");
  EXPECT_EQ(HealthLogText(&text), "dns=ok tun=up");
  const EncodableValue accented("caf\xc3\xa9");
  EXPECT_FALSE(HealthLogText(&accented).has_value());
  for (const auto& args : OtherShapes()) EXPECT_FALSE(HealthLogText(&args).has_value());
  const EncodableValue map(EncodableMap{{EncodableValue("text"), EncodableValue("ok")}});
  EXPECT_FALSE(HealthLogText(&map).has_value());
  EXPECT_FALSE(HealthLogText(nullptr).has_value());
}

}  // namespace
