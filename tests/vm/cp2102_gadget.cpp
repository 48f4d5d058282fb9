// Puts the emulated CP2102 on a real kernel's USB host side: a FunctionFS
// function of a configfs gadget on dummy_hcd, so that the kernel enumerates
// it and its own cp210x driver binds to it. The function's interface and
// endpoints, the CP210x vendor requests and the simulated target behind the
// bulk endpoints are those of the emulated bridge of the USB tests.
//
// usage: cp2102-gadget FFS_DIR [--reject N[@B]] [--reject-all] [--silent-from B]
// Runs until SIGTERM or SIGINT, then prints what the bridge saw and the
// target's summary on standard output.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cp2102_model.h"

namespace {

// Asked of the device, not of the interface, when cp210x binds: the part
// number decides how the driver quantises rates (0x02: a CP2102).
constexpr uint8_t kRequestTypeVendorDeviceIn = USB_DIR_IN | USB_TYPE_VENDOR | USB_RECIP_DEVICE;
constexpr uint8_t kVendorSpecific = 0xFF;
constexpr uint16_t kGetPartNumber = 0x370B;
constexpr uint8_t kPartNumberCp2102 = 0x02;

constexpr size_t kDeviceDescriptorSize = 18;
constexpr size_t kConfigurationHeaderSize = 9;
constexpr size_t kPacketSize = 64;

std::atomic<bool> stopping(false);

void Stop(int)
{
    stopping = true;
}

struct Gadget {
    std::mutex lock;
    Cp2102Model* model = nullptr;
    std::vector<std::string> log;  // every request, in order
    int ep0 = -1;
    int in = -1;
    int out = -1;
};

void Put32(std::vector<uint8_t>* bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes->push_back(uint8_t(value >> (8 * i)));
}

// The FunctionFS record of the interface and its endpoints, at full speed as
// on the real chip: the interface and endpoint descriptors of the model.
std::vector<uint8_t> FunctionDescriptors(const std::vector<uint8_t>& model)
{
    std::vector<uint8_t> body(model.begin() + kDeviceDescriptorSize + kConfigurationHeaderSize, model.end());
    body[8] = 0;  // iInterface: the function declares no strings of its own
    int count = 0;
    for (size_t at = 0; at < body.size(); at += body[at])
        ++count;
    std::vector<uint8_t> record;
    Put32(&record, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    Put32(&record, uint32_t(4 * 4 + body.size()));
    // Vendor requests to the device (the part number) come here too.
    Put32(&record, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
    Put32(&record, uint32_t(count));
    record.insert(record.end(), body.begin(), body.end());
    return record;
}

std::vector<uint8_t> NoStrings()
{
    std::vector<uint8_t> record;
    Put32(&record, FUNCTIONFS_STRINGS_MAGIC);
    Put32(&record, 16);
    Put32(&record, 0);
    Put32(&record, 0);
    return record;
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes)
{
    return write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

std::string Describe(const SetupPacket& setup, const std::vector<uint8_t>& data, bool answered)
{
    char text[64];
    snprintf(text, sizeof text, "request %02x %02x %04x %04x %u", setup.requestType, setup.request, setup.value,
             setup.index, setup.length);
    std::string line = text;
    if (!data.empty())
        line += " :";
    for (uint8_t byte : data) {
        snprintf(text, sizeof text, " %02x", byte);
        line += text;
    }
    return line + (answered ? "" : " stalled");
}

// One request on the control endpoint. A stall is the read or write of the
// wrong direction; an OUT request's data stage is read before the model sees it.
void Setup(Gadget* gadget, const usb_ctrlrequest& request)
{
    SetupPacket setup = {request.bRequestType, request.bRequest, le16toh(request.wValue), le16toh(request.wIndex),
                         le16toh(request.wLength)};
    std::vector<uint8_t> data;
    bool answered = false;
    if (setup.requestType & USB_DIR_IN) {
        std::lock_guard<std::mutex> hold(gadget->lock);
        if (setup.requestType == kRequestTypeVendorDeviceIn && setup.request == kVendorSpecific &&
            setup.value == kGetPartNumber) {
            data = {kPartNumberCp2102};
            answered = true;
        } else {
            answered = gadget->model->Control(setup, &data);
        }
        if (data.size() > setup.length)
            data.resize(setup.length);
        gadget->log.push_back(Describe(setup, data, answered));
    } else {
        data.resize(setup.length);
        const ssize_t got = read(gadget->ep0, data.data(), data.size());
        data.resize(got > 0 ? size_t(got) : 0);
        std::lock_guard<std::mutex> hold(gadget->lock);
        answered = gadget->model->Control(setup, &data);
        gadget->log.push_back(Describe(setup, data, answered));
        return;  // the status stage went with the read
    }
    if (answered)
        write(gadget->ep0, data.data(), data.size());
    else
        read(gadget->ep0, nullptr, 0);
}

// Host to bridge: every packet goes to the target, at the line's pace.
void CarryOut(Gadget* gadget)
{
    // One packet at a time: a read of more would wait for a short packet
    // that a transfer of whole packets never sends.
    uint8_t buffer[kPacketSize];
    while (!stopping) {
        const ssize_t got = read(gadget->out, buffer, sizeof buffer);
        if (got <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // not yet enabled, or gone
            continue;
        }
        // The transmit buffer takes what fits; the rest waits as the line empties it.
        for (size_t taken = 0; taken < size_t(got) && !stopping;) {
            {
                std::lock_guard<std::mutex> hold(gadget->lock);
                taken += gadget->model->BulkOut(Cp2102Model::kEndpointOut, buffer + taken, size_t(got) - taken);
            }
            if (taken < size_t(got))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

// Bridge to host: what the target answered, as soon as there is any.
void CarryIn(Gadget* gadget)
{
    std::vector<uint8_t> data;
    while (!stopping) {
        bool have = false;
        {
            std::lock_guard<std::mutex> hold(gadget->lock);
            have = gadget->model->BulkIn(Cp2102Model::kEndpointIn, kPacketSize * 16, &data);
        }
        if (!have) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        // Waits until the host takes it. A transfer of whole packets ends with
        // an empty one, or the host's read would wait for more.
        while (!stopping && write(gadget->in, data.data(), data.size()) < 0 && errno != ESHUTDOWN)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (data.size() % kPacketSize == 0)
            write(gadget->in, data.data(), 0);
    }
}

bool ParseOptions(int argc, char** argv, TargetBehaviour* behaviour)
{
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--reject-all") {
            behaviour->rejectAll = true;
        } else if (option == "--reject" && i + 1 < argc) {
            char* end = nullptr;
            const long times = strtol(argv[++i], &end, 10);
            long block = -1;
            if (*end == '@')
                block = strtol(end + 1, &end, 10);
            if (*end != '\0')
                return false;
            behaviour->rejections[block] = int(times);
        } else if (option == "--silent-from" && i + 1 < argc) {
            behaviour->silentFrom = atol(argv[++i]);
        } else {
            return false;
        }
    }
    return true;
}

void Report(Gadget* gadget)
{
    std::lock_guard<std::mutex> hold(gadget->lock);
    const Cp2102Model& model = *gadget->model;
    for (const std::string& line : gadget->log)
        printf("%s\n", line.c_str());
    printf("baud %u\nline-control %04x\nflow %08x %08x\ndtr %d\nrts %d\nenables %d\ndisables %d\n", model.baudRate,
           model.lineControl, FlowWord(model.flowRecord, 0), FlowWord(model.flowRecord, 4), int(model.dtr),
           int(model.rts), model.enables, model.disables);
    printf("%send\n", model.Target().Summary().c_str());
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    TargetBehaviour behaviour;
    if (argc < 2 || !ParseOptions(argc, argv, &behaviour)) {
        fprintf(stderr, "usage: cp2102-gadget FFS_DIR [--reject N[@B]] [--reject-all] [--silent-from B]\n");
        return 2;
    }
    const std::string dir = argv[1];
    Cp2102Model model("", behaviour);
    Gadget gadget;
    gadget.model = &model;

    struct sigaction action = {};
    action.sa_handler = Stop;  // no SA_RESTART: the wait on ep0 ends
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    gadget.ep0 = open((dir + "/ep0").c_str(), O_RDWR);
    if (gadget.ep0 < 0 || !WriteAll(gadget.ep0, FunctionDescriptors(model.Descriptors())) ||
        !WriteAll(gadget.ep0, NoStrings())) {
        fprintf(stderr, "cp2102-gadget: cannot set up %s: %s\n", dir.c_str(), strerror(errno));
        return 1;
    }
    // The endpoint files exist once the descriptors are written: ep1 the IN
    // endpoint, ep2 the OUT endpoint, in the order of the descriptors.
    gadget.in = open((dir + "/ep1").c_str(), O_RDWR);
    gadget.out = open((dir + "/ep2").c_str(), O_RDWR);
    if (gadget.in < 0 || gadget.out < 0) {
        fprintf(stderr, "cp2102-gadget: no endpoint files: %s\n", strerror(errno));
        return 1;
    }
    fprintf(stderr, "cp2102-gadget: ready\n");
    std::thread out(CarryOut, &gadget);
    std::thread in(CarryIn, &gadget);
    out.detach();
    in.detach();

    while (!stopping) {
        usb_functionfs_event event;
        const ssize_t got = read(gadget.ep0, &event, sizeof event);
        if (got < 0 && errno == EINTR)
            continue;
        if (got != sizeof event)
            break;
        if (event.type == FUNCTIONFS_SETUP)
            Setup(&gadget, event.u.setup);
    }
    Report(&gadget);
    // The endpoint threads may be blocked in the kernel: leave without them.
    _exit(0);
}
