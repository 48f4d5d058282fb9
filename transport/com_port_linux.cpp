// The serial port's Linux part: termios2 for any rate, the UART's type and
// clock (TIOCGSERIAL) for the rate it really makes, the USB-serial drivers'
// low latency, and the ttyS numbering of COM ports.
#include "com_port.h"
#include "com_port_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>

// termios2 lets any rate be set, also those without a B-constant; its header
// and <termios.h> cannot be used together.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <linux/serial_core.h>

#include "interrupt.h"
#include "tty_users.h"

// COM1 is the first port of the computer, as on Windows.
std::string NumberedPortPath(unsigned long number)
{
    return "/dev/ttyS" + std::to_string(number - 1);
}

uint32_t ComPort::RateFromClock(uint32_t baudBase, uint32_t rate)
{
    if (baudBase == 0 || rate == 0)
        return rate;
    // The divisor nearest to the rate, as the UART drivers round it; none
    // below 1 (a rate far above the clock gets the clock at best).
    const uint64_t divisor = (uint64_t(baudBase) + rate / 2) / rate;
    return divisor == 0 ? baudBase : uint32_t(baudBase / divisor);
}

// UART types (serial_struct.type, the kernel's PORT_* values in
// include/uapi/linux/serial.h and serial_core.h) whose driver sets a whole
// divisor of baud_base and reports back the rate it was asked for, not the
// one it makes: the 8250 driver's classic chips. Left out on purpose: the
// 16C950 (PORT_16C950; the driver may use its fractional prescaler), the RSA
// card (PORT_RSA), the SoC UARTs that the 8250 driver or their own run with
// their own clock rules, and every other driver, such as the PL011
// (PORT_AMBA), which reports baud_base = uartclk / 16 but uses a fractional
// divisor: for those the rate reported back is all there is to go by.
bool ComPort::WholeDivisorUart(int uartType)
{
    switch (uartType) {
    case PORT_8250:
    case PORT_16450:
    case PORT_16550:
    case PORT_16550A:
    case PORT_CIRRUS:
    case PORT_16650:
    case PORT_16650V2:
    case PORT_16750:
    case PORT_STARTECH:
    case PORT_16654:
    case PORT_16850:
    case PORT_NS16550A:
        return true;
    default:
        return false;
    }
}

// A UART of the 8250 family divides its clock (baud_base, the clock over 16:
// 115200 on a PC's 16550) by a whole number, while its driver reports back
// the rate it was asked for: 56000 runs at 115200 / 2 = 57600. Any other
// driver, or one that tells no clock, keeps the rate it reported.
uint32_t ComPort::RateMade(int uartType, uint32_t baudBase, uint32_t reported)
{
    if (!WholeDivisorUart(uartType) || baudBase == 0)
        return reported;
    return RateFromClock(baudBase, reported);
}

// The drain waits 2 ms per block; the default 50 us of timer slack is a
// noticeable share of that over a thousand blocks.
void PrepareForPort()
{
    prctl(PR_SET_TIMERSLACK, 1UL);
}

// ppoll takes the wait to the nanosecond.
int PollFor(struct pollfd* entry, std::chrono::nanoseconds wait)
{
    struct timespec timeout;
    timeout.tv_sec = time_t(wait.count() / 1000000000);
    timeout.tv_nsec = long(wait.count() % 1000000000);
    return ppoll(entry, 1, &timeout, nullptr);
}

namespace {

void MakeRaw(struct termios2* tio, const LineSettings& settings)
{
    tio->c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                              INPCK | IGNPAR | IUCLC | IMAXBEL);
    if (settings.parityCheck)
        tio->c_iflag |= INPCK;
    tio->c_oflag &= ~tcflag_t(OPOST);
    tio->c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio->c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT) | CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | CMSPAR);
    tio->c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    if (settings.parity == kParityEven)
        tio->c_cflag |= PARENB;
    else if (settings.parity == kParityOdd)
        tio->c_cflag |= PARENB | PARODD;
    if (settings.stopBits != kOneStopBit)
        tio->c_cflag |= CSTOPB;
    tio->c_ispeed = settings.baudRate;
    tio->c_ospeed = settings.baudRate;
    // Reads never block in the driver; poll keeps the time-outs.
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
}

// The rate the port really runs at, as far as its driver tells its UART.
uint32_t RateMade(int handle, uint32_t rate)
{
    struct serial_struct serial;
    if (ioctl(handle, TIOCGSERIAL, &serial) != 0)
        return rate;
    return ComPort::RateMade(serial.type, uint32_t(std::max(serial.baud_base, 0)), rate);
}

}  // namespace

bool SetLine(int handle, const LineSettings& settings)
{
    struct termios2 tio;
    if (ioctl(handle, TCGETS2, &tio) != 0)
        return false;
    MakeRaw(&tio, settings);
    if (ioctl(handle, TCSETS2, &tio) != 0) {
        RecordRateRefused(0);
        return false;
    }
    struct termios2 taken;
    if (ioctl(handle, TCGETS2, &taken) != 0)
        return false;
    if (!ComPort::RateTaken(settings.baudRate, taken.c_ospeed)) {
        RecordRateRefused(taken.c_ospeed);
        return false;
    }
    const uint32_t made = RateMade(handle, taken.c_ospeed);
    if (!ComPort::RateTaken(settings.baudRate, made)) {
        RecordRateRefused(made);
        return false;
    }
    return true;
}

bool ExclusiveAlready(int handle)
{
    int already = 0;
    return ioctl(handle, TIOCGEXCL, &already) == 0 && already;
}

// ftdi_sio holds received bytes for its latency timer (16 ms by default)
// before it sends them over USB, on every one-byte acknowledgement; in
// low-latency mode the converter's timer is 1 ms. Only for USB-serial ports,
// as a best effort: a port that refuses keeps its timer. Returns the former
// flags, or -1 when nothing changed.
int LowerLatency(int handle)
{
    struct serial_struct serial;
    if (!TtyIsUsbSerial(handle) || ioctl(handle, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY))
        return -1;
    const int former = serial.flags;
    serial.flags |= ASYNC_LOW_LATENCY;
    return ioctl(handle, TIOCSSERIAL, &serial) == 0 ? former : -1;
}

void RestoreLatency(int handle, int former)
{
    struct serial_struct serial;
    if (former < 0 || ioctl(handle, TIOCGSERIAL, &serial) != 0)
        return;
    serial.flags = former;
    ioctl(handle, TIOCSSERIAL, &serial);
}

bool FlushBoth(int handle)
{
    return ioctl(handle, TCFLSH, TCIOFLUSH) == 0;
}

bool SuspendOutput(int handle, bool suspend)
{
    return ioctl(handle, TCXONC, suspend ? TCOOFF : TCOON) == 0;
}

// TCSBRK with a non-zero argument: drain only, no break.
bool WaitUntilSent(int handle)
{
    while (ioctl(handle, TCSBRK, 1) != 0) {
        if (errno != EINTR || InterruptRequested())
            return false;
    }
    return true;
}
