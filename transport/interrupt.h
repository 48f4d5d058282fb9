// A request to end the run early: Ctrl-C, a closed terminal, a kill. It is set
// from a signal or console handler and only read elsewhere: the driver looks
// at it between steps, and a link that waits looks at it often enough to give
// up within a few tens of milliseconds.
#pragma once

// Safe to call from a signal handler.
void RequestInterrupt();
bool InterruptRequested();

// Longest single wait of a link before it looks at the request again.
constexpr int kInterruptPollMs = 20;
