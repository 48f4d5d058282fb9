// What is attached: the serial ports and the USB converters that the links
// can open, as the system shows them to every user. Looking opens no device,
// claims nothing and detaches no driver. One implementation per platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SerialPortInfo {
    std::string device;                 // the path to open, such as /dev/ttyUSB0
    std::string kernelName;             // ttyUSB0
    std::string driver;                 // the kernel driver, when known
    std::vector<std::string> links;     // stable names: /dev/serial/by-id/..., by-path/...
    bool usb = false;                   // a port of a USB device, described below
    uint16_t vendor = 0;
    uint16_t product = 0;
    std::string description;            // the USB device's product string
};

struct UsbConverterInfo {
    uint16_t vendor = 0;
    uint16_t product = 0;
    std::string node;                   // its device node, such as /dev/bus/usb/001/005
    std::string description;            // the product string, as the links compare it
    std::string serial;
    std::vector<std::string> ports;     // serial ports the kernel made of it (ttyUSB0)
};

// False when the system could not be asked; the lists hold what was found.
bool ListSerialPorts(std::vector<SerialPortInfo>* ports);
// Converters whose ids the FTDI or the CP2102 link opens, in bus and address order.
bool ListUsbConverters(std::vector<UsbConverterInfo>* converters);
// Why this system's converters are not listed, for standard error; empty
// where ListUsbConverters looks.
std::string UsbListingGap();
