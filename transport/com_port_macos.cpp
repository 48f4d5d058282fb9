// The serial port's macOS part: termios, and IOSSIOSPEED for the rate.
// Apple's "Serial Device Programming" guide and <IOKit/serial/ioss.h> describe
// it; how the terminal answers is in IOSerialFamily's IOSerialBSDClient.
#include "com_port.h"
#include "com_port_system.h"

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>

#include "interrupt.h"

// Every Mac has the header; a cross compiler without the frameworks takes
// the value it documents.
#if __has_include(<IOKit/serial/ioss.h>)
#include <IOKit/serial/ioss.h>
#else
#define IOSSIOSPEED _IOW('T', 2, speed_t)
#endif

// A port is named by its node: each serial port has /dev/tty.<name>, whose
// open waits for a call (carrier detect), and /dev/cu.<name> to call out,
// the one for a link that the computer starts. Either is taken as given:
// the open does not wait (O_NONBLOCK) and the line ignores carrier (CLOCAL).
// macOS numbers no ports, so COM and a number names none.
std::string NumberedPortPath(unsigned long)
{
    return "";
}

// Nothing to prepare: macOS has no timer slack to set.
void PrepareForPort() {}

// No ppoll: milliseconds, rounded up so that a wait never ends early.
int PollFor(struct pollfd* entry, std::chrono::nanoseconds wait)
{
    return poll(entry, 1, int((wait.count() + 999999) / 1000000));
}

namespace {

void MakeRaw(struct termios* tio, const LineSettings& settings)
{
    cfmakeraw(tio);
    tio->c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK);
    if (settings.parityCheck)
        tio->c_iflag |= INPCK;
    tio->c_cflag &= ~tcflag_t(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    tio->c_cflag |= CS8 | CREAD | CLOCAL;
    if (settings.parity == kParityEven)
        tio->c_cflag |= PARENB;
    else if (settings.parity == kParityOdd)
        tio->c_cflag |= PARENB | PARODD;
    if (settings.stopBits != kOneStopBit)
        tio->c_cflag |= CSTOPB;
    // Reads never block in the driver; poll keeps the time-outs.
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
}

}  // namespace

// termios has no constant for some of the rates (56000, 128000, 256000);
// IOSSIOSPEED sets any rate, for both directions. It goes after tcsetattr,
// which would set the speed in tio again. The driver refuses a rate it
// cannot make (EINVAL); the terminal then reports the rate asked for
// (IOSerialBSDClient), so there is nothing to read back, and no UART clock
// to reckon with. tcsetattr keeps the port's former speed, but not 0, which
// would hang up.
bool SetLine(int handle, const LineSettings& settings)
{
    struct termios tio;
    if (tcgetattr(handle, &tio) != 0)
        return false;
    MakeRaw(&tio, settings);
    if (cfgetospeed(&tio) == B0)
        cfsetspeed(&tio, B9600);
    if (tcsetattr(handle, TCSANOW, &tio) != 0)
        return false;
    speed_t speed = settings.baudRate;
    if (ioctl(handle, IOSSIOSPEED, &speed) != 0) {
        RecordRateRefused(0);
        return false;
    }
    return true;
}

// No request tells whether another program set exclusive mode (Darwin has
// TIOCEXCL and TIOCNXCL, no TIOCGEXCL). Unknown counts as set, so that Release
// never ends another program's exclusive mode (root gets past it); ours ends
// with the last close of the device.
bool ExclusiveAlready(int)
{
    return true;
}

// IOSSDATALAT (ioss.h) sets a receive latency, but nothing reads the former
// one back to restore: left as the driver has it.
int LowerLatency(int)
{
    return -1;
}

void RestoreLatency(int, int) {}

bool FlushBoth(int handle)
{
    return tcflush(handle, TCIOFLUSH) == 0;
}

bool SuspendOutput(int handle, bool suspend)
{
    return tcflow(handle, suspend ? TCOOFF : TCOON) == 0;
}

bool WaitUntilSent(int handle)
{
    while (tcdrain(handle) != 0) {
        if (errno != EINTR || InterruptRequested())
            return false;
    }
    return true;
}
