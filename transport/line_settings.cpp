#include "line_settings.h"

LineSettings DefaultLineSettings(uint32_t baudRate, uint8_t parity)
{
    LineSettings settings;
    settings.baudRate = baudRate;
    settings.binary = true;
    settings.byteSize = 8;
    settings.parity = parity;
    settings.stopBits = kOneStopBit;
    return settings;
}

Timeouts TimeoutsFor(uint32_t milliseconds)
{
    Timeouts timeouts;
    timeouts.readInterval = milliseconds;
    timeouts.readTotalMultiplier = milliseconds;
    timeouts.readTotalConstant = milliseconds;
    return timeouts;
}
