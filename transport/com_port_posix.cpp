// Serial port on POSIX systems: the port is a terminal device driven raw,
// with the read time-outs kept by poll and a monotonic clock.
#include "com_port.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
// termios2 lets any rate be set, also those without a B-constant.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <linux/serial_core.h>
#include <sys/prctl.h>
#else
#include <termios.h>
#if defined(__APPLE__)
// IOSSIOSPEED: every Mac has the header; a cross compiler without the
// frameworks takes the value it documents.
#if __has_include(<IOKit/serial/ioss.h>)
#include <IOKit/serial/ioss.h>
#else
#define IOSSIOSPEED _IOW('T', 2, speed_t)
#endif
#endif
#endif

#include "interrupt.h"
#include "link_failure.h"
#include "read_deadline.h"
#include "tty_users.h"

namespace {

constexpr intptr_t kInvalidHandle = -1;

int Fd(intptr_t handle)
{
    return static_cast<int>(handle);
}

// A rate that the driver rounds by more than this has not been taken.
constexpr uint32_t kRateTolerancePercent = 2;

// Start bit, 8 data bits, parity bit, stop bit.
constexpr uint64_t kBitsPerByte8E1 = 11;

// UART types (serial_struct.type, the kernel's PORT_* values in
// include/uapi/linux/serial.h and serial_core.h) whose driver sets a whole
// divisor of baud_base and reports back the rate it was asked for, not the
// one it makes: the 8250 driver's classic chips. Left out on purpose: the
// 16C950 (10; the driver may use its fractional prescaler), the RSA card
// (13), the SoC UARTs that the 8250 driver or their own run with their own
// clock rules, and every other driver, such as the PL011 (PORT_AMBA, 32),
// which reports baud_base = uartclk / 16 but uses a fractional divisor: for
// those the rate reported back is all there is to go by.
constexpr int kPort8250 = 1;
constexpr int kPort16450 = 2;
constexpr int kPort16550 = 3;
constexpr int kPort16550A = 4;
constexpr int kPortCirrus = 5;
constexpr int kPort16650 = 6;
constexpr int kPort16650V2 = 7;
constexpr int kPort16750 = 8;
constexpr int kPortStartech = 9;
constexpr int kPort16654 = 11;
constexpr int kPort16850 = 12;
constexpr int kPortNs16550A = 14;
#if defined(__linux__)
static_assert(kPort8250 == PORT_8250 && kPort16450 == PORT_16450 && kPort16550 == PORT_16550 &&
                  kPort16550A == PORT_16550A && kPortCirrus == PORT_CIRRUS && kPort16650 == PORT_16650 &&
                  kPort16650V2 == PORT_16650V2 && kPort16750 == PORT_16750 && kPortStartech == PORT_STARTECH &&
                  kPort16654 == PORT_16654 && kPort16850 == PORT_16850 && kPortNs16550A == PORT_NS16550A,
              "UART types as the kernel numbers them");
#endif

// Why the port could not be opened or held, for the driver to explain.
void RecordOpenError(const std::string& path, int error)
{
    LinkFailure failure;
    failure.systemText = std::strerror(error);
    failure.device = path;
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:  // a node without hardware behind it, such as a ttyS without a UART
        failure.kind = LinkFailureKind::kPortMissing;
        break;
    case EACCES:
    case EPERM: {
        failure.kind = LinkFailureKind::kPermissionDenied;
        struct stat status;
        if (stat(path.c_str(), &status) == 0) {
            const struct group* owner = getgrgid(status.st_gid);
            failure.group = owner ? owner->gr_name : std::to_string(status.st_gid);
        }
        break;
    }
    case EBUSY:        // another program set exclusive use (TIOCEXCL)
    case EWOULDBLOCK:  // another program holds the lock (flock)
        failure.kind = LinkFailureKind::kPortBusy;
        break;
    case ENOTTY:
        failure.kind = LinkFailureKind::kNotATerminal;
        break;
    default:
        failure.kind = LinkFailureKind::kOther;
        break;
    }
    RecordLinkFailure(failure);
}

// The driver did not take the rate: errno says why, or it set another rate.
void RecordRateRefused(uint32_t actualRate)
{
    LinkFailure failure;
    failure.kind = LinkFailureKind::kRateRefused;
    failure.systemText = std::strerror(errno);
    failure.actualRate = actualRate;
    RecordLinkFailure(failure);
}

// Takes the port's lock, or finds it held by the processes that started
// this one only; errno tells why not.
bool LockOrHandedOver(int handle)
{
    if (flock(handle, LOCK_EX | LOCK_NB) == 0)
        return true;
    const int error = errno;
    if (error == EWOULDBLOCK && LockedOnlyByCallers(handle))
        return true;
    errno = error;
    return false;
}

// Makes the port exclusive (further opens fail, but for root), and tells
// whether this call is what made it so.
bool SetExclusive(int handle, bool* set)
{
    int already = 0;
#if defined(TIOCGEXCL)
    if (ioctl(handle, TIOCGEXCL, &already) != 0)
        already = 0;
#endif
    if (ioctl(handle, TIOCEXCL) != 0)
        return false;
    *set = !already;
    return true;
}

struct timespec ToTimespec(std::chrono::nanoseconds wait)
{
    struct timespec value;
    value.tv_sec = time_t(wait.count() / 1000000000);
    value.tv_nsec = long(wait.count() % 1000000000);
    return value;
}

// Waits up to the given time for the descriptor to be ready; false on hang-up
// or error. A wait cut short by a signal comes back as not ready, so that the
// caller looks at the interrupt request at once.
// A read that found the end of the line (0) or an error (errno).
bool ReadFailed(int error)
{
    RecordLinkIoFailure(LinkIoOperation::kRead, error == 0 ? "the line hung up" : std::strerror(error));
    return false;
}

bool WaitFor(int handle, short events, std::chrono::nanoseconds wait, bool* ready)
{
    struct pollfd entry = {handle, events, 0};
#if defined(__linux__)
    const struct timespec timeout = ToTimespec(wait);
    const int result = ppoll(&entry, 1, &timeout, nullptr);
#else
    const int ms = int((wait.count() + 999999) / 1000000);
    const int result = poll(&entry, 1, ms);
#endif
    const LinkIoOperation operation = (events & POLLIN) ? LinkIoOperation::kRead : LinkIoOperation::kWrite;
    *ready = false;
    if (result < 0) {
        if (errno == EINTR)
            return true;
        RecordLinkIoFailure(operation, std::strerror(errno));
        return false;
    }
    *ready = result > 0;
    // A tty that was hung up (its USB device unplugged, a pty's far end
    // closed) polls as error and hang-up at once.
    if (*ready && (entry.revents & (POLLERR | POLLNVAL))) {
        RecordLinkIoFailure(operation, (entry.revents & POLLHUP) ? "the line hung up" : "the port reported an error");
        return false;
    }
    // A hang-up with data still buffered is reported once the data is read.
    if (*ready && !(entry.revents & events) && (entry.revents & POLLHUP)) {
        RecordLinkIoFailure(operation, "the line hung up");
        return false;
    }
    return true;
}

// Sleeps a little while the output drains; a signal ends the sleep early.
void Pause(std::chrono::nanoseconds wait)
{
    const struct timespec time = ToTimespec(wait);
    nanosleep(&time, nullptr);
}

// Modem lines the port does not have (a pseudo-terminal) count as inactive.
bool ClearModemLines(int handle, int lines)
{
    if (ioctl(handle, TIOCMBIC, &lines) == 0)
        return true;
    return errno == ENOTTY || errno == EINVAL;
}

bool SetModemLines(int handle, int lines)
{
    return ioctl(handle, TIOCMBIS, &lines) == 0;
}

#if defined(__linux__)

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

void RestoreSerialFlags(int handle, int flags)
{
    struct serial_struct serial;
    if (flags < 0 || ioctl(handle, TIOCGSERIAL, &serial) != 0)
        return;
    serial.flags = flags;
    ioctl(handle, TIOCSSERIAL, &serial);
}

bool FlushBoth(int handle)
{
    return ioctl(handle, TCFLSH, TCIOFLUSH) == 0;
}

bool FlowControl(int handle, int action)
{
    return ioctl(handle, TCXONC, action) == 0;
}

uint32_t OutputRate(int handle)
{
    struct termios2 tio;
    return ioctl(handle, TCGETS2, &tio) == 0 ? tio.c_ospeed : 0;
}

// Waits until the output has left the port (TCSBRK with a non-zero argument:
// drain only, no break).
bool WaitUntilSent(int handle)
{
    while (ioctl(handle, TCSBRK, 1) != 0) {
        if (errno != EINTR || InterruptRequested())
            return false;
    }
    return true;
}

#else

void MakeRaw(struct termios* tio, const LineSettings& settings)
{
    cfmakeraw(tio);
    tio->c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK);
    tio->c_cflag &= ~tcflag_t(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    tio->c_cflag |= CS8 | CREAD | CLOCAL;
    if (settings.parity == kParityEven)
        tio->c_cflag |= PARENB;
    else if (settings.parity == kParityOdd)
        tio->c_cflag |= PARENB | PARODD;
    if (settings.stopBits != kOneStopBit)
        tio->c_cflag |= CSTOPB;
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
}

bool SetLine(int handle, const LineSettings& settings)
{
    struct termios tio;
    if (tcgetattr(handle, &tio) != 0)
        return false;
    MakeRaw(&tio, settings);
#if defined(__APPLE__)
    // termios has no constant for some of the rates (56000, 128000, 256000);
    // IOSSIOSPEED sets any rate and both directions (Apple's ioss.h). It goes
    // after tcsetattr, which would set the speed in tio again. The driver
    // refuses a rate it cannot make (EINVAL); the terminal then reports the
    // rate asked for (IOSerialBSDClient), so there is nothing to read back.
    // tcsetattr keeps the port's former speed, but not 0, which hangs up.
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
#else
    if (cfsetspeed(&tio, settings.baudRate) != 0 || tcsetattr(handle, TCSANOW, &tio) != 0) {
        RecordRateRefused(0);
        return false;
    }
    struct termios taken;
    return tcgetattr(handle, &taken) == 0 && ComPort::RateTaken(settings.baudRate, uint32_t(cfgetospeed(&taken)));
#endif
}

// Elsewhere the driver's clock is not known, nor its latency to be lowered.
int LowerLatency(int)
{
    return -1;
}

void RestoreSerialFlags(int, int) {}

bool FlushBoth(int handle)
{
    return tcflush(handle, TCIOFLUSH) == 0;
}

bool FlowControl(int handle, int action)
{
    return tcflow(handle, action) == 0;
}

uint32_t OutputRate(int handle)
{
    struct termios tio;
    return tcgetattr(handle, &tio) == 0 ? uint32_t(cfgetospeed(&tio)) : 0;
}

bool WaitUntilSent(int handle)
{
    while (tcdrain(handle) != 0) {
        if (errno != EINTR || InterruptRequested())
            return false;
    }
    return true;
}

#endif

// Returns once the output has left the port: the reply time-out must not start
// while a long block is still going out at a low rate. While the driver still
// holds bytes it is asked again in short steps, so that an interrupt is seen
// within one step even when the block takes minutes at 110 baud; the last
// few bytes in the UART itself are waited for in one go.
bool DrainOutput(int handle)
{
    const uint32_t rate = OutputRate(handle);
    int queued = 0;
    while (ioctl(handle, TIOCOUTQ, &queued) == 0 && queued > 0) {
        if (InterruptRequested())
            return false;
        const auto lineTime = std::chrono::microseconds(rate ? uint64_t(queued) * kBitsPerByte8E1 * 1000000 / rate : 0);
        Pause(std::min<std::chrono::nanoseconds>(std::max<std::chrono::nanoseconds>(lineTime, std::chrono::milliseconds(1)),
                                                 std::chrono::milliseconds(kInterruptPollMs)));
    }
    return !InterruptRequested() && WaitUntilSent(handle);
}

}  // namespace

std::string ComPort::DevicePath(const char* name)
{
    if (std::strncmp(name, "COM", 3) != 0)
        return name;
    const char* rest = name + 3;
    if (*rest == '/')
        return rest;
    const size_t digits = std::strspn(rest, "0123456789");
    if (digits > 0 && rest[digits] == '\0') {
        // COM1 is the first port; COM0 stands for none.
        const unsigned long number = std::strtoul(rest, nullptr, 10);
        if (number == 0 || digits > 9)
            return "";
        return "/dev/ttyS" + std::to_string(number - 1);
    }
    return std::string("/dev/") + rest;
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

bool ComPort::WholeDivisorUart(int uartType)
{
    switch (uartType) {
    case kPort8250:
    case kPort16450:
    case kPort16550:
    case kPort16550A:
    case kPortCirrus:
    case kPort16650:
    case kPort16650V2:
    case kPort16750:
    case kPortStartech:
    case kPort16654:
    case kPort16850:
    case kPortNs16550A:
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

bool ComPort::RateTaken(uint32_t wanted, uint32_t made)
{
    const uint64_t difference = wanted > made ? wanted - made : made - wanted;
    return difference * 100 <= uint64_t(wanted) * kRateTolerancePercent;
}

LineSettings ComPort::LineSettingsFor(uint32_t baudRate)
{
    return DefaultLineSettings(baudRate, kParityEven);
}

ComPort::~ComPort()
{
    if (handle_ != kInvalidHandle)
        Release();
}

bool ComPort::Open(const char* name, uint32_t baudRate, uint32_t milliseconds)
{
    if (handle_ != kInvalidHandle)
        return false;
    const std::string path = DevicePath(name);
    if (path.empty()) {
        RecordLinkFailure(LinkFailureKind::kPortMissing, "");
        return false;
    }
#if defined(__linux__)
    // The drain waits 2 ms per block; the default 50 us of timer slack is a
    // noticeable share of that over a thousand blocks.
    prctl(PR_SET_TIMERSLACK, 1UL);
#endif
    handle_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (handle_ == kInvalidHandle) {
        RecordOpenError(path, errno);
        return false;
    }
    // No sharing: another program holding the port makes the open fail,
    // also one that just opened it, without a lock. A lock that the programs
    // which started us hold (flock(1) running us) is the caller's own: ours
    // conflicts with it only because it is taken on another open.
    if (!isatty(Fd(handle_)) || !LockOrHandedOver(Fd(handle_)) || !SetExclusive(Fd(handle_), &setExclusive_)) {
        RecordOpenError(path, errno);
        Release();
        return false;
    }
    const TtyUse use = TtyOpenElsewhere(Fd(handle_));
    if (!use.looked || use.inUse) {
        if (use.looked)
            RecordOpenError(path, EBUSY);
        else
            RecordLinkFailure(LinkFailureKind::kOther, "cannot see which programs have it open: " + use.failure, path);
        Release();
        return false;
    }
    // The platform has no per-port queue sizes to set.
    if (!ApplyLineSettings(LineSettingsFor(baudRate)) || !SetTimeout(milliseconds)) {
        RecordLinkFailureIfNone(LinkFailureKind::kOther, std::strerror(errno));
        Release();
        return false;
    }
    formerSerialFlags_ = LowerLatency(Fd(handle_));
    return true;
}

bool ComPort::ApplyLineSettings(const LineSettings& settings)
{
    if (!SetLine(Fd(handle_), settings))
        return false;
    int inactive = 0;
    if (settings.dtrControl == kLineDisabled)
        inactive |= TIOCM_DTR;
    if (settings.rtsControl == kLineDisabled)
        inactive |= TIOCM_RTS;
    return ClearModemLines(Fd(handle_), inactive);
}

void ComPort::Release()
{
    RestoreSerialFlags(Fd(handle_), formerSerialFlags_);
    formerSerialFlags_ = -1;
    // Another program's exclusive mode is not ours to end.
    if (setExclusive_)
        ioctl(Fd(handle_), TIOCNXCL);
    setExclusive_ = false;
    flock(Fd(handle_), LOCK_UN);
    close(Fd(handle_));
    handle_ = kInvalidHandle;
}

bool ComPort::Close()
{
    if (handle_ != kInvalidHandle)
        Release();
    return true;
}

bool ComPort::IsOpen()
{
    return handle_ != kInvalidHandle;
}

bool ComPort::SetTimeout(uint32_t milliseconds)
{
    if (handle_ == kInvalidHandle)
        return false;
    timeouts_ = TimeoutsFor(milliseconds);
    return true;
}

bool ComPort::GetTimeout(uint32_t* milliseconds)
{
    if (handle_ == kInvalidHandle) {
        *milliseconds = 0;
        return false;
    }
    *milliseconds = timeouts_.readInterval;
    return true;
}

bool ComPort::Purge()
{
    if (handle_ == kInvalidHandle)
        return false;
    return FlushBoth(Fd(handle_));
}

bool ComPort::Read(void* buffer, uint32_t wanted, uint32_t* received)
{
    if (handle_ == kInvalidHandle)
        return false;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    uint32_t got = 0;
    ReadDeadline deadline(timeouts_, wanted);
    while (got < wanted) {
        // Past the deadline the port is still looked at once, without waiting:
        // input that is already there is taken, however late the process got
        // to run. Giving up unseen would leave stale bytes to pass for a reply.
        const std::chrono::nanoseconds wait = deadline.NextWait();
        bool ready = false;
        if (!WaitFor(Fd(handle_), POLLIN, wait, &ready))
            return false;
        if (ready) {
            const ssize_t count = read(Fd(handle_), bytes + got, wanted - got);
            if (count > 0) {
                got += uint32_t(count);
                deadline.BytesArrived();
                continue;
            }
            if (count == 0 || (errno != EAGAIN && errno != EINTR))
                return ReadFailed(count == 0 ? 0 : errno);  // hang-up or I/O error
        }
        // Nothing came: done once a look made past the deadline found nothing.
        // Testing the clock here instead would end the read unseen when the
        // deadline passed while the process was stopped after a waiting look.
        if (wait.count() == 0 || InterruptRequested())
            break;
    }
    if (received)
        *received = got;
    return true;
}

bool ComPort::Write(const void* buffer, uint32_t count)
{
    if (handle_ == kInvalidHandle)
        return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    uint32_t written = 0;
    while (written < count) {
        if (InterruptRequested())
            return false;
        const ssize_t result = write(Fd(handle_), bytes + written, count - written);
        if (result > 0) {
            written += uint32_t(result);
            continue;
        }
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0 && errno != EAGAIN) {
            RecordLinkIoFailure(LinkIoOperation::kWrite, std::strerror(errno));
            return false;
        }
        bool ready = false;
        if (!WaitFor(Fd(handle_), POLLOUT, std::chrono::milliseconds(kInterruptPollMs), &ready))
            return false;
    }
    if (DrainOutput(Fd(handle_)))
        return true;
    if (!InterruptRequested())
        RecordLinkIoFailure(LinkIoOperation::kWrite, std::strerror(errno));
    return false;
}

bool ComPort::Escape(uint32_t code)
{
    if (handle_ == kInvalidHandle)
        return false;
    switch (code) {
    case kEscapeSetXoff:
        return FlowControl(Fd(handle_), TCOOFF);
    case kEscapeSetXon:
        return FlowControl(Fd(handle_), TCOON);
    case kEscapeSetRts:
        return SetModemLines(Fd(handle_), TIOCM_RTS);
    case kEscapeClrRts:
        return ClearModemLines(Fd(handle_), TIOCM_RTS);
    case kEscapeSetDtr:
        return SetModemLines(Fd(handle_), TIOCM_DTR);
    case kEscapeClrDtr:
        return ClearModemLines(Fd(handle_), TIOCM_DTR);
    case kEscapeSetBreak:
        return ioctl(Fd(handle_), TIOCSBRK) == 0;
    case kEscapeClrBreak:
        return ioctl(Fd(handle_), TIOCCBRK) == 0;
    default:
        return false;
    }
}
