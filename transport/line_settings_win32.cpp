#include "line_settings_win32.h"

#include <cstring>

static_assert(sizeof(DCB) == 28, "the line settings record is 28 bytes");
static_assert(sizeof(COMMTIMEOUTS) == 20, "the time-out record is five DWORDs");

DCB LineRecord(const LineSettings& settings)
{
    DCB record;
    std::memset(&record, 0, sizeof record);
    record.DCBlength = sizeof record;
    record.BaudRate = settings.baudRate;
    record.fBinary = settings.binary;
    record.fParity = settings.parityCheck;
    record.fOutxCtsFlow = settings.outxCtsFlow;
    record.fOutxDsrFlow = settings.outxDsrFlow;
    record.fDtrControl = settings.dtrControl;
    record.fOutX = settings.outX;
    record.fInX = settings.inX;
    record.fRtsControl = settings.rtsControl;
    record.ByteSize = settings.byteSize;
    record.Parity = settings.parity;
    record.StopBits = settings.stopBits;
    return record;
}

COMMTIMEOUTS TimeoutRecord(const Timeouts& timeouts)
{
    COMMTIMEOUTS record;
    record.ReadIntervalTimeout = timeouts.readInterval;
    record.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    record.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    record.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
    record.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
    return record;
}
