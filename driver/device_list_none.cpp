// Platforms without a way to look implemented yet: nothing is listed.
#include "device_list.h"

bool ListSerialPorts(std::vector<SerialPortInfo>*)
{
    return false;
}

bool ListUsbConverters(std::vector<UsbConverterInfo>*)
{
    return false;
}

std::string UsbListingGap()
{
    return "";
}
