// What is attached, read from sysfs and udev's /dev/serial links: readable by
// every user, and no device is opened for it.
#include "device_list.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

#include "usb_ids.h"

namespace {

const char kTtyClass[] = "/sys/class/tty";
const char kUsbDevices[] = "/sys/bus/usb/devices";
const char* const kSerialLinkFolders[] = {"/dev/serial/by-id", "/dev/serial/by-path"};

std::vector<std::string> Entries(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return names;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool ReadLink(const std::string& path, std::string* target)
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0)
        return false;
    target->assign(buffer, size_t(length));
    return true;
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A sysfs attribute without the line feed that the kernel appends; other
// white space belongs to the value (a product string may end in a space).
bool ReadAttribute(const std::string& path, std::string* value)
{
    FILE* file = fopen(path.c_str(), "r");
    if (!file)
        return false;
    value->clear();
    char buffer[512];
    size_t length;
    while ((length = fread(buffer, 1, sizeof buffer, file)) > 0)
        value->append(buffer, length);
    fclose(file);
    if (!value->empty() && value->back() == '\n')
        value->pop_back();
    return true;
}

bool ReadHex16(const std::string& path, uint16_t* value)
{
    std::string text;
    if (!ReadAttribute(path, &text) || text.empty())
        return false;
    char* end = nullptr;
    const unsigned long number = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0' || number > 0xFFFF)
        return false;
    *value = uint16_t(number);
    return true;
}

// The links read strings with libusb's libusb_get_string_descriptor_ascii,
// which hands over every UTF-16 unit of 0x80 or more as '?' (libusb 1.0.26,
// core.c): "Ger\u00e4t" reaches the links as "Ger?t". The kernel's copy in
// sysfs is UTF-8. Converted the same way, unit by unit, it is the text that
// -D must give: a character beyond U+FFFF is two units, so two '?'.
std::string AsTheLinksReadIt(const std::string& utf8)
{
    std::string text;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        size_t length = 1;
        if (lead >= 0xF0)
            length = 4;
        else if (lead >= 0xE0)
            length = 3;
        else if (lead >= 0xC0)
            length = 2;
        i += length;
        if (lead < 0x80)
            text += char(lead);
        else
            text += length == 4 ? "??" : "?";
    }
    return text;
}

// "../../devices/x/y" seen from folder, as an absolute path without dots.
std::string Resolve(const std::string& folder, const std::string& target)
{
    std::vector<std::string> parts;
    const std::string joined = target[0] == '/' ? target : folder + "/" + target;
    size_t start = 0;
    while (start <= joined.size()) {
        size_t end = joined.find('/', start);
        if (end == std::string::npos)
            end = joined.size();
        const std::string part = joined.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string path;
    for (const std::string& part : parts)
        path += "/" + part;
    return path;
}

struct UsbDevice {
    std::string sysfsPath;
    uint16_t vendor = 0;
    uint16_t product = 0;
    int bus = 0;
    int address = 0;
};

bool ReadUsbDevice(const std::string& path, UsbDevice* device)
{
    std::string bus;
    std::string address;
    if (!ReadHex16(path + "/idVendor", &device->vendor) || !ReadHex16(path + "/idProduct", &device->product) ||
        !ReadAttribute(path + "/busnum", &bus) || !ReadAttribute(path + "/devnum", &address))
        return false;
    device->sysfsPath = path;
    device->bus = std::atoi(bus.c_str());
    device->address = std::atoi(address.c_str());
    return true;
}

// The USB device a tty belongs to: the nearest folder above it with USB ids.
bool UsbDeviceAbove(std::string path, UsbDevice* device)
{
    while (path.size() > std::strlen("/sys/devices")) {
        path = path.substr(0, path.rfind('/'));
        if (ReadUsbDevice(path, device))
            return true;
    }
    return false;
}

// Placeholders that the 8250 driver registers for ports without a UART
// report the port type 0.
bool IsPlaceholder(const std::string& name)
{
    std::string type;
    return name.compare(0, 4, "ttyS") == 0 && ReadAttribute(std::string(kTtyClass) + "/" + name + "/type", &type) &&
           type == "0";
}

}  // namespace

bool ListSerialPorts(std::vector<SerialPortInfo>* ports)
{
    const std::vector<std::string> names = Entries(kTtyClass);
    for (const std::string& name : names) {
        std::string target;
        if (!ReadLink(std::string(kTtyClass) + "/" + name, &target))
            continue;
        const std::string path = Resolve(kTtyClass, target);
        // Consoles, pseudo-terminals and the like have no hardware behind them.
        if (path.find("/devices/virtual/") != std::string::npos || IsPlaceholder(name))
            continue;
        SerialPortInfo port;
        port.kernelName = name;
        port.device = "/dev/" + name;
        // Newer kernels put a serial core "port" device between the tty and
        // the UART's own driver; its driver name says nothing.
        std::string driver;
        if (ReadLink(std::string(kTtyClass) + "/" + name + "/device/driver", &driver) && BaseName(driver) != "port")
            port.driver = BaseName(driver);
        UsbDevice usb;
        if (UsbDeviceAbove(path, &usb)) {
            port.usb = true;
            port.vendor = usb.vendor;
            port.product = usb.product;
            ReadAttribute(usb.sysfsPath + "/product", &port.description);
        }
        for (const char* folder : kSerialLinkFolders) {
            for (const std::string& link : Entries(folder)) {
                std::string device;
                if (ReadLink(std::string(folder) + "/" + link, &device) && BaseName(device) == name)
                    port.links.push_back(std::string(folder) + "/" + link);
            }
        }
        ports->push_back(port);
    }
    return !names.empty() || access(kTtyClass, R_OK) == 0;
}

bool ListUsbConverters(std::vector<UsbConverterInfo>* converters)
{
    std::vector<std::pair<UsbDevice, UsbConverterInfo>> found;
    const std::vector<std::string> names = Entries(kUsbDevices);
    for (const std::string& name : names) {
        std::string target;
        UsbDevice device;
        if (!ReadLink(std::string(kUsbDevices) + "/" + name, &target) ||
            !ReadUsbDevice(Resolve(kUsbDevices, target), &device))
            continue;
        if (!UsbIdListed(kFtdiLinkIds, device.vendor, device.product) &&
            !UsbIdListed(kCp2102LinkIds, device.vendor, device.product))
            continue;
        UsbConverterInfo converter;
        converter.vendor = device.vendor;
        converter.product = device.product;
        char node[64];
        snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", device.bus, device.address);
        converter.node = node;
        std::string text;
        if (ReadAttribute(device.sysfsPath + "/product", &text))
            converter.description = AsTheLinksReadIt(text);
        ReadAttribute(device.sysfsPath + "/serial", &converter.serial);
        found.emplace_back(device, converter);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.first.bus != b.first.bus ? a.first.bus < b.first.bus : a.first.address < b.first.address;
    });

    for (auto& entry : found) {
        for (const std::string& name : Entries(kTtyClass)) {
            std::string target;
            UsbDevice owner;
            if (ReadLink(std::string(kTtyClass) + "/" + name, &target) &&
                UsbDeviceAbove(Resolve(kTtyClass, target), &owner) && owner.bus == entry.first.bus &&
                owner.address == entry.first.address)
                entry.second.ports.push_back(name);
        }
        converters->push_back(entry.second);
    }
    return !names.empty() || access(kUsbDevices, R_OK) == 0;
}

std::string UsbListingGap()
{
    return "";
}
