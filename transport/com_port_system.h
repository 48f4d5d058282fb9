// What the serial port does differently on each system: one implementation
// per system, chosen by the build (com_port_linux.cpp, com_port_macos.cpp).
// com_port_posix.cpp holds the rest, for both, and the helpers at the end,
// which the system's part uses.
#pragma once

#include <chrono>
#include <cstdint>
#include <poll.h>
#include <string>

#include "line_settings.h"

// The device of COM and a number (1 and up); empty where the system
// numbers no ports.
std::string NumberedPortPath(unsigned long number);

// Before the port opens: whatever the system needs for fine-grained waits.
void PrepareForPort();

// poll on one descriptor for up to the given time, as finely as the system
// allows and never shorter; returns as poll does.
int PollFor(struct pollfd* entry, std::chrono::nanoseconds wait);

// Raw mode, the line settings and the rate; a rate the driver refuses or
// would miss by more than ComPort::RateTaken allows is recorded as refused.
bool SetLine(int handle, const LineSettings& settings);

// The port was in exclusive mode before this process opened it, as far as
// the system tells.
bool ExclusiveAlready(int handle);

// Lowers the driver's latency where the system has such a switch, as a best
// effort; returns what RestoreLatency needs to undo it, -1 when nothing changed.
int LowerLatency(int handle);
void RestoreLatency(int handle, int former);

bool FlushBoth(int handle);
// Suspends or resumes what the port sends (the XOFF and XON escapes).
bool SuspendOutput(int handle, bool suspend);
// Waits until the output has left the port; false on an interrupt or error.
bool WaitUntilSent(int handle);

// In com_port_posix.cpp: the driver did not take the rate; errno says why,
// or it runs at actualRate (0: not known).
void RecordRateRefused(uint32_t actualRate);
