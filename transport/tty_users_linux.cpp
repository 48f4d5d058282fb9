// The users of a terminal on Linux: the descriptors under /proc/<pid>/fd, the
// locks in /proc/locks, and the USB device's terminals in sysfs.
#include "tty_users.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

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

std::vector<std::string> Entries(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* directory = opendir(folder.c_str());
    if (!directory)
        return names;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    }
    closedir(directory);
    return names;
}

std::string FirstLine(const std::string& path)
{
    FILE* file = fopen(path.c_str(), "r");
    if (!file)
        return "";
    char line[256] = {};
    const bool read = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    if (!read)
        return "";
    line[strcspn(line, "\n")] = '\0';
    return line;
}

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

// This process and the ones that started it.
std::set<long> SelfAndAncestors()
{
    std::set<long> pids;
    for (long pid = long(getpid()); pid > 0 && pids.insert(pid).second;) {
        // /proc/<pid>/stat: pid (command) state ppid ...; the command may hold spaces and parentheses.
        const std::string stat = FirstLine("/proc/" + std::to_string(pid) + "/stat");
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

// A descriptor of the device in a process we may look into.
bool OpenInOtherProcess(const struct stat& device, const std::set<long>& ours)
{
    for (const std::string& pid : Entries("/proc")) {
        if (!IsNumber(pid.c_str()) || ours.count(atol(pid.c_str())))
            continue;
        const std::string descriptors = "/proc/" + pid + "/fd/";
        // Another user's process, or one that has just ended: nothing to see.
        for (const std::string& descriptor : Entries(descriptors)) {
            struct stat file;
            if (stat((descriptors + descriptor).c_str(), &file) == 0 && SameDevice(file, device))
                return true;
        }
    }
    return false;
}

// A lock on the node held by another process; /proc/locks shows every
// process's locks, also those whose descriptors we may not read. A line:
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:123 0 EOF" (device in hex, then the
// inode); a waiting request has "->" after its number.
bool LockedByOtherProcess(const struct stat& node, const std::set<long>& ours)
{
    FILE* locks = fopen("/proc/locks", "r");
    if (!locks)
        return false;
    bool locked = false;
    char line[256];
    while (!locked && fgets(line, sizeof line, locks)) {
        if (strstr(line, "->"))
            continue;
        char kind[16], mode[16], access[16];
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%lu", kind, mode, access, &pid, &major, &minor, &inode) != 7)
            continue;
        locked = !ours.count(pid) && makedev(major, minor) == node.st_dev && inode == node.st_ino;
    }
    fclose(locks);
    return locked;
}

bool InUse(const struct stat& node, const std::set<long>& ours)
{
    return LockedByOtherProcess(node, ours) || OpenInOtherProcess(node, ours);
}

// The sysfs folder of the USB device at this bus and address.
std::string UsbDeviceFolder(int bus, int address)
{
    const std::string devices = "/sys/bus/usb/devices/";
    for (const std::string& name : Entries(devices)) {
        if (name.find(':') != std::string::npos)
            continue;  // an interface
        if (atoi(FirstLine(devices + name + "/busnum").c_str()) == bus &&
            atoi(FirstLine(devices + name + "/devnum").c_str()) == address)
            return devices + name;
    }
    return "";
}

// The terminals of the device's interfaces: <interface>/tty/<name> (ttyACM)
// and <interface>/<port>/tty/<name> (ttyUSB, one per port).
std::vector<std::string> UsbDeviceTtys(const std::string& device)
{
    std::vector<std::string> names;
    for (const std::string& interface : Entries(device)) {
        if (interface.find(':') == std::string::npos)
            continue;
        const std::string folder = device + "/" + interface;
        for (const std::string& name : Entries(folder + "/tty"))
            names.push_back(name);
        for (const std::string& child : Entries(folder)) {
            for (const std::string& name : Entries(folder + "/" + child + "/tty"))
                names.push_back(name);
        }
    }
    return names;
}

}  // namespace

bool TtyOpenElsewhere(int descriptor)
{
    struct stat node;
    if (fstat(descriptor, &node) != 0)
        return false;
    return InUse(node, SelfAndAncestors());
}

bool UsbDeviceTtyInUse(int bus, int address, std::string* tty)
{
    const std::string device = UsbDeviceFolder(bus, address);
    if (device.empty())
        return false;
    const std::set<long> ours = SelfAndAncestors();
    for (const std::string& name : UsbDeviceTtys(device)) {
        struct stat node;
        const std::string path = "/dev/" + name;
        if (stat(path.c_str(), &node) == 0 && InUse(node, ours)) {
            if (tty)
                *tty = path;
            return true;
        }
    }
    return false;
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
