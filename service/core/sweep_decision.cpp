// The sweep's choices over node records. Window thread or the clean-up process.
#include "service/core/sweep_decision.h"

#include <windows.h>

#include "common/text.h"
#include "service/dns_rule/dns_policy.h"

namespace {

constexpr int kPrefixChars = 10;
static_assert(sizeof(tunnelAdapterName) / sizeof(wchar_t) - 1 == kPrefixChars);

}  // namespace

std::wstring AdapterGuidFromInstanceId(std::wstring_view instanceId) {
  const size_t open = instanceId.find(L'{');
  if (open == std::wstring_view::npos) return {};
  const size_t close = instanceId.find(L'}', open + 1);
  if (close == std::wstring_view::npos) return {};
  return std::wstring(instanceId.substr(open, close - open + 1));
}

bool IsOurConnectionName(std::wstring_view name) {
  if (name.size() < static_cast<size_t>(kPrefixChars)) return false;
  return CompareStringOrdinal(name.data(), kPrefixChars, tunnelAdapterName, kPrefixChars, TRUE) ==
         CSTR_EQUAL;
}

void AccountSweepNode(AdapterSweepResult& result, const SweepNode& node, bool remove,
                      const std::function<bool()>& removeNode) {
  ++result.wintun_nodes;
  if (!node.idRead || !IsOurConnectionName(node.connectionName)) return;
  if (node.present) {
    ++result.live_kept;
    return;
  }
  ++result.ours_left_behind;
  if (!result.names.empty()) result.names += ',';
  result.names += ToUtf8(node.connectionName);
  if (remove && removeNode && removeNode()) ++result.removed;
}
