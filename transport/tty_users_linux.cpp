// The users of a terminal on Linux: the descriptors under /proc/<pid>/fd, the
// locks in /proc/locks, and the USB device's terminals in sysfs.
#include "tty_users.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

// The errors that leave a look whole: a process of another user hides its
// descriptors (EACCES, EPERM), and one that ended while we looked is gone
// (ENOENT, ESRCH). Any other (EMFILE, ENFILE, ENOMEM) leaves the answer
// unknown.
bool Tolerated(int error)
{
    return error == EACCES || error == EPERM || error == ENOENT || error == ESRCH;
}

// Keeps the first reason why the look could not be made.
void NoteFailure(std::string* failure, const std::string& what, int error)
{
    if (failure->empty())
        *failure = what + ": " + std::strerror(error);
}

bool IsNumber(const char* text)
{
    if (!*text)
        return false;
    for (; *text; ++text) {
        if (!isdigit(static_cast<unsigned char>(*text)))
            return false;
    }
    return true;
}

// Which errors reading a folder may meet without spoiling the look.
enum class Expect {
    kNothing,    // a folder that is always there (/proc, sysfs's device list)
    kProcesses,  // a process's folder: Tolerated
    kLayout,     // sysfs: most entries have no tty folder, some are files
};

// The names in a folder; a read error that was not to be expected goes to
// failure.
std::vector<std::string> Entries(const std::string& folder, std::string* failure, Expect expect)
{
    const auto expected = [expect](int error) {
        return expect != Expect::kNothing && (Tolerated(error) || (expect == Expect::kLayout && error == ENOTDIR));
    };
    std::vector<std::string> names;
    DIR* directory = opendir(folder.c_str());
    if (!directory) {
        if (!expected(errno))
            NoteFailure(failure, folder, errno);
        return names;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(directory);
        if (!entry)
            break;
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    }
    if (errno != 0 && !expected(errno))
        NoteFailure(failure, folder, errno);
    closedir(directory);
    return names;
}

std::string FirstLine(const std::string& path, std::string* failure)
{
    FILE* file = fopen(path.c_str(), "r");
    if (!file) {
        if (!Tolerated(errno))
            NoteFailure(failure, path, errno);
        return "";
    }
    char line[256] = {};
    const bool read = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    if (!read)
        return "";
    line[strcspn(line, "\n")] = '\0';
    return line;
}

// Where a /proc/<pid>/fd link leads, as the kernel names it from memory
// ("/dev/ttyUSB0", "socket:[123]"); reading it never touches the file.
// Empty when the descriptor is gone or the name is too long to be a node's.
std::string LinkTarget(const std::string& link, std::string* failure)
{
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    if (length < 0) {
        if (!Tolerated(errno))
            NoteFailure(failure, link, errno);
        return "";
    }
    if (size_t(length) >= sizeof target)
        return "";
    return std::string(target, size_t(length));
}

// The device to look for: its node, and that node's name as /proc shows
// the links to it.
struct Device {
    struct stat node;
    std::string name;
};

// The same device: the same node, or another node of the same character
// device (a second node made with mknod has its own inode). Under an
// emulated /dev the node may carry a made-up device number: its inode still
// tells.
bool SameDevice(const struct stat& a, const struct stat& b)
{
    if (a.st_dev == b.st_dev && a.st_ino == b.st_ino)
        return true;
    return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev != 0 && a.st_rdev == b.st_rdev;
}

// The processes that started this one.
std::set<long> Ancestors(std::string* failure)
{
    std::set<long> pids;
    for (long pid = long(getppid()); pid > 0 && pids.insert(pid).second;) {
        // /proc/<pid>/stat: pid (command) state ppid ...; the command may hold spaces and parentheses.
        const std::string stat = FirstLine("/proc/" + std::to_string(pid) + "/stat", failure);
        const size_t end = stat.rfind(')');
        if (end == std::string::npos)
            break;
        char state = 0;
        long parent = 0;
        if (sscanf(stat.c_str() + end + 1, " %c %ld", &state, &parent) != 2)
            break;
        pid = parent;
    }
    return pids;
}

// A descriptor of the device in a process we may look into, other than this
// one and the exempt. A link is followed (stat) only when it leads into
// /dev: stat would wait on the file's own file system, and a share whose
// server went away (sshfs, a hard NFS mount) would hold the scan for ever.
// /dev is the kernel's devtmpfs, in memory. A node elsewhere is known by
// its name alone. (A descriptor closed and reused between the readlink and
// the stat could still lead elsewhere: a window of two system calls.)
bool OpenInOtherProcess(const Device& device, const std::set<long>& exempt, std::string* failure)
{
    const long self = long(getpid());
    for (const std::string& pid : Entries("/proc", failure, Expect::kNothing)) {
        if (!failure->empty())
            return false;
        const long number = atol(pid.c_str());
        if (!IsNumber(pid.c_str()) || number == self || exempt.count(number))
            continue;
        const std::string descriptors = "/proc/" + pid + "/fd/";
        for (const std::string& descriptor : Entries(descriptors, failure, Expect::kProcesses)) {
            const std::string link = descriptors + descriptor;
            const std::string target = LinkTarget(link, failure);
            if (!failure->empty())
                return false;
            if (!device.name.empty() && target == device.name)
                return true;
            if (target.compare(0, 5, "/dev/") != 0)
                continue;
            struct stat file;
            if (stat(link.c_str(), &file) == 0) {
                if (SameDevice(file, device.node))
                    return true;
            } else if (!Tolerated(errno)) {
                NoteFailure(failure, link, errno);
                return false;
            }
        }
        if (!failure->empty())
            return false;
    }
    return false;
}

// The processes holding a lock on the node; /proc/locks shows every
// process's locks, also those whose descriptors we may not read. A line:
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:123 0 EOF" (device in hex, then the
// inode); a waiting request has "->" after its number. An open file
// description's lock (OFDLCK) shows no process: -1.
std::vector<long> LockHolders(const struct stat& node, std::string* failure)
{
    std::vector<long> holders;
    FILE* locks = fopen("/proc/locks", "r");
    if (!locks) {
        NoteFailure(failure, "/proc/locks", errno);
        return holders;
    }
    char line[256];
    while (fgets(line, sizeof line, locks)) {
        if (strstr(line, "->"))
            continue;
        char kind[16], mode[16], access[16];
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%lu", kind, mode, access, &pid, &major, &minor, &inode) != 7)
            continue;
        if (makedev(major, minor) == node.st_dev && inode == node.st_ino)
            holders.push_back(pid);
    }
    if (ferror(locks))
        NoteFailure(failure, "/proc/locks", errno);
    fclose(locks);
    return holders;
}

// Whether a process other than this one and the exempt locks the device or
// has it open.
TtyUse Look(const Device& device, const std::set<long>& exempt)
{
    TtyUse use;
    std::string failure;
    for (long holder : LockHolders(device.node, &failure))
        use.inUse = use.inUse || (holder != long(getpid()) && !exempt.count(holder));
    if (failure.empty() && !use.inUse)
        use.inUse = OpenInOtherProcess(device, exempt, &failure);
    use.looked = failure.empty();
    use.failure = failure;
    use.inUse = use.inUse && use.looked;
    return use;
}

// The device open on a descriptor, under the name /proc gives its links.
bool DeviceOf(int descriptor, Device* device, std::string* failure)
{
    if (fstat(descriptor, &device->node) != 0) {
        NoteFailure(failure, "the port", errno);
        return false;
    }
    device->name = LinkTarget("/proc/self/fd/" + std::to_string(descriptor), failure);
    return failure->empty();
}

// The sysfs folder of the USB device at this bus and address.
std::string UsbDeviceFolder(int bus, int address, std::string* failure)
{
    const std::string devices = "/sys/bus/usb/devices/";
    for (const std::string& name : Entries(devices, failure, Expect::kNothing)) {
        if (name.find(':') != std::string::npos)
            continue;  // an interface
        if (atoi(FirstLine(devices + name + "/busnum", failure).c_str()) == bus &&
            atoi(FirstLine(devices + name + "/devnum", failure).c_str()) == address)
            return devices + name;
    }
    return "";
}

// The terminals of the device's interfaces: <interface>/tty/<name> (ttyACM)
// and <interface>/<port>/tty/<name> (ttyUSB, one per port).
std::vector<std::string> UsbDeviceTtys(const std::string& device, std::string* failure)
{
    std::vector<std::string> names;
    for (const std::string& interface : Entries(device, failure, Expect::kLayout)) {
        if (interface.find(':') == std::string::npos)
            continue;
        const std::string folder = device + "/" + interface;
        for (const std::string& name : Entries(folder + "/tty", failure, Expect::kLayout))
            names.push_back(name);
        for (const std::string& child : Entries(folder, failure, Expect::kLayout)) {
            for (const std::string& name : Entries(folder + "/" + child + "/tty", failure, Expect::kLayout))
                names.push_back(name);
        }
    }
    return names;
}

TtyUse Unknown(const std::string& failure)
{
    TtyUse use;
    use.failure = failure;
    return use;
}

}  // namespace

TtyUse TtyOpenElsewhere(int descriptor)
{
    std::string failure;
    Device device;
    if (!DeviceOf(descriptor, &device, &failure))
        return Unknown(failure);
    const std::set<long> callers = Ancestors(&failure);
    return failure.empty() ? Look(device, callers) : Unknown(failure);
}

TtyUse UsbDeviceTtyUse(int bus, int address)
{
    std::string failure;
    const std::string folder = UsbDeviceFolder(bus, address, &failure);
    std::vector<std::string> ttys;
    if (!folder.empty())
        ttys = UsbDeviceTtys(folder, &failure);
    for (const std::string& name : ttys) {
        if (!failure.empty())
            break;
        const std::string path = "/dev/" + name;
        // The node is opened as a path only (no driver's open runs), to learn
        // the name /proc gives the links to it: path itself, unless /dev is
        // redirected (an emulated one).
        const int node = open(path.c_str(), O_PATH | O_CLOEXEC);
        if (node < 0) {
            if (!Tolerated(errno))
                NoteFailure(&failure, path, errno);
            continue;
        }
        Device device;
        const bool known = DeviceOf(node, &device, &failure);
        close(node);
        if (!known)
            break;
        TtyUse use = Look(device, {});
        if (!use.looked || use.inUse) {
            use.tty = path;
            return use;
        }
    }
    if (!failure.empty())
        return Unknown(failure);
    TtyUse use;
    use.looked = true;
    return use;
}

bool LockedOnlyByCallers(int descriptor)
{
    struct stat node;
    if (fstat(descriptor, &node) != 0)
        return false;
    std::string failure;
    const std::set<long> callers = Ancestors(&failure);
    const std::vector<long> holders = LockHolders(node, &failure);
    bool callersOnly = failure.empty() && !holders.empty();
    for (long holder : holders)
        callersOnly = callersOnly && callers.count(holder) != 0;
    return callersOnly;
}

// /sys/dev/char/<major>:<minor>/device is the port's device: a ttyUSB port
// is on the usb-serial bus.
bool TtyIsUsbSerial(int descriptor)
{
    struct stat node;
    if (fstat(descriptor, &node) != 0 || !S_ISCHR(node.st_mode))
        return false;
    const std::string link = "/sys/dev/char/" + std::to_string(major(node.st_rdev)) + ":" +
                             std::to_string(minor(node.st_rdev)) + "/device/subsystem";
    char target[512];
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    const char* name = strrchr(target, '/');
    return strcmp(name ? name + 1 : target, "usb-serial") == 0;
}

// usbfs: the node that libusb opens.
std::string UsbDeviceName(int bus, int address)
{
    char node[64];
    snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, address);
    return node;
}
