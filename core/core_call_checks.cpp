// Argument checks of "noteStopCause" and "noteHealth". Portable; any thread.
#include "core/core_call_checks.h"

#include <array>
#include <cstdint>
#include <variant>

namespace {

constexpr std::array<std::string_view, 5> kAcceptedStopCauses = {
    "user", "recovery", "automatic", "full_start_failed", "full_datapath_unverified"};

bool IsHealthByte(unsigned char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return std::string_view(" _=.:,()/-").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::optional<std::string> StopCauseLogText(const flutter::EncodableValue* arguments) {
  if (arguments == nullptr) return std::nullopt;
  const auto* map = std::get_if<flutter::EncodableMap>(arguments);
  if (map == nullptr) return std::nullopt;

  const auto causeEntry = map->find(flutter::EncodableValue("cause"));
  if (causeEntry == map->end()) return std::nullopt;
  const auto* cause = std::get_if<std::string>(&causeEntry->second);
  if (cause == nullptr) return std::nullopt;

  // Only the 32-bit alternative counts: an action the codec carried as a
  // 64-bit integer is not accepted.
  const auto actionEntry = map->find(flutter::EncodableValue("action"));
  if (actionEntry == map->end()) return std::nullopt;
  const auto* action = std::get_if<std::int32_t>(&actionEntry->second);
  if (action == nullptr) return std::nullopt;

  bool accepted = false;
  for (std::string_view known : kAcceptedStopCauses) {
    if (*cause == known) accepted = true;
  }
  if (!accepted) return std::nullopt;
  return *cause + " action=" + std::to_string(*action);
}

bool PassesHealthFilter(std::string_view text) {
  if (text.empty() || text.size() > kMaxHealthNoteBytes) return false;
  for (char c : text) {
    if (!IsHealthByte(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::optional<std::string> HealthLogText(const flutter::EncodableValue* arguments) {
  if (arguments == nullptr) return std::nullopt;
  const auto* text = std::get_if<std::string>(arguments);
  if (text == nullptr || !PassesHealthFilter(*text)) return std::nullopt;
  return *text;
}
