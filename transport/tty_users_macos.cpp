// The users of a terminal on macOS, which has neither /proc nor sysfs.
// libproc (the interface lsof uses) lists the processes and their open files
// as far as the system lets this user see: another user's processes only to
// root. Locks need no search: the open's flock fails on a port another
// program locked, and the kernel refuses a port held in exclusive mode.
#include "tty_users.h"

#include <algorithm>
#include <libproc.h>
#include <set>
#include <string>
#include <sys/proc_info.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// This process and the ones that started it.
std::set<pid_t> SelfAndAncestors()
{
    std::set<pid_t> pids;
    for (pid_t pid = getpid(); pid > 0 && pids.insert(pid).second;) {
        struct proc_bsdshortinfo info;
        if (proc_pidinfo(pid, PROC_PIDT_SHORTBSDINFO, 0, &info, int(PROC_PIDT_SHORTBSDINFO_SIZE)) !=
            int(PROC_PIDT_SHORTBSDINFO_SIZE))
            break;
        pid = pid_t(info.pbsi_ppid);
    }
    return pids;
}

std::vector<pid_t> Processes()
{
    // Counts, not bytes; the list may grow between the two calls.
    const int count = proc_listallpids(nullptr, 0);
    if (count <= 0)
        return {};
    std::vector<pid_t> pids(size_t(count) + 64);
    const int listed = proc_listallpids(pids.data(), int(pids.size() * sizeof(pid_t)));
    pids.resize(listed > 0 ? std::min(size_t(listed), pids.size()) : 0);
    return pids;
}

// The same device: the same node, or another node of the same character device.
bool SameDevice(const struct vinfo_stat& file, const struct stat& device)
{
    if (file.vst_dev == uint32_t(device.st_dev) && file.vst_ino == uint64_t(device.st_ino))
        return true;
    return S_ISCHR(file.vst_mode) && S_ISCHR(device.st_mode) && device.st_rdev != 0 &&
           file.vst_rdev == uint32_t(device.st_rdev);
}

// A descriptor of the device in the process; false for one we may not look
// into, or one that has just ended.
bool OpenIn(pid_t pid, const struct stat& device)
{
    const int size = proc_pidinfo(pid, PROC_PIDLISTFDS, 0, nullptr, 0);
    if (size <= 0)
        return false;
    std::vector<proc_fdinfo> descriptors(size_t(size) / PROC_PIDLISTFD_SIZE + 16);
    const int filled = proc_pidinfo(pid, PROC_PIDLISTFDS, 0, descriptors.data(),
                                    int(descriptors.size() * PROC_PIDLISTFD_SIZE));
    if (filled <= 0)
        return false;
    descriptors.resize(std::min(descriptors.size(), size_t(filled) / PROC_PIDLISTFD_SIZE));
    for (const proc_fdinfo& descriptor : descriptors) {
        if (descriptor.proc_fdtype != PROX_FDTYPE_VNODE)
            continue;
        struct vnode_fdinfo file;
        if (proc_pidfdinfo(pid, descriptor.proc_fd, PROC_PIDFDVNODEINFO, &file, int(PROC_PIDFDVNODEINFO_SIZE)) ==
                int(PROC_PIDFDVNODEINFO_SIZE) &&
            SameDevice(file.pvi.vi_stat, device))
            return true;
    }
    return false;
}

}  // namespace

bool TtyOpenElsewhere(int descriptor)
{
    struct stat device;
    if (fstat(descriptor, &device) != 0)
        return false;
    const std::set<pid_t> ours = SelfAndAncestors();
    for (pid_t pid : Processes()) {
        if (pid > 0 && !ours.count(pid) && OpenIn(pid, device))
            return true;
    }
    return false;
}

// Which /dev/cu.* node belongs to a USB device only IOKit tells: nothing to
// look at here (the driver says so before a USB link opens).
bool UsbDeviceTtyInUse(int, int, std::string*)
{
    return false;
}

// Only for the low latency of Linux's USB-serial drivers.
bool TtyIsUsbSerial(int)
{
    return false;
}

// No device nodes for USB devices: libusb's bus and address name them.
std::string UsbDeviceName(int bus, int address)
{
    return "USB bus " + std::to_string(bus) + " address " + std::to_string(address);
}
