#include "usb_testbed.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <map>
#include <set>
#include <umockdev.h>

namespace {

// Standard requests that the bus answers itself.
constexpr uint8_t kRequestGetStatus = 0x00;
constexpr uint8_t kRequestGetDescriptor = 0x06;
constexpr uint8_t kRequestTypeMask = 0x60;
constexpr uint8_t kRequestTypeStandard = 0x00;
constexpr uint8_t kDescriptorDevice = 0x01;
constexpr uint8_t kDescriptorConfiguration = 0x02;
constexpr uint8_t kDescriptorString = 0x03;
constexpr uint16_t kLanguageEnglishUs = 0x0409;
constexpr size_t kSetupSize = 8;
constexpr size_t kDeviceDescriptorSize = 18;

// While a bulk IN transfer waits, a reap that finds nothing answers only
// after this long: the emulated node always polls ready, so libusb would spin.
constexpr unsigned kIdleReapMicroseconds = 1000;

struct Urb {
    UMockdevIoctlData* urb;     // the client's struct usbdevfs_urb, resolved
    UMockdevIoctlData* buffer;  // its data buffer, resolved
    unsigned long address;      // where it lives in the client
    size_t taken = 0;           // a bulk OUT: what the device has taken so far
    bool control = false;       // a control transfer held back by the device's latency
    std::chrono::steady_clock::time_point due;  // when it completes
};

struct Client {
    std::vector<Urb> pending;   // bulk transfers waiting for the device
    std::vector<Urb> finished;  // ready to be reaped
    std::set<unsigned> claimed;
};

usbdevfs_urb* UrbOf(const Urb& urb)
{
    return reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
}

void ReleaseUrb(Urb* urb)
{
    umockdev_ioctl_data_unref(urb->buffer);
    umockdev_ioctl_data_unref(urb->urb);
}

void AppendHex(std::string* text, const std::vector<uint8_t>& bytes)
{
    char digits[3];
    for (uint8_t byte : bytes) {
        snprintf(digits, sizeof digits, "%02x", byte);
        *text += digits;
    }
}

// A string descriptor holds UTF-16LE (USB 2.0, 9.6.7); the models' texts are
// UTF-8, as the kernel shows them in sysfs (it converts with utf16s_to_utf8s).
// A character beyond U+FFFF takes a surrogate pair.
std::vector<uint8_t> StringDescriptor(const std::string& text)
{
    std::vector<uint16_t> units;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length && i + k < text.size(); ++k)
            code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += length;
        if (code > 0xFFFF) {
            code -= 0x10000;
            units.push_back(uint16_t(0xD800 | code >> 10));
            units.push_back(uint16_t(0xDC00 | (code & 0x3FF)));
        } else {
            units.push_back(uint16_t(code));
        }
    }
    std::vector<uint8_t> descriptor = {uint8_t(2 + 2 * units.size()), kDescriptorString};
    for (uint16_t unit : units) {
        descriptor.push_back(uint8_t(unit & 0xFF));
        descriptor.push_back(uint8_t(unit >> 8));
    }
    return descriptor;
}

}  // namespace

struct UsbTestbed::Device {
    UsbTestbed::Testbed* owner = nullptr;
    std::shared_ptr<UsbDeviceModel> model;
    std::string node;
    UMockdevIoctlBase* handler = nullptr;
    std::map<UMockdevIoctlClient*, Client> clients;
    std::map<unsigned, UMockdevIoctlClient*> claims;
    bool claimedElsewhere = false;
    bool stringsRefused = false;
    bool driverBound = true;
    std::chrono::microseconds controlLatency{0};
    UsbDeviceCounters counters;
};

struct UsbTestbed::Testbed {
    UMockdevTestbed* bed = nullptr;
    std::recursive_mutex lock;
    std::vector<std::unique_ptr<Device>> devices;
};

namespace {

using Device = UsbTestbed::Device;

void DropClient(Device* device, UMockdevIoctlClient* client)
{
    auto entry = device->clients.find(client);
    if (entry == device->clients.end())
        return;
    for (Urb& urb : entry->second.pending)
        ReleaseUrb(&urb);
    for (Urb& urb : entry->second.finished)
        ReleaseUrb(&urb);
    for (unsigned interface : entry->second.claimed)
        device->claims.erase(interface);
    device->clients.erase(entry);
}

// The client's connection closed (the process closed the node or died).
void ClientGone(gpointer data, GObject* client)
{
    Device* device = static_cast<Device*>(data);
    std::lock_guard<std::recursive_mutex> guard(device->owner->lock);
    DropClient(device, reinterpret_cast<UMockdevIoctlClient*>(client));
}

Client& ClientState(Device* device, UMockdevIoctlClient* client)
{
    auto entry = device->clients.find(client);
    if (entry != device->clients.end())
        return entry->second;
    ++device->counters.opens;
    g_object_weak_ref(G_OBJECT(client), ClientGone, device);
    return device->clients[client];
}

// Answers the standard requests; the rest go to the model.
bool ControlRequest(Device* device, const SetupPacket& setup, std::vector<uint8_t>* data)
{
    if ((setup.requestType & kRequestTypeMask) != kRequestTypeStandard)
        return device->model->Control(setup, data);
    if (setup.request == kRequestGetStatus) {
        *data = {0, 0};
        return true;
    }
    if (setup.request != kRequestGetDescriptor)
        return false;
    const uint8_t type = uint8_t(setup.value >> 8);
    const uint8_t index = uint8_t(setup.value & 0xFF);
    const std::vector<uint8_t> all = device->model->Descriptors();
    if (type == kDescriptorDevice) {
        data->assign(all.begin(), all.begin() + kDeviceDescriptorSize);
    } else if (type == kDescriptorConfiguration) {
        data->assign(all.begin() + kDeviceDescriptorSize, all.end());
    } else if (type == kDescriptorString) {
        ++device->counters.stringReads;
        if (device->stringsRefused)
            return false;
        if (index == 0) {
            *data = {4, kDescriptorString, uint8_t(kLanguageEnglishUs & 0xFF), uint8_t(kLanguageEnglishUs >> 8)};
        } else {
            const std::string text = device->model->String(index);
            if (text.empty())
                return false;
            *data = StringDescriptor(text);
        }
    } else {
        return false;
    }
    return true;
}

void SubmitControl(Device* device, Urb* urb)
{
    usbdevfs_urb* request = UrbOf(*urb);
    uint8_t* bytes = urb->buffer->data;
    SetupPacket setup;
    setup.requestType = bytes[0];
    setup.request = bytes[1];
    setup.value = uint16_t(bytes[2] | bytes[3] << 8);
    setup.index = uint16_t(bytes[4] | bytes[5] << 8);
    setup.length = uint16_t(bytes[6] | bytes[7] << 8);
    const size_t room = size_t(request->buffer_length) - kSetupSize;
    std::vector<uint8_t> data;
    if (!(setup.requestType & kDirectionIn))
        data.assign(bytes + kSetupSize, bytes + kSetupSize + std::min<size_t>(setup.length, room));
    if (!ControlRequest(device, setup, &data)) {
        request->status = -EPIPE;
        request->actual_length = 0;
        return;
    }
    request->status = 0;
    if (setup.requestType & kDirectionIn) {
        const size_t length = std::min<size_t>(std::min<size_t>(data.size(), setup.length), room);
        std::memcpy(bytes + kSetupSize, data.data(), length);
        request->actual_length = int(length);
    } else {
        request->actual_length = int(data.size());
    }
}

void Complete(UMockdevIoctlClient* client, long result, int error)
{
    umockdev_ioctl_client_complete(client, result, error);
}

// A waiting transfer, completed if the device is ready for it now.
bool CompleteIfReady(Device* device, Urb& urb)
{
    if (urb.control) {
        if (std::chrono::steady_clock::now() < urb.due)
            return false;
        SubmitControl(device, &urb);
        return true;
    }
    usbdevfs_urb* request = UrbOf(urb);
    if (!(request->endpoint & kDirectionIn)) {
        const size_t length = size_t(request->buffer_length);
        urb.taken += device->model->BulkOut(request->endpoint, urb.buffer->data + urb.taken, length - urb.taken);
        request->actual_length = int(urb.taken);
        if (urb.taken < length)
            return false;
        request->status = 0;
        return true;
    }
    std::vector<uint8_t> data;
    if (!device->model->BulkIn(request->endpoint, size_t(request->buffer_length), &data))
        return false;
    // A packet larger than the room left overflows the transfer.
    const size_t room = size_t(request->buffer_length);
    std::memcpy(urb.buffer->data, data.data(), std::min(data.size(), room));
    request->status = data.size() > room ? -EOVERFLOW : 0;
    request->actual_length = int(std::min(data.size(), room));
    return true;
}

void ServePending(Device* device, Client& state)
{
    for (size_t i = 0; i < state.pending.size();) {
        if (CompleteIfReady(device, state.pending[i])) {
            state.finished.push_back(state.pending[i]);
            state.pending.erase(state.pending.begin() + long(i));
        } else {
            ++i;
        }
    }
}

void HandleSubmit(Device* device, Client& state, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    Urb urb;
    urb.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    usbdevfs_urb* request = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
    urb.buffer = umockdev_ioctl_data_resolve(urb.urb, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                             size_t(request->buffer_length), nullptr);
    urb.address = urb.urb->client_addr;

    if (request->type == USBDEVFS_URB_TYPE_CONTROL && device->controlLatency.count() > 0) {
        urb.control = true;
        urb.due = std::chrono::steady_clock::now() + device->controlLatency;
        state.pending.push_back(urb);
    } else if (request->type == USBDEVFS_URB_TYPE_CONTROL) {
        SubmitControl(device, &urb);
        state.finished.push_back(urb);
    } else if (request->type == USBDEVFS_URB_TYPE_BULK) {
        // A device with data or room at hand answers within the same frame.
        state.pending.push_back(urb);
        ServePending(device, state);
    } else {
        ReleaseUrb(&urb);
        Complete(client, -1, EINVAL);
        return;
    }
    Complete(client, 0, 0);
}

void HandleReap(Device* device, Client& state, UMockdevIoctlClient* client, UMockdevIoctlData* arg,
                std::unique_lock<std::recursive_mutex>* guard)
{
    ServePending(device, state);
    if (state.finished.empty() && !state.pending.empty()) {
        guard->unlock();
        g_usleep(kIdleReapMicroseconds);
        guard->lock();
        auto entry = device->clients.find(client);
        if (entry == device->clients.end()) {
            Complete(client, -1, EAGAIN);
            return;
        }
        ServePending(device, entry->second);
    }
    Client& current = device->clients[client];
    if (current.finished.empty()) {
        Complete(client, -1, EAGAIN);
        return;
    }
    Urb urb = current.finished.front();
    current.finished.erase(current.finished.begin());
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, urb.urb);
    Complete(client, 0, 0);
    umockdev_ioctl_data_unref(pointer);
    ReleaseUrb(&urb);
}

void HandleDiscard(Client& state, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    const unsigned long address = *reinterpret_cast<unsigned long*>(arg->data);
    for (size_t i = 0; i < state.pending.size(); ++i) {
        if (state.pending[i].address != address)
            continue;
        // A cancelled bulk OUT reports the packets the device took before.
        UrbOf(state.pending[i])->status = -ENOENT;
        UrbOf(state.pending[i])->actual_length = int(state.pending[i].taken);
        state.finished.push_back(state.pending[i]);
        state.pending.erase(state.pending.begin() + long(i));
        Complete(client, 0, 0);
        return;
    }
    Complete(client, -1, EINVAL);
}

void HandleClaim(Device* device, Client& state, UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool claim)
{
    UMockdevIoctlData* number = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
    const unsigned interface = *reinterpret_cast<unsigned*>(number->data);
    umockdev_ioctl_data_unref(number);
    auto holder = device->claims.find(interface);
    if (claim) {
        // Held by the kernel's driver, by another program, or by another handle.
        if (device->driverBound || device->claimedElsewhere ||
            (holder != device->claims.end() && holder->second != client)) {
            Complete(client, -1, EBUSY);
            return;
        }
        device->claims[interface] = client;
        state.claimed.insert(interface);
        ++device->counters.claims;
    } else {
        if (holder == device->claims.end() || holder->second != client) {
            Complete(client, -1, EINVAL);
            return;
        }
        device->claims.erase(holder);
        state.claimed.erase(interface);
        ++device->counters.releases;
    }
    Complete(client, 0, 0);
}

// The driver bound to an interface: the kernel's serial driver, "usbfs" for a
// program's claim, or none (empty; the kernel answers ENODATA).
std::string DriverName(Device* device, unsigned interface)
{
    if (device->claimedElsewhere || device->claims.count(interface))
        return "usbfs";
    if (device->driverBound)
        return device->model->KernelDriver();
    return "";
}

void HandleGetDriver(Device* device, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
    usbdevfs_getdriver* query = reinterpret_cast<usbdevfs_getdriver*>(data->data);
    const std::string driver = DriverName(device, query->interface);
    if (driver.empty()) {
        Complete(client, -1, ENODATA);
    } else {
        snprintf(query->driver, sizeof query->driver, "%s", driver.c_str());
        Complete(client, 0, 0);
    }
    umockdev_ioctl_data_unref(data);
}

// USBDEVFS_IOCTL with DISCONNECT takes the bound driver off the interface,
// with CONNECT binds the kernel's driver again (as the kernel's proc_ioctl).
void HandleDriverIoctl(Device* device, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
    const usbdevfs_ioctl command = *reinterpret_cast<usbdevfs_ioctl*>(data->data);
    umockdev_ioctl_data_unref(data);
    const unsigned interface = unsigned(command.ifno);
    if (command.ioctl_code == int(USBDEVFS_DISCONNECT)) {
        if (device->driverBound) {
            device->driverBound = false;
            ++device->counters.detaches;
            Complete(client, 0, 0);
        } else {
            Complete(client, -1, ENODATA);
        }
    } else if (command.ioctl_code == int(USBDEVFS_CONNECT)) {
        if (!DriverName(device, interface).empty()) {
            Complete(client, -1, EBUSY);
        } else {
            device->driverBound = true;
            ++device->counters.attaches;
            Complete(client, 0, 0);
        }
    } else {
        Complete(client, -1, ENOTTY);
    }
}

// Takes the interface from its driver and claims it in one step, unless the
// driver is the one named (flags EXCEPT_DRIVER) or is not it (IF_DRIVER).
void HandleDisconnectClaim(Device* device, Client& state, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_disconnect_claim), nullptr);
    const usbdevfs_disconnect_claim request = *reinterpret_cast<usbdevfs_disconnect_claim*>(data->data);
    umockdev_ioctl_data_unref(data);
    const std::string driver = DriverName(device, request.interface);
    const bool named = driver == std::string(request.driver, strnlen(request.driver, sizeof request.driver));
    if (!driver.empty() && (((request.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && named) ||
                            ((request.flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && !named))) {
        Complete(client, -1, EBUSY);
        return;
    }
    if (driver == "usbfs") {
        Complete(client, -1, EBUSY);  // another program's claim is not taken away
        return;
    }
    if (device->driverBound) {
        device->driverBound = false;
        ++device->counters.detaches;
    }
    device->claims[request.interface] = client;
    state.claimed.insert(request.interface);
    ++device->counters.claims;
    Complete(client, 0, 0);
}

// As the kernel does for a device that is gone: transfers in flight end with
// a shutdown status and can still be reaped; everything else fails.
void HandleUnplugged(Client& state, UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* arg,
                     std::unique_lock<std::recursive_mutex>* guard, Device* device)
{
    state.finished.insert(state.finished.end(), state.pending.begin(), state.pending.end());
    state.pending.clear();
    for (Urb& urb : state.finished) {
        UrbOf(urb)->status = -ESHUTDOWN;
        UrbOf(urb)->actual_length = 0;
    }
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB)
        HandleReap(device, state, client, arg, guard);
    else if (request == USBDEVFS_DISCARDURB)
        Complete(client, -1, EINVAL);
    else
        Complete(client, -1, ENODEV);
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
{
    Device* device = static_cast<Device*>(data);
    std::unique_lock<std::recursive_mutex> guard(device->owner->lock);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    Client& state = ClientState(device, client);

    if (device->model->Vanished()) {
        HandleUnplugged(state, client, request, arg, &guard, device);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        *reinterpret_cast<uint32_t*>(caps->data) = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        Complete(client, 0, 0);
        umockdev_ioctl_data_unref(caps);
        return TRUE;
    }
    case USBDEVFS_SUBMITURB:
        HandleSubmit(device, state, client, arg);
        return TRUE;
    case USBDEVFS_REAPURBNDELAY:
    case USBDEVFS_REAPURB:
        HandleReap(device, state, client, arg, &guard);
        return TRUE;
    case USBDEVFS_DISCARDURB:
        HandleDiscard(state, client, arg);
        return TRUE;
    case USBDEVFS_CLAIMINTERFACE:
        HandleClaim(device, state, client, arg, true);
        return TRUE;
    case USBDEVFS_RELEASEINTERFACE:
        HandleClaim(device, state, client, arg, false);
        return TRUE;
    case USBDEVFS_GETDRIVER:
        HandleGetDriver(device, client, arg);
        return TRUE;
    case USBDEVFS_IOCTL:
        HandleDriverIoctl(device, client, arg);
        return TRUE;
    case USBDEVFS_DISCONNECT_CLAIM:
        HandleDisconnectClaim(device, state, client, arg);
        return TRUE;
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        Complete(client, 0, 0);
        return TRUE;
    default:
        Complete(client, -1, ENOTTY);
        return TRUE;
    }
}

}  // namespace

UsbTestbed::UsbTestbed() : testbed_(new Testbed)
{
    testbed_->bed = umockdev_testbed_new();
}

UsbTestbed::~UsbTestbed()
{
    for (auto& device : testbed_->devices) {
        umockdev_testbed_detach_ioctl(testbed_->bed, device->node.c_str(), nullptr);
        std::lock_guard<std::recursive_mutex> guard(testbed_->lock);
        while (!device->clients.empty()) {
            UMockdevIoctlClient* client = device->clients.begin()->first;
            g_object_weak_unref(G_OBJECT(client), ClientGone, device.get());
            DropClient(device.get(), client);
        }
    }
    for (auto& device : testbed_->devices)
        g_object_unref(device->handler);
    g_object_unref(testbed_->bed);
}

void UsbTestbed::Add(std::shared_ptr<UsbDeviceModel> model)
{
    std::unique_ptr<Device> device(new Device);
    device->owner = testbed_.get();
    device->model = std::move(model);
    const int number = int(testbed_->devices.size()) + 2;  // address 1 is the root hub
    char devnum[16];
    snprintf(devnum, sizeof devnum, "%03d", number);
    device->node = std::string("/dev/bus/usb/001/") + devnum;

    // The handler must be in place before the node appears, or a client can
    // open it unserved.
    device->handler = umockdev_ioctl_base_new();
    g_signal_connect(device->handler, "handle-ioctl", G_CALLBACK(HandleIoctl), device.get());
    umockdev_testbed_attach_ioctl(testbed_->bed, device->node.c_str(), device->handler, nullptr);

    const std::vector<uint8_t> descriptors = device->model->Descriptors();
    char ids[64];
    snprintf(ids, sizeof ids, "A: idVendor=%02x%02x\\n\nA: idProduct=%02x%02x\\n\n", descriptors[9], descriptors[8],
             descriptors[11], descriptors[10]);
    // What the kernel shows every user: ids and the strings it read at enumeration.
    std::string strings = ids;
    const char* names[] = {"manufacturer", "product", "serial"};
    for (int i = 0; i < 3; ++i) {
        const std::string text = device->model->String(descriptors[14 + i]);
        if (!text.empty())
            strings += std::string("A: ") + names[i] + "=" + text + "\\n\n";
    }
    std::string entry = "P: /devices/usb1/1-" + std::to_string(number) + "\nN: bus/usb/001/" + devnum +
                        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + device->node +
                        "\nE: BUSNUM=001\nE: DEVNUM=" + devnum + "\nA: busnum=1\\n\nA: devnum=" +
                        std::to_string(number) + "\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\n" + strings +
                        "H: descriptors=";
    AppendHex(&entry, descriptors);
    entry += "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_->bed, entry.c_str(), &error)) {
        fprintf(stderr, "cannot add %s: %s\n", device->node.c_str(), error ? error->message : "?");
        g_clear_error(&error);
    }
    testbed_->devices.push_back(std::move(device));
}

std::string UsbTestbed::AddTty(size_t device, const std::string& name)
{
    // The device's sysfs folder is 1-<address>, as Add made it.
    const std::string usb = "/devices/usb1/1-" + std::to_string(device + 2);
    const std::string entry = "P: " + usb + "/" + usb.substr(usb.rfind('/') + 1) + ":1.0/" + name + "/tty/" + name +
                              "\nN: " + name + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + name + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_->bed, entry.c_str(), &error)) {
        fprintf(stderr, "cannot add %s: %s\n", name.c_str(), error ? error->message : "?");
        g_clear_error(&error);
    }
    return "/dev/" + name;
}

std::string UsbTestbed::SysfsPath(size_t device) const
{
    return "/devices/usb1/1-" + std::to_string(device + 2);
}

std::string UsbTestbed::RootDir() const
{
    gchar* root = umockdev_testbed_get_root_dir(testbed_->bed);
    const std::string path = root ? root : "";
    g_free(root);
    return path;
}

bool UsbTestbed::AddFromString(const std::string& entries)
{
    GError* error = nullptr;
    if (umockdev_testbed_add_from_string(testbed_->bed, entries.c_str(), &error))
        return true;
    fprintf(stderr, "cannot add devices: %s\n", error ? error->message : "?");
    g_clear_error(&error);
    return false;
}

void UsbTestbed::SetClaimedElsewhere(size_t device, bool claimed)
{
    std::lock_guard<std::recursive_mutex> guard(testbed_->lock);
    testbed_->devices.at(device)->claimedElsewhere = claimed;
    // The other program took the interface from the kernel's driver.
    if (claimed)
        testbed_->devices.at(device)->driverBound = false;
}

void UsbTestbed::SetStringsRefused(size_t device, bool refused)
{
    std::lock_guard<std::recursive_mutex> guard(testbed_->lock);
    testbed_->devices.at(device)->stringsRefused = refused;
}

void UsbTestbed::SetControlLatency(size_t device, std::chrono::microseconds latency)
{
    std::lock_guard<std::recursive_mutex> guard(testbed_->lock);
    testbed_->devices.at(device)->controlLatency = latency;
}

UsbDeviceCounters UsbTestbed::Counters(size_t device)
{
    std::lock_guard<std::recursive_mutex> guard(testbed_->lock);
    return testbed_->devices.at(device)->counters;
}

bool UsbTestbed::KernelDriverBound(size_t device)
{
    std::lock_guard<std::recursive_mutex> guard(testbed_->lock);
    return testbed_->devices.at(device)->driverBound;
}

std::recursive_mutex& UsbTestbed::Lock()
{
    return testbed_->lock;
}

std::vector<std::string> UsbTestbed::ChildEnvironment()
{
    // A sanitized child must accept the preload ahead of its runtime.
    const char* sanitizer = getenv("ASAN_OPTIONS");
    std::string asan = std::string("ASAN_OPTIONS=") + (sanitizer ? sanitizer : "") + ":verify_asan_link_order=0";
    return {"LD_PRELOAD=libumockdev-preload.so.0", asan};
}
