#include "protocol/broker_protocol.h"

#include <gtest/gtest.h>

#include <functional>

#include "channels/byte_streams.h"
#include "channels/secure_wipe.h"
#include "channels/encodable_value.h"
#include "channels/standard_codec.h"
#include "support/allocation_watch.h"

using flutter::EncodableList;
using flutter::EncodableValue;
using tovix::broker::DecodeMessage;
using tovix::broker::EncodeMessage;
using tovix::broker::Kind;
using tovix::broker::Message;

namespace {

std::vector<uint8_t> Bytes(const EncodableValue& value) {
  std::vector<uint8_t> bytes;
  flutter::ByteBufferStreamWriter writer(&bytes);
  flutter::StandardCodecSerializer::GetInstance().WriteValue(value, &writer);
  return bytes;
}

// A well-formed request, as a list whose fields a case then spoils.
EncodableList Fields() {
  return EncodableList{EncodableValue(int64_t{7}), EncodableValue(int32_t{2}), EncodableValue(false),
                       EncodableValue(false), EncodableValue(false), EncodableValue(int64_t{0}),
                       EncodableValue(int64_t{0}), EncodableValue(int64_t{0}),
                       EncodableValue(int64_t{0}), EncodableValue("{}"),
                       EncodableValue(EncodableList{})};
}

}  // namespace

TEST(BrokerProtocol, RoundTripKeepsEveryField) {
  Message message;
  message.id = 1LL << 40;
  message.kind = Kind::Launch;
  message.reply = true;
  message.ok = true;
  message.core = 3;
  message.pid = 0xFFFFFFFFu;
  message.process = 0x1234;
  message.output = 0x5678;
  message.text = std::string("conf\0ig", 7);
  message.lines = {{"[boot]", "singbox=C:\\x"}, {"[tun_sweep]", ""}};
  const std::vector<uint8_t> bytes = EncodeMessage(message);
  const auto decoded = DecodeMessage(bytes.data(), bytes.size());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, message);
  EXPECT_TRUE(DecodeMessage(Bytes(EncodableValue(Fields())).data(),
                            Bytes(EncodableValue(Fields())).size()));
}

TEST(BrokerProtocol, RefusesEveryMalformedShape) {
  const std::vector<std::pair<const char*, std::function<void(EncodableList&)>>> spoilers = {
      {"missing field", [](EncodableList& f) { f.pop_back(); }},
      {"extra field", [](EncodableList& f) { f.emplace_back(1); }},
      {"id not a number", [](EncodableList& f) { f[0] = EncodableValue("7"); }},
      {"kind below range", [](EncodableList& f) { f[1] = EncodableValue(int32_t{0}); }},
      {"kind above range", [](EncodableList& f) { f[1] = EncodableValue(int32_t{9}); }},
      {"flag not a bool", [](EncodableList& f) { f[2] = EncodableValue(int32_t{1}); }},
      {"negative core", [](EncodableList& f) { f[5] = EncodableValue(int64_t{-1}); }},
      {"pid beyond 32 bits", [](EncodableList& f) { f[6] = EncodableValue(int64_t{1} << 32); }},
      {"negative handle", [](EncodableList& f) { f[7] = EncodableValue(int64_t{-5}); }},
      {"text not a string", [](EncodableList& f) { f[9] = EncodableValue(std::vector<uint8_t>{}); }},
      {"lines not a list", [](EncodableList& f) { f[10] = EncodableValue("x"); }},
      {"odd line list", [](EncodableList& f) { f[10] = EncodableValue(EncodableList{"t"}); }},
      {"line not text", [](EncodableList& f) { f[10] = EncodableValue(EncodableList{"t", 1}); }},
      {"line too long",
       [](EncodableList& f) {
         f[10] = EncodableValue(EncodableList{"t", EncodableValue(std::string(4097, 'x'))});
       }},
      {"too many lines",
       [](EncodableList& f) { f[10] = EncodableValue(EncodableList(2 * 257, EncodableValue(""))); }},
  };
  for (const auto& [name, spoil] : spoilers) {
    EncodableList fields = Fields();
    spoil(fields);
    const std::vector<uint8_t> bytes = Bytes(EncodableValue(fields));
    EXPECT_FALSE(DecodeMessage(bytes.data(), bytes.size())) << name;
  }
  std::vector<uint8_t> bytes = Bytes(EncodableValue(Fields()));
  bytes.push_back(0);
  EXPECT_FALSE(DecodeMessage(bytes.data(), bytes.size())) << "trailing byte";
  bytes.resize(bytes.size() - 3);
  EXPECT_FALSE(DecodeMessage(bytes.data(), bytes.size())) << "cut short";
  EXPECT_FALSE(DecodeMessage(bytes.data(), 0)) << "empty";
  const std::vector<uint8_t> map = Bytes(EncodableValue(flutter::EncodableMap{}));
  EXPECT_FALSE(DecodeMessage(map.data(), map.size())) << "not a list";
}

// The configuration crosses in both directions' temporaries: none is freed
// holding it (the caller's own message and bytes are the caller's to wipe).
TEST(BrokerProtocol, FreesNoCopyOfTheConfigurationUnwiped) {
  Message launch;
  launch.kind = Kind::Launch;
  launch.text = std::string(300, 'c') + "{\"private_key\":\"k7Q2-secret-of-the-user\"}";
  launch.lines.push_back({"boot", "line"});
  allocation_watch::SeekInFreed("k7Q2-secret-of-the-user");
  std::vector<uint8_t> bytes = EncodeMessage(launch);
  std::optional<Message> decoded = DecodeMessage(bytes.data(), bytes.size());
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->text, launch.text);
  flutter::WipeBytes(bytes);
  flutter::WipeString(decoded->text);
  flutter::WipeString(launch.text);
  EXPECT_EQ(allocation_watch::FreedHolding(), 0u);
  allocation_watch::SeekInFreed({});
}
