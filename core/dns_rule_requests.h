// The DNS policy rule as Tovix.exe sees it: the privileged program installs
// and removes it; this side asks for both, writes the lines of that work into
// the session log, and keeps the status word that "dnsPolicyState" answers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// "none" until the privileged side reports a rule decided. Any thread.
std::string DnsPolicyStatusSnapshot();

// Asks for the rule of core `generation` once it is ready (output reader
// thread). Does not wait; the answer arrives on the connection's thread.
void StartDnsPolicyApply(std::uint64_t generation);

// Asks for the rule's removal and waits for it (the thread that ends the
// core).
void RemoveDnsPolicyRule(std::string_view reason);
