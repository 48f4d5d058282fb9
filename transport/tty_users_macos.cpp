// The users of a terminal on macOS, which has neither /proc nor sysfs.
// libproc (what lsof uses) lists the processes and their open files as far
// as the system lets this user see: another user's processes only to root.
// Its file information comes from the file's own file system (vn_stat in the
// kernel), so a process with a file open on a network share that does not
// answer can hold the look, as it holds lsof. Locks need no search: the
// open's flock fails on a port another program locked, and the kernel
// refuses a port held in exclusive mode.
#include "tty_users.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <libproc.h>
#include <set>
#include <string>
#include <sys/proc_info.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The errors that leave a look whole: a process of another user is hidden
// (EPERM, EACCES), and one that ended while we looked is gone (ESRCH).
bool Tolerated(int error)
{
    return error == EPERM || error == EACCES || error == ESRCH || error == ENOENT;
}

void NoteFailure(std::string* failure, const std::string& what, int error)
{
    if (failure->empty())
        *failure = what + ": " + std::strerror(error);
}

// The processes that started this one.
std::set<pid_t> Ancestors()
{
    std::set<pid_t> pids;
    for (pid_t pid = getppid(); pid > 0 && pids.insert(pid).second;) {
        struct proc_bsdshortinfo info;
        if (proc_pidinfo(pid, PROC_PIDT_SHORTBSDINFO, 0, &info, int(PROC_PIDT_SHORTBSDINFO_SIZE)) !=
            int(PROC_PIDT_SHORTBSDINFO_SIZE))
            break;
        pid = pid_t(info.pbsi_ppid);
    }
    return pids;
}

std::vector<pid_t> Processes(std::string* failure)
{
    // Counts, not bytes; the list may grow between the two calls.
    const int count = proc_listallpids(nullptr, 0);
    std::vector<pid_t> pids(count > 0 ? size_t(count) + 64 : 0);
    const int listed = count > 0 ? proc_listallpids(pids.data(), int(pids.size() * sizeof(pid_t))) : -1;
    if (listed <= 0) {
        NoteFailure(failure, "the list of processes", errno);
        return {};
    }
    pids.resize(std::min(size_t(listed), pids.size()));
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

// A descriptor of the device in the process; nothing for one we may not look
// into, or one that has just ended.
bool OpenIn(pid_t pid, const struct stat& device, std::string* failure)
{
    const std::string what = "the files of process " + std::to_string(pid);
    // proc_pidinfo returns 0 without setting errno for a process with no
    // open files: errno is cleared first so that a stale value is no failure.
    errno = 0;
    const int size = proc_pidinfo(pid, PROC_PIDLISTFDS, 0, nullptr, 0);
    if (size <= 0) {
        if (errno != 0 && !Tolerated(errno))
            NoteFailure(failure, what, errno);
        return false;
    }
    // Room for a few descriptors opened meanwhile.
    std::vector<proc_fdinfo> descriptors(size_t(size) / PROC_PIDLISTFD_SIZE + 16);
    errno = 0;
    const int filled =
        proc_pidinfo(pid, PROC_PIDLISTFDS, 0, descriptors.data(), int(descriptors.size() * PROC_PIDLISTFD_SIZE));
    if (filled <= 0) {
        if (errno != 0 && !Tolerated(errno))
            NoteFailure(failure, what, errno);
        return false;
    }
    descriptors.resize(std::min(descriptors.size(), size_t(filled) / PROC_PIDLISTFD_SIZE));
    for (const proc_fdinfo& descriptor : descriptors) {
        if (descriptor.proc_fdtype != PROX_FDTYPE_VNODE)
            continue;
        struct vnode_fdinfo file;
        // A descriptor closed meanwhile fails (EBADF): nothing to see.
        if (proc_pidfdinfo(pid, descriptor.proc_fd, PROC_PIDFDVNODEINFO, &file, int(PROC_PIDFDVNODEINFO_SIZE)) ==
                int(PROC_PIDFDVNODEINFO_SIZE) &&
            SameDevice(file.pvi.vi_stat, device))
            return true;
    }
    return false;
}

}  // namespace

TtyUse TtyOpenElsewhere(int descriptor)
{
    TtyUse use;
    struct stat device;
    if (fstat(descriptor, &device) != 0) {
        NoteFailure(&use.failure, "the port", errno);
        return use;
    }
    const pid_t self = getpid();
    const std::set<pid_t> callers = Ancestors();
    for (pid_t pid : Processes(&use.failure)) {
        if (pid <= 0 || pid == self || callers.count(pid))
            continue;
        use.inUse = OpenIn(pid, device, &use.failure);
        if (use.inUse || !use.failure.empty())
            break;
    }
    use.looked = use.failure.empty();
    use.inUse = use.inUse && use.looked;
    return use;
}

// Which /dev/cu.* node belongs to a USB device only IOKit tells: there is
// nothing to look at (the driver says so before a USB link opens as root,
// the only user that can take a converter from its serial driver).
TtyUse UsbDeviceTtyUse(int, int)
{
    TtyUse use;
    use.looked = true;
    return use;
}

// No list of the locks and their holders: a caller's lock (a script that
// locked the port and runs us) makes the port busy.
bool LockedOnlyByCallers(int)
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
