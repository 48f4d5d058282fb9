// What is attached, as macOS shows it without IOKit: each serial port has a
// pair of nodes in /dev, tty.<name> to wait for a call and cu.<name> to make
// one (Apple's "Serial Device Programming" guide), and only the callout node
// suits an outgoing link. Which USB device a port belongs to, and the USB
// devices themselves, only IOKit tells; this program does not use it, so the
// converters are not listed.
#include "device_list.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>

bool ListSerialPorts(std::vector<SerialPortInfo>* ports)
{
    DIR* devices = opendir("/dev");
    if (!devices)
        return false;
    while (const dirent* entry = readdir(devices)) {
        if (std::strncmp(entry->d_name, "cu.", 3) != 0)
            continue;
        SerialPortInfo port;
        port.kernelName = entry->d_name;
        port.device = "/dev/" + port.kernelName;
        ports->push_back(port);
    }
    closedir(devices);
    std::sort(ports->begin(), ports->end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.device < b.device; });
    return true;
}

bool ListUsbConverters(std::vector<UsbConverterInfo>*)
{
    return false;
}

std::string UsbListingGap()
{
    return "macOS shows USB devices through IOKit, which this program does not use, so the converters are not "
           "listed; -T1 or -T2 with a -D that matches none names the converters attached";
}
