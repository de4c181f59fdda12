// SIGTERM and SIGINT turned into a readable descriptor, so an event loop can
// end cleanly on them instead of being killed mid-work.
#pragma once

namespace tillcast::platform {

// Installs the handlers (once per process) and returns the descriptor that
// becomes readable when one of the signals arrives; -1 on failure.
int WatchTerminateSignals();

// Reads away what the signals wrote; call when the descriptor is readable.
void DrainTerminateSignals();

// Puts the default actions back.
void RestoreTerminateSignals();

}  // namespace tillcast::platform
