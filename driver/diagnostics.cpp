#include "diagnostics.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "advice.h"
#include "com_port.h"
#include "link_failure.h"
#include "settings.h"
#include "transfer.h"

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
            fprintf(stderr, "update: %s names no port (%s); \"update --list\" shows the ports there are\n", name,
                    PortNamingAdvice().c_str());
        else
            fprintf(stderr, "update: there is no port %s: %s; \"update --list\" shows the ports there are\n", port, text);
        break;
    case LinkFailureKind::kPermissionDenied:
        if (failure.group.empty() || failure.group == "root")
            fprintf(stderr, "update: no permission to open %s: %s; ask the administrator for access to it\n", port, text);
        else
            fprintf(stderr, "update: no permission to open %s: %s; it belongs to group %s: %s\n", port, text,
                    failure.group.c_str(), JoinGroupAdvice(failure.group).c_str());
        break;
    case LinkFailureKind::kPortBusy:
        fprintf(stderr, "update: %s is held by another program: %s; close it (%s) and try again\n", port, text,
                PortHolderAdvice(path).c_str());
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
        fprintf(stderr, "update: no permission to use the USB device of the %s%s: %s; %s\n", label, at.c_str(), text,
                UsbAccessAdvice().c_str());
        break;
    case LinkFailureKind::kConverterBusy:
        fprintf(stderr, "update: the %s \"%s\"%s is claimed by another program: %s; %s\n", label, name, at.c_str(),
                text, ConverterBusyAdvice().c_str());
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

std::string Hex(int byte)
{
    char text[8];
    snprintf(text, sizeof text, "0x%02x", byte & 0xFF);
    return text;
}

std::string Bytes(const int* bytes, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += (i ? " " : "") + Hex(bytes[i]);
    return text;
}

std::string DrainText(const TransferFacts& facts)
{
    if (facts.drained == 0)
        return "the drains in the run discarded no bytes";
    const int shown = int(std::min<uint64_t>(facts.drained, kDrainedBytesKept));
    int kept[kDrainedBytesKept];
    for (int i = 0; i < shown; ++i)
        kept[i] = facts.firstDrained[i];
    return "the drains in the run discarded " + std::to_string(facts.drained) +
           (facts.drained == 1 ? " byte: " : " bytes, first ") + Bytes(kept, shown) +
           (facts.drained > uint64_t(shown) ? " ..." : "");
}

// A line that garbles shows up as bytes the target never sends: drained bytes
// other than an acceptance, or rejections that differ from one send to the
// next (a target that rejects a block answers with its one rejection byte).
bool Garbled(const TransferFacts& facts)
{
    const int shown = int(std::min<uint64_t>(facts.drained, kDrainedBytesKept));
    for (int i = 0; i < shown; ++i) {
        if (facts.firstDrained[i] != kBlockAccepted)
            return true;
    }
    int reject = -1;
    for (int i = 0; i < facts.replyCount; ++i) {
        if (facts.replies[i] == kBlockAccepted)
            continue;
        if (reject >= 0 && facts.replies[i] != reject)
            return true;
        reject = facts.replies[i];
    }
    return false;
}

std::string ThisEnd(int32_t transportType, const char* name, uint32_t baudRate)
{
    const std::string link = transportType == kTransportComPort ? std::string(name) : ShellArgument("-D", name);
    return link + " at " + std::to_string(baudRate) + " baud " + (transportType == kTransportComPort ? "8E1" : "8N1");
}

}  // namespace

void ExplainTransferFailure(const TransferFacts& facts, int32_t transportType, const char* name, uint32_t baudRate)
{
    if (facts.end == TransferFacts::kComplete)
        return;
    fflush(stdout);  // the reason follows the message it explains
    char block[96];
    snprintf(block, sizeof block, "block %d of %d (offset %d, %d bytes)", facts.block, facts.blocks, int(facts.offset),
             int(facts.size));
    const std::string earlier =
        facts.send > 1 ? "; its earlier sends got " + Bytes(facts.replies, facts.send - 1) : std::string();
    const std::string drains = DrainText(facts);
    std::string io;
    if (!facts.writeFailure.empty() && facts.writeFailure == facts.readFailure)
        io = "write and read failed: " + facts.writeFailure;
    else if (!facts.writeFailure.empty())
        io = "write failed: " + facts.writeFailure + (facts.readFailure.empty() ? "" : "; its read: " + facts.readFailure);
    else if (!facts.readFailure.empty())
        io = "read failed: " + facts.readFailure;
    char waited[48];
    snprintf(waited, sizeof waited, "%.0f ms", facts.waitedMs);

    if (facts.end == TransferFacts::kInterrupted) {
        const char* step = facts.step == TransferFacts::kDraining  ? "while draining stale input before it"
                           : facts.step == TransferFacts::kSending ? "while sending it"
                                                                   : "while waiting for its reply";
        fprintf(stderr, "update: interrupted at %s, send %d of %d, %s%s%s; %s\n", block, facts.send,
                kRejectionsPerBlock, step,
                facts.step == TransferFacts::kWaiting ? (std::string(" (") + waited + ")").c_str() : "",
                earlier.c_str(), drains.c_str());
        return;
    }

    if (facts.end == TransferFacts::kRejected) {
        fprintf(stderr, "update: %s rejected at all %d sends: replies %s, the last after %s; %s\n", block,
                kRejectionsPerBlock, Bytes(facts.replies, facts.replyCount).c_str(), waited, drains.c_str());
        if (Garbled(facts))
            fprintf(stderr, "update: likely cause: a rate or parity mismatch (this end: %s; the target must use the same)\n",
                    ThisEnd(transportType, name, baudRate).c_str());
        else
            fprintf(stderr, "update: likely cause: the target's check fails on this block every time: the image is "
                            "damaged or not made for this target\n");
        return;
    }

    // Not responding.
    fprintf(stderr, "update: %s, send %d of %d: %s%s; %s\n", block, facts.send, kRejectionsPerBlock,
            io.empty() ? (std::string("no reply within ") + waited).c_str() : ("the link's " + io).c_str(),
            earlier.c_str(), drains.c_str());
    if (!io.empty())
        fprintf(stderr, "update: likely cause: the port or converter went away (unplugged, a loose cable to a USB "
                        "converter, or its driver stopped)\n");
    else if (Garbled(facts))
        fprintf(stderr, "update: likely cause: a rate or parity mismatch (this end: %s; the target must use the same)\n",
                ThisEnd(transportType, name, baudRate).c_str());
    else if (facts.block == 1 && facts.send == 1)
        fprintf(stderr, "update: likely cause: the target is not waiting for an update, or the port or the rate is "
                        "wrong (this end: %s)\n",
                ThisEnd(transportType, name, baudRate).c_str());
    else if (facts.block > 1)
        fprintf(stderr, "update: likely cause: the target stopped or reset after accepting %d block%s, or a cable "
                        "came loose\n",
                facts.block - 1, facts.block == 2 ? "" : "s");
    else
        fprintf(stderr, "update: likely cause: the target stopped or reset after rejecting this block %d time%s, or "
                        "a cable came loose\n",
                facts.send - 1, facts.send == 2 ? "" : "s");
}

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
