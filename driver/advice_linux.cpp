// Linux: ports numbered like COM ports, groups, fuser, and the udev rules
// that open the USB device nodes to the users at the seat.
#include "advice.h"

std::string PortNamingAdvice()
{
    return "COM1 is the first";
}

std::string JoinGroupAdvice(const std::string& group)
{
    return "add yourself to group " + group + " (sudo usermod -aG " + group + " $USER) and log in again";
}

std::string PortHolderAdvice(const std::string& path)
{
    return "fuser -v " + path + " names it";
}

std::string UsbAccessAdvice()
{
    return "install the udev rules (60-update.rules, see \"man update\") or join group plugdev";
}

std::string ConverterBusyAdvice()
{
    return "close it and try again";
}

// The links find the converter's tty in sysfs and its users under /proc.
std::string UsbLinkLimits()
{
    return "";
}
