// Transcript rendering with the project's own codec.
#include "tools/transcript_render.h"

#include <cstdio>
#include <memory>

#include "channels/method_call.h"
#include "channels/method_result.h"
#include "channels/standard_codec.h"
#include "stand-ins/flutter_windows/session_hex.h"

namespace transcript {

namespace {

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", byte);
      out += escape;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

template <typename T>
std::string DescribeNumbers(const std::vector<T>& numbers) {
  std::string out = "[";
  for (size_t i = 0; i < numbers.size(); ++i) {
    if (i != 0) out += ", ";
    out += std::to_string(numbers[i]);
  }
  return out + "]";
}

class CapturingResult : public flutter::MethodResult {
 public:
  explicit CapturingResult(Reply* reply) : reply_(reply) {}

 protected:
  void SuccessInternal(const flutter::EncodableValue* result) override {
    reply_->kind = Reply::Kind::kSuccess;
    if (result != nullptr) reply_->value = *result;
  }
  void ErrorInternal(const std::string& code, const std::string& message,
                     const flutter::EncodableValue* details) override {
    reply_->kind = Reply::Kind::kError;
    reply_->code = code;
    reply_->message = message;
    if (details != nullptr) reply_->value = *details;
  }
  void NotImplementedInternal() override { reply_->kind = Reply::Kind::kEmpty; }

 private:
  Reply* reply_;
};

std::string DescribeReply(const Reply& reply) {
  switch (reply.kind) {
    case Reply::Kind::kEmpty:
      return "(empty: not implemented / no handler)";
    case Reply::Kind::kSuccess:
      return "success " + DescribeValue(reply.value);
    case Reply::Kind::kError:
      return "error " + Quote(reply.code) + " " + Quote(reply.message) +
             (reply.value.IsNull() ? "" : " details=" + DescribeValue(reply.value));
    case Reply::Kind::kUndecodable:
      break;
  }
  return "(undecodable)";
}

// A message the host sends: an event-channel envelope or a plain value.
std::string DescribeSend(const std::vector<uint8_t>& bytes) {
  Reply reply = DecodeReply(bytes);
  if (reply.kind == Reply::Kind::kSuccess) return "event " + DescribeValue(reply.value);
  if (reply.kind == Reply::Kind::kError) return "event " + DescribeReply(reply);
  auto call = flutter::StandardMethodCodec::GetInstance().DecodeMethodCall(bytes.data(), bytes.size());
  if (call) {
    return "call " + call->method_name() + "(" +
           (call->arguments() != nullptr ? DescribeValue(*call->arguments()) : "") + ")";
  }
  return bytes.empty() ? "(empty)" : "(undecodable)";
}

}  // namespace

std::optional<std::vector<uint8_t>> FromHex(std::string_view hex) { return session_hex::Parse(hex); }

std::string DescribeValue(const flutter::EncodableValue& value) {
  using flutter::EncodableList;
  using flutter::EncodableMap;
  if (value.IsNull()) return "null";
  if (const auto* b = std::get_if<bool>(&value)) return *b ? "true" : "false";
  if (const auto* i = std::get_if<int32_t>(&value)) return std::to_string(*i);
  if (const auto* l = std::get_if<int64_t>(&value)) return std::to_string(*l) + "L";
  if (const auto* d = std::get_if<double>(&value)) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.17g", *d);
    return text;
  }
  if (const auto* s = std::get_if<std::string>(&value)) return Quote(*s);
  if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&value)) {
    return "bytes(" + std::to_string(bytes->size()) + ")";
  }
  if (const auto* v = std::get_if<std::vector<int32_t>>(&value)) return DescribeNumbers(*v);
  if (const auto* v = std::get_if<std::vector<int64_t>>(&value)) return DescribeNumbers(*v);
  if (const auto* v = std::get_if<std::vector<double>>(&value)) return DescribeNumbers(*v);
  if (const auto* v = std::get_if<std::vector<float>>(&value)) return DescribeNumbers(*v);
  if (const auto* list = std::get_if<EncodableList>(&value)) {
    std::string out = "[";
    for (size_t i = 0; i < list->size(); ++i) {
      if (i != 0) out += ", ";
      out += DescribeValue((*list)[i]);
    }
    return out + "]";
  }
  if (const auto* map = std::get_if<EncodableMap>(&value)) {
    std::string out = "{";
    bool first = true;
    for (const auto& [key, item] : *map) {
      if (!first) out += ", ";
      first = false;
      out += DescribeValue(key) + ": " + DescribeValue(item);
    }
    return out + "}";
  }
  return "(custom)";
}

Reply DecodeReply(const std::vector<uint8_t>& bytes) {
  Reply reply;
  if (bytes.empty()) {
    reply.kind = Reply::Kind::kEmpty;
    return reply;
  }
  CapturingResult result(&reply);
  if (!flutter::StandardMethodCodec::GetInstance().DecodeAndProcessResponseEnvelope(bytes.data(), bytes.size(),
                                                                                    &result)) {
    reply = Reply{};
  }
  return reply;
}

std::string RenderLine(std::string_view line) {
  auto firstSpace = line.find(' ');
  if (firstSpace == std::string_view::npos) return std::string(line);
  std::string_view kind = line.substr(0, firstSpace);
  if (kind != "reply" && kind != "send") return std::string(line);
  std::string_view rest = line.substr(firstSpace + 1);
  auto secondSpace = rest.find(' ');
  std::string_view channel = rest.substr(0, secondSpace);
  std::string_view hex = secondSpace == std::string_view::npos ? std::string_view() : rest.substr(secondSpace + 1);
  std::optional<std::vector<uint8_t>> bytes = FromHex(hex);
  if (!bytes) return std::string(line) + "  (bad hex)";
  std::string head = std::string(kind) + " " + std::string(channel) + ": ";
  if (kind == "reply") return head + DescribeReply(DecodeReply(*bytes));
  return head + DescribeSend(*bytes);
}

}  // namespace transcript
