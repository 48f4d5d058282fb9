// macOS: ports by device name only, lsof, and USB converters that a serial
// driver holds.
#include "advice.h"

#include <unistd.h>

// The serial ports are /dev/cu.<name> and /dev/tty.<name> after the driver's
// name for them (cu.usbserial-A10K3L2M, cu.Bluetooth-Incoming-Port): there
// is no numbering that COM1 could stand for.
std::string PortNamingAdvice()
{
    return "macOS numbers no ports: give the port's device, such as -COM/dev/cu.usbserial-A10K3L2M";
}

// macOS has no usermod; dseditgroup edits the directory's groups.
std::string JoinGroupAdvice(const std::string& group)
{
    return "add yourself to group " + group + " (sudo dseditgroup -o edit -a $USER -t user " + group +
           ") and log in again";
}

std::string PortHolderAdvice(const std::string& path)
{
    return "lsof " + path + " names it";
}

// A converter that a serial driver has (Apple's, or the vendor's) is free to
// libusb only once the driver lets go: libusb "captures" the device for that
// (libusb 1.0.25 and later), which macOS allows only to root. Without a
// driver on it, no rights are needed.
std::string UsbAccessAdvice()
{
    return "macOS lets only root take a converter from its serial driver: run update with sudo";
}

std::string ConverterBusyAdvice()
{
    return "close it and try again; if no program has it, its serial driver holds it, and macOS lets only root "
           "take a converter from its driver: run update with sudo";
}

// Which /dev/cu.* node belongs to which USB device only IOKit tells, and this
// program does not use IOKit: as root, the link takes the converter from its
// driver even while another program has its port open.
std::string UsbLinkLimits()
{
    if (geteuid() != 0)
        return "";
    return "macOS does not show whether a program has this converter's serial port (/dev/cu.*) open; "
           "taking the converter from its driver ends that program's use of it";
}
