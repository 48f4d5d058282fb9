// A UART behind a pseudo-terminal, for the serial port's tests. A pty is no
// UART: its output is with the reader as soon as it is written (TIOCOUTQ
// reads 0 and TCSBRK returns at once, measured on Linux 6.x), and it keeps
// no parity (the kernel's pty_set_termios clears PARENB and forces CS8). While
// a stand-in is in scope, this process's write and ioctl calls on the pty's
// slave pass through it first, and it adds what a 16550 with the 8250 driver
// does (tty_ioctl(4), the kernel's serial8250_do_set_termios):
//  - the line settings are kept as set (TCSETS2), and TCGETS2 reports them;
//  - written bytes go out at the line rate, 11 bits apiece (8E1): TIOCOUTQ
//    counts those the driver still holds (not the 17 in the 16550A's FIFO
//    and shift register), TCSBRK with a non-zero argument (tcdrain) returns
//    once all have left, or with EINTR when a signal comes.
#pragma once

#include <asm/termbits.h>
#include <cstddef>
#include <string>

class UartStandIn {
public:
    explicit UartStandIn(const std::string& slavePath);
    ~UartStandIn();
    UartStandIn(const UartStandIn&) = delete;
    UartStandIn& operator=(const UartStandIn&) = delete;

    // The settings last set, as the UART's driver keeps them; all zero before.
    struct termios2 Settings() const;
    // Bytes written and not yet on the line.
    size_t Waiting() const;
};
