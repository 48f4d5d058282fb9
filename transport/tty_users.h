// Whether some other program has a serial device open. No lock protects a
// port from a program that simply opens it (a terminal, cat): both would read
// the target's replies, and taking a USB converter from its kernel driver
// would hang that program up. These look for it as far as the system lets a
// process see: a lock on the device, or a descriptor of it in a process
// whose descriptors we may read. A process of another user hides its
// descriptors from an ordinary user, and nothing stops a program from opening
// the device after the look.
#pragma once

#include <string>

#include "link_failure.h"

// What a look for the other users of a terminal found. A look that could not
// be made (no descriptors left to read /proc with, no memory) tells nothing:
// the terminal must then be refused, as if in use.
struct TtyUse {
    bool looked = false;
    bool inUse = false;
    std::string tty;      // UsbDeviceTtyUse: the terminal found in use
    std::string failure;  // why the look could not be made, in the system's words
};

// The terminal open on this descriptor is also open in another process, or
// locked by one. The processes that started this one are not counted: a
// script or a tool that opened the port and then ran us handed it to us.
TtyUse TtyOpenElsewhere(int descriptor);

// One of the terminals that the kernel made for this USB device (a ttyUSB or
// ttyACM node of one of its interfaces) is open in a process or locked. Here
// nobody is exempt, not even the processes that started this one: the USB
// links never use the terminal, and detaching the kernel driver would hang
// up whoever has it open (a terminal session that runs us in another window).
TtyUse UsbDeviceTtyUse(int bus, int address);

// A converter whose terminal is open elsewhere, or that could not be looked
// for, is not taken from its kernel driver: that program would be hung up.
// Records why for the USB device node and says whether to refuse.
inline bool ConverterTtyRefused(const TtyUse& use, const std::string& node)
{
    if (use.looked && !use.inUse)
        return false;
    RecordLinkFailure(use.looked ? LinkFailureKind::kConverterBusy : LinkFailureKind::kOther,
                      use.looked ? "its serial port " + use.tty + " is open"
                                 : "cannot see which programs have its serial port open: " + use.failure,
                      node);
    return true;
}

// Every lock on the terminal open on this descriptor is held by a process
// that started this one (flock(1) running us with the port locked): that lock
// is the caller's, handed to us like an open descriptor. False also when the
// locks cannot be read.
bool LockedOnlyByCallers(int descriptor);

// The terminal is a port of a USB-to-serial converter (ttyUSB).
bool TtyIsUsbSerial(int descriptor);

// How messages name the USB device at this bus and address: its device node
// where the system has one.
std::string UsbDeviceName(int bus, int address);
