// The standard codec: golden bytes, sizes and alignment, round trips, bad
// input and its diagnostics, method calls and response envelopes.
#include "channels/standard_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "channels/channel_test_support.h"
#include "support/allocation_watch.h"

namespace {

using channel_test::Bytes;
using channel_test::Codec;
using channel_test::Hex;
using channel_test::StringBytes;
using flutter::ByteBufferStreamReader;
using flutter::ByteBufferStreamWriter;
using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::StandardCodecSerializer;
using flutter::StandardMethodCodec;

const StandardCodecSerializer& Serializer() { return StandardCodecSerializer::GetInstance(); }

std::vector<uint8_t> Encode(const EncodableValue& value) {
  std::vector<uint8_t> bytes;
  ByteBufferStreamWriter writer(&bytes);
  Serializer().WriteValue(value, &writer);
  return bytes;
}

EncodableValue Decode(const std::vector<uint8_t>& bytes) {
  ByteBufferStreamReader reader(bytes.data(), bytes.size());
  return Serializer().ReadValue(&reader);
}

// Decodes and returns what was written to the standard error stream.
std::string DecodeCapturingStderr(const std::vector<uint8_t>& bytes, EncodableValue* value) {
  testing::internal::CaptureStderr();
  *value = Decode(bytes);
  return testing::internal::GetCapturedStderr();
}

const char kInvalidRead[] = "Invalid read in StandardCodecByteStreamReader\n";

// Remembers what a response envelope delivered.
class RecordingResult : public flutter::MethodResult {
 public:
  std::string kind;  // "success", "error", "not_implemented" or empty
  std::optional<EncodableValue> value;
  std::string code;
  std::string message;
  std::optional<EncodableValue> details;

 protected:
  void SuccessInternal(const EncodableValue* result) override {
    kind = "success";
    if (result) value = *result;
  }
  void ErrorInternal(const std::string& error_code, const std::string& error_message,
                     const EncodableValue* error_details) override {
    kind = "error";
    code = error_code;
    message = error_message;
    if (error_details) details = *error_details;
  }
  void NotImplementedInternal() override { kind = "not_implemented"; }
};

TEST(StandardCodecGoldenTest, SuccessEnvelopeWithStateMap) {
  EncodableValue state(EncodableMap{{EncodableValue("state"), EncodableValue("running")}});
  EXPECT_EQ(Hex(*Codec().EncodeSuccessEnvelope(&state)),
            "00 0D 01 07 05 73 74 61 74 65 07 07 72 75 6E 6E 69 6E 67");
  EXPECT_EQ(Hex(*Codec().EncodeSuccessEnvelope()), "00 00");
}

TEST(StandardCodecGoldenTest, ErrorEnvelopeWithMessageAndNoDetails) {
  std::vector<uint8_t> expected = Bytes("01 07 05 65 72 72 6F 72 07 1A");
  const std::vector<uint8_t> message = StringBytes("No active stream to cancel");
  expected.insert(expected.end(), message.begin(), message.end());
  expected.push_back(0x00);
  EXPECT_EQ(Hex(*Codec().EncodeErrorEnvelope("error", "No active stream to cancel")), Hex(expected));
}

TEST(StandardCodecGoldenTest, ErrorEnvelopeWithEmptyMessageCarriesNull) {
  EncodableValue details(int32_t{7});
  EXPECT_EQ(Hex(*Codec().EncodeErrorEnvelope("bad", "", &details)),
            "01 07 03 62 61 64 00 03 07 00 00 00");
}

TEST(StandardCodecGoldenTest, DoubleIsPaddedToEightFromMessageStart) {
  EncodableValue one(1.0);
  EXPECT_EQ(Hex(*Codec().EncodeSuccessEnvelope(&one)),
            "00 06 00 00 00 00 00 00 00 00 00 00 00 00 F0 3F");
  // Already aligned: no padding.
  std::vector<uint8_t> bytes(7, 0xAA);
  ByteBufferStreamWriter writer(&bytes);
  Serializer().WriteValue(EncodableValue(-2.0), &writer);
  EXPECT_EQ(Hex(bytes), "AA AA AA AA AA AA AA 06 00 00 00 00 00 00 00 C0");
}

TEST(StandardCodecGoldenTest, SizePrefixes) {
  struct Case {
    size_t size;
    const char* prefix;
  } cases[] = {{0, "07 00"},
               {253, "07 FD"},
               {254, "07 FE FE 00"},
               {300, "07 FE 2C 01"},
               {65535, "07 FE FF FF"},
               {65536, "07 FF 00 00 01 00"}};
  for (const Case& c : cases) {
    const std::string text(c.size, 'x');
    const std::vector<uint8_t> encoded = Encode(EncodableValue(text));
    const std::vector<uint8_t> prefix = Bytes(c.prefix);
    ASSERT_EQ(encoded.size(), prefix.size() + c.size) << c.size;
    EXPECT_EQ(Hex(std::vector<uint8_t>(encoded.begin(), encoded.begin() + prefix.size())),
              Hex(prefix))
        << c.size;
    EXPECT_EQ(Decode(encoded), EncodableValue(text)) << c.size;
  }
}

TEST(StandardCodecGoldenTest, ScalarsAndMapKeyOrder) {
  EXPECT_EQ(Hex(Encode(EncodableValue())), "00");
  EXPECT_EQ(Hex(Encode(EncodableValue(true))), "01");
  EXPECT_EQ(Hex(Encode(EncodableValue(false))), "02");
  EXPECT_EQ(Hex(Encode(EncodableValue(int32_t{-2}))), "03 FE FF FF FF");
  EXPECT_EQ(Hex(Encode(EncodableValue(int64_t{0x0102030405060708}))),
            "04 08 07 06 05 04 03 02 01");
  EncodableMap map;
  map[EncodableValue(int32_t{2})] = EncodableValue();
  map[EncodableValue("a")] = EncodableValue();
  map[EncodableValue(true)] = EncodableValue();
  EXPECT_EQ(Hex(Encode(EncodableValue(map))), "0D 03 01 00 03 02 00 00 00 00 07 01 61 00");
  EXPECT_EQ(Hex(Encode(EncodableValue(EncodableList{EncodableValue("a"), EncodableValue()}))),
            "0C 02 07 01 61 00");
}

TEST(StandardCodecGoldenTest, CustomValueIsWrittenAsNullWithDiagnostic) {
  testing::internal::CaptureStderr();
  const auto bytes = Encode(EncodableValue(flutter::CustomEncodableValue(std::any(42))));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Unhandled custom type in StandardCodecSerializer::WriteValue. Custom types require "
            "codec extensions.\n");
  EXPECT_EQ(Hex(bytes), "00");
}

// Typed lists at every offset: non-empty lists are padded to their element
// width from the start of the message; empty ones are not padded on writing,
// but the reader still skips to the alignment.
TEST(StandardCodecAlignmentTest, TypedListsAtEveryOffset) {
  struct Kind {
    EncodableValue empty;
    EncodableValue filled;
    size_t width;
  };
  const Kind kinds[] = {
      {EncodableValue(std::vector<uint8_t>{}), EncodableValue(std::vector<uint8_t>{1, 0xFF}), 1},
      {EncodableValue(std::vector<int32_t>{}), EncodableValue(std::vector<int32_t>{-1, 2}), 4},
      {EncodableValue(std::vector<float>{}), EncodableValue(std::vector<float>{1.5f, -0.25f}), 4},
      {EncodableValue(std::vector<int64_t>{}),
       EncodableValue(std::vector<int64_t>{-1, int64_t{1} << 40}), 8},
      {EncodableValue(std::vector<double>{}), EncodableValue(std::vector<double>{0.5, -1e300}), 8},
  };
  for (const Kind& kind : kinds) {
    for (size_t offset = 0; offset < 8; ++offset) {
      SCOPED_TRACE("width " + std::to_string(kind.width) + " offset " + std::to_string(offset));
      // Non-empty: tag, size, padding to the width, then the raw elements.
      std::vector<uint8_t> bytes(offset, 0xAA);
      ByteBufferStreamWriter writer(&bytes);
      Serializer().WriteValue(kind.filled, &writer);
      size_t payload = offset + 2;
      if (payload % kind.width != 0) payload += kind.width - payload % kind.width;
      ASSERT_EQ(bytes.size(), payload + 2 * kind.width);
      for (size_t i = offset + 2; i < payload; ++i) EXPECT_EQ(bytes[i], 0) << i;
      ByteBufferStreamReader reader(bytes.data(), bytes.size());
      for (size_t i = 0; i < offset; ++i) reader.ReadByte();
      EXPECT_EQ(Serializer().ReadValue(&reader), kind.filled);
      EXPECT_EQ(reader.position(), bytes.size());

      // Empty: tag and size only; the reader then sits at the alignment.
      std::vector<uint8_t> empty(offset, 0xAA);
      ByteBufferStreamWriter empty_writer(&empty);
      Serializer().WriteValue(kind.empty, &empty_writer);
      ASSERT_EQ(empty.size(), offset + 2);
      EXPECT_EQ(empty[offset + 1], 0);
      empty.resize(offset + 16, 0);
      ByteBufferStreamReader empty_reader(empty.data(), empty.size());
      for (size_t i = 0; i < offset; ++i) empty_reader.ReadByte();
      EXPECT_EQ(Serializer().ReadValue(&empty_reader), kind.empty);
      size_t aligned = offset + 2;
      if (kind.width > 1 && aligned % kind.width != 0) aligned += kind.width - aligned % kind.width;
      EXPECT_EQ(empty_reader.position(), aligned);
    }
  }
}

TEST(StandardCodecRoundTripTest, EveryAlternative) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<EncodableValue> values = {
      EncodableValue(),
      EncodableValue(true),
      EncodableValue(false),
      EncodableValue(std::numeric_limits<int32_t>::min()),
      EncodableValue(std::numeric_limits<int64_t>::max()),
      EncodableValue(-0.0),
      EncodableValue(std::numeric_limits<double>::infinity()),
      EncodableValue(""),
      EncodableValue("h\xC3\xA9llo\n\0x"),
      EncodableValue(std::string(70000, 'q')),
      EncodableValue(std::vector<uint8_t>{0, 1, 254, 255}),
      EncodableValue(std::vector<int32_t>{std::numeric_limits<int32_t>::min(), 0, 1}),
      EncodableValue(std::vector<int64_t>{std::numeric_limits<int64_t>::min(), 3}),
      EncodableValue(std::vector<double>{1.0, -2.5, 1e-300}),
      EncodableValue(std::vector<float>{1.0f, -2.5f}),
      EncodableValue(EncodableList{}),
      EncodableValue(EncodableList{EncodableValue(int32_t{1}), EncodableValue("two"),
                                   EncodableValue(EncodableList{EncodableValue(3.0)})}),
      EncodableValue(EncodableMap{}),
      EncodableValue(EncodableMap{
          {EncodableValue("state"), EncodableValue("running")},
          {EncodableValue(int64_t{5}), EncodableValue(std::vector<int32_t>{7})},
          {EncodableValue(EncodableList{EncodableValue(true)}), EncodableValue(EncodableMap{})}}),
  };
  // One by one, then all of them in one list (every offset differs there).
  for (const EncodableValue& value : values) {
    EXPECT_EQ(Decode(Encode(value)), value) << Hex(Encode(value)).substr(0, 60);
  }
  EncodableList all(values.begin(), values.end());
  EXPECT_EQ(Decode(Encode(EncodableValue(all))), EncodableValue(all));

  EncodableValue decoded_nan = Decode(Encode(EncodableValue(nan)));
  ASSERT_TRUE(std::holds_alternative<double>(decoded_nan));
  EXPECT_TRUE(std::isnan(std::get<double>(decoded_nan)));
}

// A reader that cannot lend its bytes: strings and byte lists are read into
// a zeroed buffer instead.
class CopyingReader : public ByteBufferStreamReader {
 public:
  using ByteBufferStreamReader::ByteBufferStreamReader;
  const uint8_t* BorrowBytes(size_t) override { return nullptr; }
};

TEST(StandardCodecRoundTripTest, ReadersThatCannotLendBytes) {
  const EncodableValue value(EncodableList{
      EncodableValue(std::string(300, 's')), EncodableValue(std::vector<uint8_t>{9, 8, 7}),
      EncodableValue(std::vector<double>{2.5}), EncodableValue("")});
  const std::vector<uint8_t> bytes = Encode(value);
  CopyingReader reader(bytes.data(), bytes.size());
  EXPECT_EQ(Serializer().ReadValue(&reader), value);
  EXPECT_EQ(reader.position(), bytes.size());
  EncodableValue cut;
  const std::vector<uint8_t> short_string = Bytes("07 03 61 62");
  CopyingReader short_reader(short_string.data(), short_string.size());
  testing::internal::CaptureStderr();
  cut = Serializer().ReadValue(&short_reader);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kInvalidRead);
  EXPECT_EQ(cut, EncodableValue(""));
}

TEST(StandardCodecReadTest, RepeatedMapKeyKeepsTheFirstEntry) {
  const EncodableValue map = Decode(Bytes("0D 03 07 01 61 03 01 00 00 00 07 01 61 03 02 00 00 00 "
                                          "01 00"));
  EXPECT_EQ(map, EncodableValue(EncodableMap{{EncodableValue("a"), EncodableValue(int32_t{1})},
                                             {EncodableValue(true), EncodableValue()}}));
}

TEST(StandardCodecReadTest, TagFiveReadsAsString) {
  EXPECT_EQ(Decode(Bytes("05 03 31 32 33")), EncodableValue("123"));
}

TEST(StandardCodecReadTest, UnknownTagsReadAsNullWithDiagnostic) {
  for (int tag = 15; tag <= 255; ++tag) {
    EncodableValue value(true);
    const std::string diagnostic =
        DecodeCapturingStderr({static_cast<uint8_t>(tag), 0x01, 0x02}, &value);
    EXPECT_EQ(diagnostic, "Unknown type in StandardCodecSerializer::ReadValueOfType: " +
                              std::to_string(tag) + "\n");
    EXPECT_TRUE(value.IsNull()) << tag;
  }
}

TEST(StandardCodecReadTest, ReadsPastTheEndYieldZeroesWithDiagnostic) {
  EncodableValue value;
  EXPECT_EQ(DecodeCapturingStderr({}, &value), kInvalidRead);
  EXPECT_TRUE(value.IsNull());

  EXPECT_EQ(DecodeCapturingStderr(Bytes("03 01 02"), &value), kInvalidRead);
  EXPECT_EQ(value, EncodableValue(int32_t{0}));

  EXPECT_EQ(DecodeCapturingStderr(Bytes("04 01 02 03 04 05 06 07"), &value), kInvalidRead);
  EXPECT_EQ(value, EncodableValue(int64_t{0}));

  // The alignment skip runs past the end; the read after it reports.
  EXPECT_EQ(DecodeCapturingStderr(Bytes("06"), &value), kInvalidRead);
  EXPECT_EQ(value, EncodableValue(0.0));

  // A 16-bit size prefix cut short reads as size 0.
  EXPECT_EQ(DecodeCapturingStderr(Bytes("07 FE 05"), &value), kInvalidRead);
  EXPECT_EQ(value, EncodableValue(""));

  // A cut number reads as 0 and leaves the position where it was, so the
  // next element starts on the byte the failed read did not take.
  EXPECT_EQ(DecodeCapturingStderr(Bytes("0C 02 03 01"), &value), kInvalidRead);
  EXPECT_EQ(value, EncodableValue(EncodableList{EncodableValue(int32_t{0}), EncodableValue(true)}));
}

// A size larger than what is left is refused before anything is allocated for
// it: the value comes out empty, and decoding goes on.
TEST(StandardCodecReadTest, OversizedSizesAreRefusedBeforeAllocation) {
  const char* messages[] = {
      "07 05 61 62",           // string of 5 with 2 bytes left
      "07 FF FF FF FF FF",     // string of 4 GiB
      "08 FF 00 00 00 40",     // byte list of 1 GiB
      "09 FF FF FF FF 0F",     // 32-bit list, 1 Gi elements
      "0A FE FF FF",           // 64-bit list of 65535 elements
      "0B FF FF FF FF 7F",     // double list
      "0E 02 00 00 00 00 00",  // float list of 2 with 4 bytes left after alignment
      "0C FF FF FF FF FF",     // list of 4 Gi elements
      "0D 03 00 00 00 00 00",  // map of 3 entries with 5 bytes left
  };
  const EncodableValue expected[] = {
      EncodableValue(""),
      EncodableValue(""),
      EncodableValue(std::vector<uint8_t>{}),
      EncodableValue(std::vector<int32_t>{}),
      EncodableValue(std::vector<int64_t>{}),
      EncodableValue(std::vector<double>{}),
      EncodableValue(std::vector<float>{}),
      EncodableValue(EncodableList{}),
      EncodableValue(EncodableMap{}),
  };
  for (size_t i = 0; i < std::size(messages); ++i) {
    EncodableValue value;
    EXPECT_EQ(DecodeCapturingStderr(Bytes(messages[i]), &value), kInvalidRead) << messages[i];
    EXPECT_EQ(value, expected[i]) << messages[i];
  }
  // Exactly the bytes left is accepted.
  EXPECT_EQ(Decode(Bytes("0D 02 00 00 01 02")),
            EncodableValue(EncodableMap{{EncodableValue(), EncodableValue()},
                                        {EncodableValue(true), EncodableValue(false)}}));
}

// Elements missing at the end of the message are not made up: the list or
// map ends where the message ends, with one diagnostic line, however many
// containers claimed more.
TEST(StandardCodecReadTest, ContainersEndWhereTheMessageEnds) {
  EncodableValue value;
  EXPECT_EQ(DecodeCapturingStderr(Bytes("0C 03 0C 02 01 01"), &value), kInvalidRead);
  EXPECT_EQ(value, EncodableValue(EncodableList{
                       EncodableValue(EncodableList{EncodableValue(true), EncodableValue(true)})}));
  EXPECT_EQ(DecodeCapturingStderr(Bytes("0D 02 01 07 02 61 62"), &value), kInvalidRead);
  EXPECT_EQ(value, EncodableValue(EncodableMap{{EncodableValue(true), EncodableValue("ab")}}));

  // 200 nested lists, each claiming as many elements as there are bytes
  // left: a few lines, not one per claimed element.
  std::vector<uint8_t> message;
  const size_t levels = 200;
  const size_t total = levels * 4 + 1;
  for (size_t i = 0; i < levels; ++i) {
    const size_t remaining = total - message.size() - 4;
    message.insert(message.end(), {0x0C, 0xFE, static_cast<uint8_t>(remaining & 0xFF),
                                   static_cast<uint8_t>(remaining >> 8)});
  }
  message.push_back(0x01);
  testing::internal::CaptureStderr();
  value = Decode(message);
  const std::string diagnostics = testing::internal::GetCapturedStderr();
  size_t lines = 0;
  for (char c : diagnostics) lines += c == '\n';
  EXPECT_LE(lines, levels);
  EXPECT_TRUE(std::holds_alternative<EncodableList>(value));
}

TEST(StandardCodecReadTest, NestingIsBounded) {
  const int limit = StandardCodecSerializer::kMaxNestingDepth;
  // Nested exactly to the limit: read in full.
  std::vector<uint8_t> at_limit;
  for (int i = 0; i < limit; ++i) at_limit.insert(at_limit.end(), {0x0C, 0x01});
  at_limit.push_back(0x01);
  EncodableValue value = Decode(at_limit);
  const EncodableValue* level = &value;
  for (int i = 0; i < limit; ++i) {
    const auto* list = std::get_if<EncodableList>(level);
    ASSERT_NE(list, nullptr) << i;
    ASSERT_EQ(list->size(), 1u);
    level = &(*list)[0];
  }
  EXPECT_EQ(*level, EncodableValue(true));

  // Far deeper (maps and lists): no stack exhaustion; the level past the
  // limit reads as null with a diagnostic.
  std::vector<uint8_t> deep;
  for (int i = 0; i < 100000; ++i) {
    if (i % 2) {
      deep.insert(deep.end(), {0x0C, 0x01});
    } else {
      deep.insert(deep.end(), {0x0D, 0x01, 0x00});
    }
  }
  testing::internal::CaptureStderr();
  value = Decode(deep);
  const std::string diagnostics = testing::internal::GetCapturedStderr();
  EXPECT_NE(diagnostics.find("Nesting too deep in StandardCodecSerializer::ReadValueOfType"),
            std::string::npos);
  EXPECT_TRUE(std::holds_alternative<EncodableMap>(value));
}

// 200 nested lists, each announcing as many elements as the message has bytes
// left, around a 1 MiB string: room for one decoded value per byte, twice
// over, is enough.
TEST(StandardCodecReadTest, NestedAnnouncementsReserveNoMoreThanTheMessageHolds) {
  const size_t levels = 200, total = levels * 6 + 6 + (1 << 20);
  std::vector<uint8_t> message;
  for (size_t i = 0; i < levels; ++i) {
    const auto left = static_cast<uint32_t>(total - message.size() - 6);
    message.insert(message.end(), {0x0C, 0xFF});
    for (int shift = 0; shift < 32; shift += 8) {
      message.push_back(static_cast<uint8_t>(left >> shift));
    }
  }
  message.insert(message.end(), {0x07, 0xFF, 0x00, 0x00, 0x10, 0x00});
  message.resize(total, 'x');
  allocation_watch::SetCap(2 * sizeof(EncodableValue) * total);
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(Decode(message));
  allocation_watch::SetCap(0);
  testing::internal::GetCapturedStderr();
}

TEST(StandardMethodCodecTest, DecodesMethodCalls) {
  const auto call = Codec().DecodeMethodCall(
      Bytes("07 05 73 74 61 72 74 07 02 7B 7D FF FF").data(), 13);  // trailing bytes ignored
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->method_name(), "start");
  ASSERT_NE(call->arguments(), nullptr);
  EXPECT_EQ(*call->arguments(), EncodableValue("{}"));

  // No arguments in the message: a null argument value.
  const std::vector<uint8_t> bare = Bytes("07 06 73 74 61 74 75 73");
  testing::internal::CaptureStderr();  // the missing argument is a read past the end
  const auto status = Codec().DecodeMethodCall(bare.data(), bare.size());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kInvalidRead);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->method_name(), "status");
  ASSERT_NE(status->arguments(), nullptr);
  EXPECT_TRUE(status->arguments()->IsNull());
}

TEST(StandardMethodCodecTest, RejectsCallsWithoutAStringName) {
  const char* messages[] = {"03 01 00 00 00 00", "00", "0C 01 07 01 61"};
  for (const char* message : messages) {
    const auto bytes = Bytes(message);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Codec().DecodeMethodCall(bytes.data(), bytes.size()), nullptr) << message;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Invalid method call; method name is not a string.\n");
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(Codec().DecodeMethodCall(nullptr, 0), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string(kInvalidRead) + "Invalid method call; method name is not a string.\n");
}

TEST(StandardMethodCodecTest, EncodesMethodCalls) {
  flutter::MethodCall with(
      "listen", std::make_unique<EncodableValue>(EncodableList{EncodableValue(int32_t{1})}));
  EXPECT_EQ(Hex(*Codec().EncodeMethodCall(with)),
            "07 06 6C 69 73 74 65 6E 0C 01 03 01 00 00 00");
  flutter::MethodCall without("cancel", nullptr);
  const auto encoded = *Codec().EncodeMethodCall(without);
  EXPECT_EQ(Hex(encoded), "07 06 63 61 6E 63 65 6C 00");
  const auto decoded = Codec().DecodeMethodCall(encoded.data(), encoded.size());
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(decoded->method_name(), "cancel");
}

TEST(StandardMethodCodecTest, DecodesBothKindsOfResponseEnvelope) {
  EncodableValue payload(EncodableList{EncodableValue("x")});
  auto success = *Codec().EncodeSuccessEnvelope(&payload);
  RecordingResult with_value;
  EXPECT_TRUE(Codec().DecodeAndProcessResponseEnvelope(success.data(), success.size(),
                                                       &with_value));
  EXPECT_EQ(with_value.kind, "success");
  EXPECT_EQ(with_value.value, payload);

  auto empty_success = Bytes("00 00");
  RecordingResult without_value;
  EXPECT_TRUE(Codec().DecodeAndProcessResponseEnvelope(empty_success.data(), empty_success.size(),
                                                       &without_value));
  EXPECT_EQ(without_value.kind, "success");
  EXPECT_FALSE(without_value.value.has_value());

  EncodableValue details(int32_t{3});
  auto error = *Codec().EncodeErrorEnvelope("start_failed", "", &details);
  RecordingResult error_result;
  EXPECT_TRUE(
      Codec().DecodeAndProcessResponseEnvelope(error.data(), error.size(), &error_result));
  EXPECT_EQ(error_result.kind, "error");
  EXPECT_EQ(error_result.code, "start_failed");
  EXPECT_EQ(error_result.message, "");
  EXPECT_EQ(error_result.details, details);

  auto plain_error = *Codec().EncodeErrorEnvelope("error", "No active stream to cancel");
  RecordingResult plain;
  EXPECT_TRUE(
      Codec().DecodeAndProcessResponseEnvelope(plain_error.data(), plain_error.size(), &plain));
  EXPECT_EQ(plain.message, "No active stream to cancel");
  EXPECT_FALSE(plain.details.has_value());

  // Not an envelope: the result is left alone.
  for (const char* bad : {"02 00", "FF"}) {
    auto bytes = Bytes(bad);
    RecordingResult untouched;
    EXPECT_FALSE(Codec().DecodeAndProcessResponseEnvelope(bytes.data(), bytes.size(), &untouched));
    EXPECT_EQ(untouched.kind, "");
  }
  // An empty response is "not implemented", never a success.
  RecordingResult empty;
  EXPECT_FALSE(Codec().DecodeAndProcessResponseEnvelope(nullptr, 0, &empty));
  EXPECT_EQ(empty.kind, "");
  // An error envelope whose code is not a string is refused with a line.
  auto bad_code = Bytes("01 03 01 00 00 00 00 00");
  RecordingResult refused;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(Codec().DecodeAndProcessResponseEnvelope(bad_code.data(), bad_code.size(), &refused));
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(refused.kind, "");
}

// A serializer with an extension of its own gets a codec of its own.
class ExtendedSerializer : public StandardCodecSerializer {
 public:
  ExtendedSerializer() = default;
};

TEST(StandardMethodCodecTest, OneCodecPerSerializer) {
  const StandardMethodCodec& standard = StandardMethodCodec::GetInstance();
  EXPECT_EQ(&standard, &StandardMethodCodec::GetInstance(nullptr));
  EXPECT_EQ(&standard, &StandardMethodCodec::GetInstance(&StandardCodecSerializer::GetInstance()));
  EXPECT_EQ(&StandardCodecSerializer::GetInstance(), &StandardCodecSerializer::GetInstance());
  static const ExtendedSerializer extended;
  const StandardMethodCodec& other = StandardMethodCodec::GetInstance(&extended);
  EXPECT_NE(&other, &standard);
  EXPECT_EQ(&other, &StandardMethodCodec::GetInstance(&extended));
}

}  // namespace
