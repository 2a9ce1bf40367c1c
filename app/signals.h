#pragma once

#include <atomic>

// Set by the signal handler, read by the main thread. Starts set, so a SIGINT
// during start-up ends the process at once; supervision clears it.
extern std::atomic<int> stopRequested;

// Registers onSignal for SIGINT, SIGQUIT, SIGTERM and SIGSEGV.
void ArmSignals();
