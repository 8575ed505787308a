// Finds the Wintun adapters of the network class, recognises ours by their
// connection name and removes our phantom ones. Window thread or the
// clean-up process.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct AdapterSweepResult {
  std::uint32_t wintun_nodes = 0;
  std::uint32_t ours_left_behind = 0;
  std::uint32_t removed = 0;
  std::uint32_t live_kept = 0;
  std::string names;  // UTF-8, "," between names
};

AdapterSweepResult AdapterSweep(bool remove);
std::wstring ReadConnectionName(std::wstring_view adapterGuid);

// The clean-up mode's work: the leftover DNS rule, then phantom adapters.
unsigned RunHostCleanup();
