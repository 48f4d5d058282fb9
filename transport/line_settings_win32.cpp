#include "line_settings_win32.h"

#include <cstring>

static_assert(sizeof(DCB) == 28, "the line settings record is 28 bytes");
static_assert(sizeof(COMMTIMEOUTS) == 20, "the time-out record is five DWORDs");

namespace {

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

}  // namespace

void SetLineRecord(const LineSettings& settings, DCB* record)
{
    // Nothing a previous user of the port left in it survives but the bits
    // Windows reserves (fDummy2, wReserved1), which stay as the driver gave
    // them: every flag, limit and character is set here (a left-over
    // fAbortOnError or fNull alone would break binary transfers).
    record->DCBlength = sizeof *record;
    record->BaudRate = settings.baudRate;
    record->fBinary = settings.binary;
    record->fParity = settings.parityCheck;
    record->fOutxCtsFlow = settings.outxCtsFlow;
    record->fOutxDsrFlow = settings.outxDsrFlow;
    record->fDtrControl = settings.dtrControl;
    record->fDsrSensitivity = 0;
    record->fTXContinueOnXoff = 0;
    record->fOutX = settings.outX;
    record->fInX = settings.inX;
    record->fErrorChar = 0;
    record->fNull = 0;
    record->fRtsControl = settings.rtsControl;
    record->fAbortOnError = 0;
    record->wReserved = 0;  // "must be zero"
    record->XonLim = 0;
    record->XoffLim = 0;
    record->ByteSize = settings.byteSize;
    record->Parity = settings.parity;
    record->StopBits = settings.stopBits;
    record->XonChar = kXon;
    record->XoffChar = kXoff;
    record->ErrorChar = 0;
    record->EofChar = 0;
    record->EvtChar = 0;
}

DCB LineRecord(const LineSettings& settings)
{
    DCB record;
    std::memset(&record, 0, sizeof record);
    SetLineRecord(settings, &record);
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
    if (timeouts.readInterval == 0 && timeouts.readTotalMultiplier == 0 && timeouts.readTotalConstant == 0)
        record.ReadIntervalTimeout = MAXDWORD;
    return record;
}

uint32_t TimeoutOfRecord(const COMMTIMEOUTS& record)
{
    if (record.ReadIntervalTimeout == MAXDWORD && record.ReadTotalTimeoutMultiplier == 0 &&
        record.ReadTotalTimeoutConstant == 0)
        return 0;
    return record.ReadIntervalTimeout;
}
