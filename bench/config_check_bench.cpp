// The configuration check on a 4 MiB client configuration beside a plain
// RFC 8259 scan of the same bytes, measured in the same run: the plain scan
// reads the same tokens with the same reader and keeps only the nesting, so
// the difference is what judging places, names and values costs. Native,
// single-threaded; build without sanitizers for meaningful figures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "service/config_check/core_config_check.h"
#include "service/config_check/json_text.h"

namespace {

using Clock = std::chrono::steady_clock;

// Brackets are matched, commas and colons placed; nothing is judged.
bool PlainScan(std::string_view text) {
  JsonText json(text);
  std::vector<char> open;  // '{' or '['
  bool expectValue = true;
  json.SkipSpace();
  while (!json.AtEnd()) {
    const char c = json.Peek();
    bool ok = true;
    if (c == '{' || c == '[') {
      open.push_back(c);
      json.Skip();
      expectValue = c == '[';
    } else if (c == '}' || c == ']') {
      if (open.empty() || open.back() != (c == '}' ? '{' : '[')) return false;
      open.pop_back();
      json.Skip();
      expectValue = false;
    } else if (c == ',' || c == ':') {
      json.Skip();
      expectValue = true;
    } else if (c == '"') {
      ok = json.SkipString();
      expectValue = false;
    } else if (c == 't' || c == 'f' || c == 'n') {
      ok = json.ReadWord(c == 't' ? "true" : c == 'f' ? "false" : "null");
    } else {
      ok = json.ReadNumber();
    }
    if (!ok) return false;
    json.SkipSpace();
  }
  return open.empty() && !expectValue;
}

// A subscription's worth of outbounds and a large inline rule set, as the UI
// sends them, just under the host's limit.
std::string ClientConfiguration(std::size_t size) {
  std::string outbounds, domains;
  for (int i = 0; outbounds.size() + domains.size() < size - 4096; ++i) {
    const std::string n = std::to_string(i);
    if (i % 2 == 0) {
      outbounds += R"({"type":"vless","tag":"node-)" + n + R"(","server":"n)" + n +
                   R"(.example.net","server_port":443,"uuid":"bf000d23-0752-40b4-affe-68f7707a9661",)"
                   R"("tls":{"enabled":true,"server_name":"www.example.com","reality":{"enabled":true,)"
                   R"("public_key":"jNXHt1yRo0vDuchQlIP6Z0Z","short_id":"0123abcd"}},)"
                   R"("transport":{"type":"ws","path":"/ws","headers":{"Host":"cdn.example"}}},)";
    } else {
      domains += "\"d" + n + ".example.org\",";
    }
  }
  std::string text = R"({"log":{"level":"info"},"inbounds":[{"type":"tun","tag":"tun-in"}],)"
                     R"("outbounds":[)" + outbounds + R"({"type":"direct","tag":"direct"}],)"
                     R"("route":{"rule_set":[{"type":"inline","tag":"big","rules":[{"domain_suffix":[)" +
                     domains + R"("last.example"]}]}]},)"
                     R"("experimental":{"cache_file":{"enabled":true,"path":"cache.db"}}})";
  return text;
}

double BestMs(int rounds, const std::function<bool()>& work) {
  double best = 1e300;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    if (!work()) std::fprintf(stderr, "unexpected verdict\n");
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main() {
  const std::string text = ClientConfiguration(kMaxCoreConfigBytes);
  const int rounds = 15;
  double plain = 1e300, check = 1e300;
  // Alternating, so that both see the same machine load.
  for (int i = 0; i < rounds; ++i) {
    plain = std::min(plain, BestMs(1, [&] { return PlainScan(text); }));
    check = std::min(check, BestMs(1, [&] {
                       return CheckCoreConfig(text).kind == CoreConfigVerdict::Accepted;
                     }));
  }
  std::printf("configuration of %zu bytes (best of %d)\n", text.size(), rounds);
  std::printf("  plain RFC 8259 scan   %8.2f ms  %7.1f MB/s\n", plain, text.size() / plain / 1e3);
  std::printf("  configuration check   %8.2f ms  %7.1f MB/s  (%.2fx the plain scan)\n", check,
              text.size() / check / 1e3, check / plain);
  return 0;
}
