// Which Wintun device nodes are ours and what a sweep does with each, over
// plain node records (the SetupAPI layer in adapter_sweep.cpp gathers them).
// Window thread or the clean-up process.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "service/core/adapter_sweep.h"

struct SweepNode {
  bool idRead = false;          // the instance id could be read
  std::wstring instanceId;
  bool present = false;         // CM_Locate_DevNodeW found a live node
  std::wstring connectionName;  // "" when unreadable
};

// The text from the first "{" up to and including the next "}"; empty when
// either brace is missing.
std::wstring AdapterGuidFromInstanceId(std::wstring_view instanceId);

// At least 10 characters, the first 10 equal to "Kelpmarrow" ignoring case.
bool IsOurConnectionName(std::wstring_view name);

// Counts one enumerated node into `result`; for our non-present nodes in
// removing mode calls `removeNode` and counts a true answer as removed.
void AccountSweepNode(AdapterSweepResult& result, const SweepNode& node, bool remove,
                      const std::function<bool()>& removeNode);
