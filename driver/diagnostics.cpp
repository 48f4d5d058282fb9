#include "diagnostics.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "com_port.h"
#include "link_failure.h"
#include "settings.h"

namespace {

bool Plain(const std::string& value)
{
    if (value.empty())
        return false;
    for (unsigned char c : value) {
        if (!std::isalnum(c) && !std::strchr("_./:=@%+,-", c))
            return false;
    }
    return true;
}

bool PrintableAscii(const std::string& value)
{
    for (unsigned char c : value) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

std::string Joined(const std::vector<std::string>& descriptions)
{
    std::string text;
    for (const std::string& description : descriptions)
        text += (text.empty() ? "" : ", ") + ShellArgument("-D", description);
    return text;
}

const char* LinkLabel(int32_t transportType)
{
    return transportType == kTransportFtdi ? "FTDI converter" : "CP2102 bridge";
}

void ExplainPortFailure(const LinkFailure& failure, const char* name, uint32_t baudRate)
{
    const std::string path = failure.device.empty() ? ComPort::DevicePath(name) : failure.device;
    const char* port = path.c_str();
    const char* text = failure.systemText.c_str();
    switch (failure.kind) {
    case LinkFailureKind::kPortMissing:
        if (path.empty())
            fprintf(stderr, "update: %s names no port (COM1 is the first); \"update --list\" shows the ports there are\n",
                    name);
        else
            fprintf(stderr, "update: there is no port %s: %s; \"update --list\" shows the ports there are\n", port, text);
        break;
    case LinkFailureKind::kPermissionDenied:
        if (failure.group.empty() || failure.group == "root")
            fprintf(stderr, "update: no permission to open %s: %s; ask the administrator for access to it\n", port, text);
        else
            fprintf(stderr,
                    "update: no permission to open %s: %s; it belongs to group %s: add yourself to group %s "
                    "(sudo usermod -aG %s $USER) and log in again\n",
                    port, text, failure.group.c_str(), failure.group.c_str(), failure.group.c_str());
        break;
    case LinkFailureKind::kPortBusy:
        fprintf(stderr, "update: %s is held by another program: %s; close it (fuser -v %s names it) and try again\n",
                port, text, port);
        break;
    case LinkFailureKind::kNotATerminal:
        fprintf(stderr, "update: %s is not a serial port: %s\n", port, text);
        break;
    case LinkFailureKind::kRateRefused:
        if (failure.actualRate != 0)
            fprintf(stderr, "update: the driver of %s refused %u baud: the port would run at %u baud\n", port,
                    unsigned(baudRate), unsigned(failure.actualRate));
        else
            fprintf(stderr, "update: the driver of %s refused %u baud: %s\n", port, unsigned(baudRate), text);
        break;
    default:
        fprintf(stderr, "update: cannot use %s: %s\n", port, text);
        break;
    }
}

void ExplainUsbFailure(const LinkFailure& failure, int32_t transportType, const char* name, uint32_t baudRate)
{
    const char* label = LinkLabel(transportType);
    const char* text = failure.systemText.c_str();
    const std::string at = failure.device.empty() ? "" : " at " + failure.device;
    switch (failure.kind) {
    case LinkFailureKind::kNoSuchConverter:
        if (failure.attached.empty())
            fprintf(stderr, "update: no %s answers to %s: none is attached\n", label,
                    ShellArgument("-D", name).c_str());
        else
            fprintf(stderr, "update: no %s answers to %s; attached: %s\n", label, ShellArgument("-D", name).c_str(),
                    Joined(failure.attached).c_str());
        break;
    case LinkFailureKind::kUsbAccessDenied:
        fprintf(stderr,
                "update: no permission to use the USB device of the %s%s: %s; install the udev rules "
                "(60-update.rules, see \"man update\") or join group plugdev\n",
                label, at.c_str(), text);
        break;
    case LinkFailureKind::kConverterBusy:
        fprintf(stderr, "update: the %s \"%s\"%s is claimed by another program: %s; close it and try again\n", label,
                name, at.c_str(), text);
        break;
    case LinkFailureKind::kRateRefused:
        if (failure.actualRate != 0)
            fprintf(stderr, "update: the %s \"%s\" cannot make %u baud: it would run at %u baud\n", label, name,
                    unsigned(baudRate), unsigned(failure.actualRate));
        else
            fprintf(stderr, "update: the %s \"%s\" refused the line settings (%u baud, 8N1): %s\n", label, name,
                    unsigned(baudRate), text);
        break;
    default:
        fprintf(stderr, "update: cannot use the %s \"%s\"%s: %s\n", label, name, at.c_str(), text);
        break;
    }
}

}  // namespace

std::string ShellArgument(const std::string& option, const std::string& value)
{
    if (Plain(value))
        return option + value;
    if (PrintableAscii(value) && value.find_first_of("\"\\$`!") == std::string::npos)
        return option + "\"" + value + "\"";
    if (PrintableAscii(value)) {
        std::string quoted = option + "'";
        for (char c : value)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted + "'";
    }
    // Bytes that cannot be typed: bash's $'...' with hexadecimal escapes.
    std::string quoted = option + "$'";
    for (unsigned char c : value) {
        char escape[5];
        if (c == '\'' || c == '\\') {
            quoted += '\\';
            quoted += char(c);
        } else if (c < 0x20 || c > 0x7E) {
            snprintf(escape, sizeof escape, "\\x%02x", c);
            quoted += escape;
        } else {
            quoted += char(c);
        }
    }
    return quoted + "'";
}

void ExplainOpenFailure(int32_t transportType, const char* name, uint32_t baudRate)
{
    const LinkFailure& failure = LastLinkFailure();
    if (failure.kind == LinkFailureKind::kNone)
        return;
    fflush(stdout);  // the reason follows the message it explains
    if (transportType == kTransportFtdi || transportType == kTransportCp2102)
        ExplainUsbFailure(failure, transportType, name, baudRate);
    else
        ExplainPortFailure(failure, name, baudRate);
}

bool TraceWanted()
{
    const char* value = getenv("UPDATE_TRACE");
    return value && *value && std::strcmp(value, "0") != 0;
}

void TraceBlock(int block, int32_t offset, int32_t size, int send, int reply, std::chrono::steady_clock::duration waited)
{
    const double ms = std::chrono::duration<double, std::milli>(waited).count();
    char replyText[16] = "none";
    if (reply >= 0)
        snprintf(replyText, sizeof replyText, "0x%02x", reply);
    fprintf(stderr, "trace: block=%d offset=%d size=%d send=%d reply=%s ms=%.1f\n", block, int(offset), int(size),
            send, replyText, ms);
}
