#include "listing.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "com_port.h"
#include "device_list.h"
#include "diagnostics.h"
#include "settings.h"
#include "usb_ids.h"

namespace {

// How an argument fares on the command line, whose markers count anywhere in it.
enum class Fit {
    kSafe,      // sets what it is meant to, and nothing else
    kSetsFile,  // holds -F: sets the image file too, unless a later -F follows
    kUnusable,  // holds a marker that wins over its own, or is too long
};

RunSettings ParsedAlone(const std::string& argument)
{
    RunSettings settings;
    const char* argv[] = {"update", argument.c_str()};
    ParseCommandLine(2, argv, &settings);
    return settings;
}

Fit FitOf(const RunSettings& settings, const char* field, const std::string& value)
{
    if (settings.valueTooLong || value != field)
        return Fit::kUnusable;
    return settings.fileName[0] != '\0' ? Fit::kSetsFile : Fit::kSafe;
}

Fit PortFit(const std::string& comName)
{
    const RunSettings settings = ParsedAlone("-" + comName);
    if (settings.usbDeviceName[0] != '\0')
        return Fit::kUnusable;
    return FitOf(settings, settings.comPortName, comName);
}

Fit DescriptionFit(const std::string& description)
{
    const RunSettings settings = ParsedAlone("-D" + description);
    return FitOf(settings, settings.usbDeviceName, description);
}

// A -COM name for the port that the command line takes whole: COM and the
// number for the first serial ports, else COM and the kernel's name.
std::string SafeComName(const SerialPortInfo& port)
{
    std::vector<std::string> candidates;
    unsigned number = 0;
    char rest = 0;
    if (sscanf(port.kernelName.c_str(), "ttyS%u%c", &number, &rest) == 1)
        candidates.push_back("COM" + std::to_string(number + 1));
    candidates.push_back("COM" + port.kernelName);
    candidates.push_back("COM" + port.device);
    for (const std::string& name : candidates) {
        if (ComPort::DevicePath(name.c_str()) == port.device && PortFit(name) == Fit::kSafe)
            return name;
    }
    return "";
}

void PrintPort(const SerialPortInfo& port)
{
    const std::string name = SafeComName(port);
    printf("  %s: %s", port.device.c_str(),
           name.empty() ? "no -COM name reaches it" : ShellArgument("-" + name.substr(0, 3), name.substr(3)).c_str());
    if (port.usb) {
        printf(" (USB %04x:%04x \"%s\"", port.vendor, port.product, port.description.c_str());
        if (!port.driver.empty())
            printf(", driver %s", port.driver.c_str());
        printf(")");
    } else if (!port.driver.empty()) {
        printf(" (driver %s)", port.driver.c_str());
    }
    printf("\n");
    for (const std::string& link : port.links) {
        switch (PortFit("COM" + link)) {
        case Fit::kSafe:
            printf("    %s: %s\n", link.c_str(), ShellArgument("-COM", link).c_str());
            break;
        case Fit::kSetsFile:
            printf("    %s: holds -F, so as -COM it sets the image file too unless -F comes after it\n", link.c_str());
            break;
        case Fit::kUnusable:
            printf("    %s: cannot be given with -COM (it holds -D, or is too long)\n", link.c_str());
            break;
        }
    }
}

void PrintConverter(const UsbConverterInfo& converter, const char* type)
{
    printf("  %s %04x:%04x", converter.node.c_str(), converter.vendor, converter.product);
    if (!converter.serial.empty())
        printf(" serial %s", converter.serial.c_str());
    if (converter.description.empty()) {
        printf(": no description, so -D cannot choose it");
    } else {
        switch (DescriptionFit(converter.description)) {
        case Fit::kSafe:
            printf(": %s", ShellArgument("-D", converter.description).c_str());
            break;
        case Fit::kSetsFile:
            printf(": %s (it holds -F: give -F after it)", ShellArgument("-D", converter.description).c_str());
            break;
        case Fit::kUnusable:
            printf(": its description is longer than -D takes (99 characters)");
            break;
        }
    }
    for (const std::string& port : converter.ports)
        printf(" (its serial port %s is away while %s runs)", port.c_str(), type);
    printf("\n");
}

template <size_t N>
void PrintConverters(const char* title, const char* type, const UsbId (&ids)[N],
                     const std::vector<UsbConverterInfo>& converters)
{
    printf("%s (%s):\n", title, type);
    bool any = false;
    for (const UsbConverterInfo& converter : converters) {
        if (UsbIdListed(ids, converter.vendor, converter.product)) {
            PrintConverter(converter, type);
            any = true;
        }
    }
    if (!any)
        printf("  none\n");
}

}  // namespace

int ListDevices()
{
    std::vector<SerialPortInfo> ports;
    const bool portsListed = ListSerialPorts(&ports);
    std::vector<UsbConverterInfo> converters;
    const bool convertersListed = ListUsbConverters(&converters);

    printf("Serial ports (-T0):\n");
    for (const SerialPortInfo& port : ports)
        PrintPort(port);
    if (ports.empty())
        printf(portsListed ? "  none\n" : "  none that the system shows\n");
    const std::string usbGap = UsbListingGap();
    if (!usbGap.empty()) {
        printf("FTDI converters (-T1) and CP2102 bridges (-T2): not listed on this system\n");
        fflush(stdout);
        fprintf(stderr, "update: %s\n", usbGap.c_str());
        return 0;
    }
    if (!convertersListed)
        printf("USB: the system shows no USB bus\n");
    PrintConverters("FTDI converters", "-T1", kFtdiLinkIds, converters);
    PrintConverters("CP2102 bridges", "-T2", kCp2102LinkIds, converters);
    // A listing that did not reach its reader (a full disk, a closed pipe) is
    // no listing.
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : -1;
}
