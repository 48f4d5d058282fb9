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

// The terminal open on this descriptor is also open in another process, or
// locked by one. The processes that started this one are not counted: a
// script or a tool that opened the port and then ran us handed it to us.
bool TtyOpenElsewhere(int descriptor);

// One of the terminals that the kernel made for this USB device (a ttyUSB or
// ttyACM node of one of its interfaces) is open in a process or locked; its
// node is stored when tty is not null.
bool UsbDeviceTtyInUse(int bus, int address, std::string* tty = nullptr);

// The terminal is a port of a USB-to-serial converter (ttyUSB).
bool TtyIsUsbSerial(int descriptor);
