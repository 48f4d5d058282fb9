// What a person is told to do where the operating system decides how: the
// words that complete the diagnostics of diagnostics.cpp. One implementation
// per system, chosen by the build.
#pragma once

#include <string>

// Why a -COM name that ComPort::DevicePath maps to nothing names no port.
std::string PortNamingAdvice();

// How a user joins the group that owns a device node.
std::string JoinGroupAdvice(const std::string& group);

// How to find the program that holds a port.
std::string PortHolderAdvice(const std::string& path);

// What lets this user use a USB converter that the system refused.
std::string UsbAccessAdvice();

// What to do about a converter that could not be claimed.
std::string ConverterBusyAdvice();

// What the USB links cannot see before they take a converter from its serial
// driver, for standard error before they open; empty where nothing is hidden.
std::string UsbLinkLimits();
