// The Windows records of the shared settings: DCB and COMMTIMEOUTS, used alike
// by the serial port and by the FTDI library's Win32-compatible functions.
#pragma once

#include <windows.h>

#include "line_settings.h"

// Zero-filled, reserved fields included, then the settings; DCBlength 28.
DCB LineRecord(const LineSettings& settings);

COMMTIMEOUTS TimeoutRecord(const Timeouts& timeouts);
