// Why the last Open of a link failed, kept for the driver to explain (links
// never print). Like errno: the link records it where Open fails, with the
// system's or the library's own error text, and the driver reads it after a
// failed Open. It is cleared before each Open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class LinkFailureKind {
    kNone,
    kPortMissing,        // no device of that name (or none behind its node)
    kPermissionDenied,   // the device node is not open to this user; see group
    kPortBusy,           // another program holds the port
    kNotATerminal,       // the device is no serial port
    kRateRefused,        // the driver or the converter did not take the settings
    kNoSuchConverter,    // no attached converter has that description; see attached
    kUsbAccessDenied,    // the USB device node is not open to this user
    kConverterBusy,      // another program has claimed the converter
    kOther,
};

struct LinkFailure {
    LinkFailureKind kind = LinkFailureKind::kNone;
    std::string systemText;             // the system's or the library's words
    std::string device;                 // the device concerned, when the link knows it
    std::string group;                  // kPermissionDenied: the group that owns the device
    uint32_t actualRate = 0;            // kRateRefused: what the port runs at instead, if known
    std::vector<std::string> attached;  // kNoSuchConverter: the descriptions found
};

void ClearLinkFailure();
const LinkFailure& LastLinkFailure();
// Replaces the record.
void RecordLinkFailure(const LinkFailure& failure);
void RecordLinkFailure(LinkFailureKind kind, const std::string& systemText, const std::string& device = "");
// Records only when nothing more precise was recorded since the last clear.
void RecordLinkFailureIfNone(LinkFailureKind kind, const std::string& systemText);

// Why Read or Write of an open link failed (a converter unplugged, a port
// that vanished), kept the same way: the link records the system's or the
// library's words where a transfer fails; the driver clears the record before
// a send and reads it when the target seems silent.
enum class LinkIoOperation { kRead, kWrite };

struct LinkIoFailure {
    std::string write;  // empty: no write failed
    std::string read;
};

void ClearLinkIoFailure();
const LinkIoFailure& LastLinkIoFailure();
// Keeps the first of each since the last clear: what went wrong first says most.
void RecordLinkIoFailure(LinkIoOperation operation, const std::string& systemText);
