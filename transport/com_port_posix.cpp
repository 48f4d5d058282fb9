// Serial port on POSIX systems: the port is a terminal device driven raw,
// with the read time-outs kept by poll and a monotonic clock. What differs
// between the systems is in com_port_linux.cpp and com_port_macos.cpp
// (com_port_system.h).
#include "com_port.h"
#include "com_port_system.h"

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
#include <time.h>
#include <unistd.h>

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

// Start bit, 8 data bits, parity bit, stop bit.
constexpr uint64_t kBitsPerByte8E1 = 11;

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
    const bool already = ExclusiveAlready(handle);
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

// A read that found the end of the line (0) or an error (errno).
bool ReadFailed(int error)
{
    RecordLinkIoFailure(LinkIoOperation::kRead, error == 0 ? "the line hung up" : std::strerror(error));
    return false;
}

// Waits up to the given time for the descriptor to be ready; false on hang-up
// or error. A wait cut short by a signal comes back as not ready, so that the
// caller looks at the interrupt request at once.
bool WaitFor(int handle, short events, std::chrono::nanoseconds wait, bool* ready)
{
    struct pollfd entry = {handle, events, 0};
    const int result = PollFor(&entry, wait);
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

// Returns once the output has left the port: the reply time-out must not start
// while a long block is still going out at a low rate. While the driver still
// holds bytes it is asked again in short steps, so that an interrupt is seen
// within one step even when the block takes minutes at 110 baud; the last
// few bytes in the UART itself are waited for in one go.
bool DrainOutput(int handle, uint32_t rate)
{
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

// The driver did not take the rate: errno says why, or it set another rate.
void RecordRateRefused(uint32_t actualRate)
{
    LinkFailure failure;
    failure.kind = LinkFailureKind::kRateRefused;
    failure.systemText = std::strerror(errno);
    failure.actualRate = actualRate;
    RecordLinkFailure(failure);
}

// A rate that the driver rounds by more than this has not been taken.
constexpr uint32_t kRateTolerancePercent = 2;

bool ComPort::RateTaken(uint32_t wanted, uint32_t made)
{
    const uint64_t difference = wanted > made ? wanted - made : made - wanted;
    return difference * 100 <= uint64_t(wanted) * kRateTolerancePercent;
}

LineSettings ComPort::LineSettingsFor(uint32_t baudRate)
{
    return DefaultLineSettings(baudRate, kParityEven);
}

std::string ComPort::DevicePath(const char* name)
{
    if (std::strncmp(name, "COM", 3) != 0)
        return name;
    const char* rest = name + 3;
    if (*rest == '/')
        return rest;
    const size_t digits = std::strspn(rest, "0123456789");
    if (digits > 0 && rest[digits] == '\0') {
        // COM0 stands for none.
        const unsigned long number = std::strtoul(rest, nullptr, 10);
        if (number == 0 || digits > 9)
            return "";
        return NumberedPortPath(number);
    }
    return std::string("/dev/") + rest;
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
    PrepareForPort();
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
    lineRate_ = baudRate;
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
    RestoreLatency(Fd(handle_), formerSerialFlags_);
    formerSerialFlags_ = -1;
    lineRate_ = 0;
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
    if (DrainOutput(Fd(handle_), lineRate_))
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
        return SuspendOutput(Fd(handle_), true);
    case kEscapeSetXon:
        return SuspendOutput(Fd(handle_), false);
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
