#include "uart_stand_in.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <limits.h>
#include <mutex>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Start bit, 8 data bits, parity bit, stop bit.
constexpr int64_t kBitsPerByte = 11;

// What the driver no longer holds while it goes out: the 16550A's transmit
// FIFO (16 bytes) and its shift register. TIOCOUTQ (the serial core's
// uart_chars_in_buffer) counts only the driver's own buffer; tcdrain waits
// for the transmitter to be empty.
constexpr size_t kInTheUart = 16 + 1;

// A stand-in is in scope; looked at on every write of the process.
std::atomic<bool> active{false};

struct Uart {
    std::string slave;
    bool settingsSet = false;
    struct termios2 settings = {};
    Clock::time_point lineFree;  // when the last byte written has left
};

Uart& TheUart()
{
    static Uart uart;
    return uart;
}

std::mutex& Lock()
{
    static std::mutex lock;
    return lock;
}

using IoctlFunction = int (*)(int, unsigned long, ...);
using WriteFunction = ssize_t (*)(int, const void*, size_t);

IoctlFunction RealIoctl()
{
    static const IoctlFunction real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    return real;
}

WriteFunction RealWrite()
{
    static const WriteFunction real = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
    return real;
}

// The descriptor is the stand-in's pty slave.
bool IsTheUart(int fd)
{
    if (!active)
        return false;
    char link[64];
    char target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    std::lock_guard<std::mutex> guard(Lock());
    return length > 0 && TheUart().slave == std::string(target, size_t(length));
}

Clock::duration ByteTime(const Uart& uart)
{
    const int64_t rate = std::max<int64_t>(uart.settings.c_ospeed, 1);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(kBitsPerByte * 1000000000 / rate));
}

size_t WaitingNow(const Uart& uart)
{
    const Clock::duration left = uart.lineFree - Clock::now();
    if (left.count() <= 0)
        return 0;
    const Clock::duration byte = ByteTime(uart);
    return size_t((left + byte - Clock::duration(1)) / byte);
}

// tcdrain on a UART: sleeps until the line is free; a signal ends it with EINTR.
int Drain()
{
    Clock::time_point until;
    {
        std::lock_guard<std::mutex> guard(Lock());
        until = TheUart().lineFree;
    }
    const Clock::duration left = until - Clock::now();
    if (left.count() <= 0)
        return 0;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    struct timespec time = {time_t(ns / 1000000000), long(ns % 1000000000)};
    if (nanosleep(&time, nullptr) != 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

}  // namespace

UartStandIn::UartStandIn(const std::string& slavePath)
{
    std::lock_guard<std::mutex> guard(Lock());
    Uart& uart = TheUart();
    uart = Uart();
    uart.slave = slavePath;
    active = true;
}

UartStandIn::~UartStandIn()
{
    active = false;
    std::lock_guard<std::mutex> guard(Lock());
    TheUart() = Uart();
}

struct termios2 UartStandIn::Settings() const
{
    std::lock_guard<std::mutex> guard(Lock());
    return TheUart().settings;
}

size_t UartStandIn::Waiting() const
{
    std::lock_guard<std::mutex> guard(Lock());
    return WaitingNow(TheUart());
}

// This process's calls land here before the C library's.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (!IsTheUart(fd))
        return RealIoctl()(fd, request, argument);
    if (request == TCSBRK && reinterpret_cast<uintptr_t>(argument) != 0)
        return Drain();
    std::lock_guard<std::mutex> guard(Lock());
    Uart& uart = TheUart();
    if (request == TIOCOUTQ) {
        const size_t waiting = WaitingNow(uart);
        *static_cast<int*>(argument) = int(waiting > kInTheUart ? waiting - kInTheUart : 0);
        return 0;
    }
    const int result = RealIoctl()(fd, request, argument);
    if (result != 0)
        return result;
    if (request == TCSETS2) {
        uart.settings = *static_cast<const struct termios2*>(argument);
        uart.settingsSet = true;
    } else if (request == TCGETS2 && uart.settingsSet) {
        // The pty's own control flags lose the parity; the UART's keep it.
        static_cast<struct termios2*>(argument)->c_cflag = uart.settings.c_cflag;
    }
    return result;
}

extern "C" ssize_t write(int fd, const void* buffer, size_t count)
{
    const ssize_t written = RealWrite()(fd, buffer, count);
    if (written <= 0 || !IsTheUart(fd))
        return written;
    std::lock_guard<std::mutex> guard(Lock());
    Uart& uart = TheUart();
    uart.lineFree = std::max(uart.lineFree, Clock::now()) + ByteTime(uart) * written;
    return written;
}
