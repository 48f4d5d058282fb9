// Windows: the links say only what the vendor libraries and the Win32 calls
// say (no groups, no device nodes); these complete the shared diagnostics
// should a link record such a failure.
#include "advice.h"

std::string PortNamingAdvice()
{
    return "COM1 is the first";
}

std::string JoinGroupAdvice(const std::string&)
{
    return "ask the administrator for access to it";
}

std::string PortHolderAdvice(const std::string&)
{
    return "Resource Monitor's Associated Handles name it";
}

std::string UsbAccessAdvice()
{
    return "check the converter's driver in the Device Manager";
}

std::string ConverterBusyAdvice()
{
    return "close it and try again";
}

std::string UsbLinkLimits()
{
    return "";
}
