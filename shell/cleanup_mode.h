// Tovix.exe --km-cleanup: asks the privileged program to remove a leftover
// DNS rule and phantom adapters (it sweeps the rule as it first answers), and
// waits up to 30 s for its answer. Main thread, no window.
#pragma once

// The exit code: 0 once the privileged program has answered; 1 when it could
// not be had (the elevation prompt declined, the program missing or
// unverified) or did not answer.
int RunCleanupMode();
