// The Windows records of the shared settings: DCB and COMMTIMEOUTS, used alike
// by the serial port and by the FTDI library's Win32-compatible functions.
#pragma once

#include <windows.h>

#include "line_settings.h"

// Every field of the record set from the settings but the reserved bits,
// which keep what the record held (Microsoft: start from GetCommState). The
// flow-control characters are XON 0x11 and XOFF 0x13: SetCommState refuses a
// record whose XonChar equals its XoffChar, and with software flow control
// off they never act on the line. DCBlength 28.
void SetLineRecord(const LineSettings& settings, DCB* record);
// The same on a zero-filled record.
DCB LineRecord(const LineSettings& settings);

// A time-out of 0 ms is the documented immediate return (ReadIntervalTimeout
// MAXDWORD, multiplier and constant 0), not the all-zero record, which waits
// for ever.
COMMTIMEOUTS TimeoutRecord(const Timeouts& timeouts);
// The time-out in ms that a record set by TimeoutRecord stands for.
uint32_t TimeoutOfRecord(const COMMTIMEOUTS& record);
