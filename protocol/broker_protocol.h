// The messages between Tovix.exe and TovixService.exe on the service pipe.
// Both programs include this one definition. Each message is one message of a
// message-mode pipe: a standard-codec list of fixed shape. The client sends
// requests, each with an id of its choosing; the service answers each with a
// reply of the same id and kind, in any order. Plain code, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovix::broker {

// The configuration is at most 4 MiB; the rest of a message is small.
inline constexpr std::size_t kMaxMessageBytes = 4194304 + 65536;
// Lines a reply may carry, and the bytes of each text.
inline constexpr std::size_t kMaxLines = 256;
inline constexpr std::size_t kMaxLineBytes = 4096;

enum class Kind : std::int32_t {
  // First request of a connection. Reply: `flag` a rule left by an earlier
  // session was swept, `ok` a guard removed a rule since the last hello.
  Hello = 1,
  // `text` the configuration; `flag` set instead when the client withholds
  // it (over the limit, or its own folder not ready), which is refused after
  // the launch's checks. Reply: `ok`, `text` the failure message, `flag`
  // the failure ends the session log; on success `core`, `pid`, `process`
  // (wait and query rights) and `output` (the output pipe's read end), handle
  // values valid in the client.
  Launch = 2,
  // Resumes core `core` and hands it its configuration. Reply: `ok`, `text`.
  Resume = 3,
  // Terminates core `core`, with exit code 1 when `flag` is set (a launch
  // that gave up on it), else 0. Reply: `ok`.
  Terminate = 4,
  // Forgets core `core`: its job is closed, which ends it. Reply: `ok`.
  Release = 5,
  // Installs the DNS rule for core `core` once its tunnel has DNS servers.
  // Reply: `text` the status word, `ok` whether the status changed.
  ApplyDns = 6,
  // Removes the DNS rule; `text` the reason. Reply: `text` the status word.
  RemoveDns = 7,
  // The clean-up: a leftover rule and phantom adapters. Reply: `ok`.
  Cleanup = 8,
};

struct LogLine {
  std::string tag;
  std::string text;
  friend bool operator==(const LogLine&, const LogLine&) = default;
};

struct Message {
  std::int64_t id = 0;
  Kind kind = Kind::Hello;
  bool reply = false;
  bool ok = false;
  bool flag = false;
  std::uint64_t core = 0;
  std::uint32_t pid = 0;
  std::uint64_t process = 0;
  std::uint64_t output = 0;
  std::string text;
  // Session-log lines of the work done for this request, in order.
  std::vector<LogLine> lines;
  friend bool operator==(const Message&, const Message&) = default;
};

std::vector<std::uint8_t> EncodeMessage(const Message& message);
// Nothing for bytes that are not exactly one well-formed message within the
// bounds above.
std::optional<Message> DecodeMessage(const std::uint8_t* bytes, std::size_t size);

// The pipe of the installed service, and the prefix of a broker's own pipe
// (followed by the client's process id and a random token).
inline constexpr wchar_t kServicePipeName[] = L"\\\\.\\pipe\\Kelpmarrow.Tovix.Service";
inline constexpr wchar_t kBrokerPipePrefix[] = L"\\\\.\\pipe\\Kelpmarrow.Tovix.Broker.";
// TovixService.exe --broker <client pid> <token>
inline constexpr wchar_t kBrokerSwitch[] = L"--broker";

}  // namespace tovix::broker
