#include "guest.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kBootSeconds = 90;  // TCG on a loaded machine: usually 6 s
constexpr int kPollMs = 20;

const char kReady[] = "@@@ready@@@";
const char kErrMarker[] = "\n@@@err@@@\n";
const char kStatusMarker[] = "\n@@@status ";

int Listen(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0)
        return -1;
    return fd;
}

int Connect(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

bool WriteAll(int fd, const char* data, size_t count)
{
    while (count > 0) {
        const ssize_t written = write(fd, data, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        count -= size_t(written);
    }
    return true;
}

}  // namespace

double WallClock()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return double(now.tv_sec) + now.tv_usec / 1e6;
}

struct Guest::Port {
    int listen = -1;
    int connection = -1;
    std::unique_ptr<SimTarget> target;
    std::vector<double> replies;
    double firstByte = 0;
    size_t dropped = 0;
};

Guest::Guest(const std::string& name, const std::vector<std::string>& dataPorts)
    : name_(name), dataPorts_(dataPorts)
{
    char pattern[] = "/tmp/update-vm-XXXXXX";
    dir_ = mkdtemp(pattern) ? pattern : "/tmp";
    transcript_ = fopen(TranscriptPath().c_str(), "w");
}

Guest::~Guest()
{
    if (qemu_ > 0) {
        kill(qemu_, SIGKILL);
        waitpid(qemu_, nullptr, 0);
    }
    for (auto& entry : ports_) {
        if (entry.second->connection >= 0)
            close(entry.second->connection);
        if (entry.second->listen >= 0)
            close(entry.second->listen);
    }
    for (int fd : {control_, controlListen_, monitor_})
        if (fd >= 0)
            close(fd);
    if (transcript_)
        fclose(transcript_);
    std::string command = "rm -rf '" + dir_ + "'";
    if (dir_ != "/tmp" && system(command.c_str()) != 0)
        fprintf(stderr, "cannot remove %s\n", dir_.c_str());
}

std::string Guest::TranscriptPath() const
{
    return std::string(VM_LOG_DIR) + "/" + name_ + ".log";
}

void Guest::Note(const std::string& text)
{
    if (transcript_) {
        fputs(text.c_str(), transcript_);
        fflush(transcript_);
    }
}

Guest::Port& Guest::PortNamed(const std::string& name)
{
    std::unique_ptr<Port>& port = ports_[name];
    if (!port)
        port.reset(new Port);
    return *port;
}

bool Guest::Boot()
{
    const std::string guest = GUEST_DIR;
    controlListen_ = Listen(dir_ + "/control.sock");
    if (controlListen_ < 0) {
        error_ = "cannot listen on " + dir_;
        return false;
    }
    std::vector<std::string> argv = {
        "qemu-system-x86_64", "-M", "pc", "-accel", "tcg", "-m", "256", "-smp", "1", "-display", "none",
        "-no-reboot", "-nodefaults", "-vga", "none",
        "-kernel", guest + "/vmlinuz", "-initrd", guest + "/initramfs.cpio.gz",
        "-append", "console=ttyS0 loglevel=4 panic=-1",
        // ttyS0: the kernel's console, ttyS1: the UART under test, ttyS2: the agent.
        "-serial", "file:" + std::string(VM_LOG_DIR) + "/" + name_ + ".console",
        "-monitor", "unix:" + dir_ + "/monitor.sock,server=on,wait=off",
        "-trace", "serial_update_parameters", "-trace", "usb_serial_*", "-msg", "timestamp=on",
        "-D", dir_ + "/trace.log"};
    bool hasUart = false;
    bool hasUsb = false;
    for (const std::string& name : dataPorts_) {
        Port& port = PortNamed(name);
        port.listen = Listen(dir_ + "/" + name + ".sock");
        argv.insert(argv.end(), {"-chardev", "socket,id=" + name + ",path=" + dir_ + "/" + name + ".sock"});
        hasUart = hasUart || name == "uart";
        hasUsb = hasUsb || name != "uart";
    }
    argv.insert(argv.end(), {"-serial", hasUart ? "chardev:uart" : "null"});
    argv.insert(argv.end(), {"-chardev", "socket,id=control,path=" + dir_ + "/control.sock", "-serial", "chardev:control"});
    if (hasUsb) {
        argv.insert(argv.end(), {"-device", "qemu-xhci,id=xhci"});
        int usbPort = 1;
        for (const std::string& name : dataPorts_) {
            if (name != "uart")
                argv.insert(argv.end(), {"-device", "usb-serial,id=" + name + ",chardev=" + name +
                                                        ",bus=xhci.0,port=" + std::to_string(usbPort++)});
        }
    }
    std::string line = "$";
    for (const std::string& word : argv)
        line += " " + word;
    Note(line + "\n");

    qemu_ = fork();
    if (qemu_ == 0) {
        std::vector<char*> words;
        for (std::string& word : argv)
            words.push_back(&word[0]);
        words.push_back(nullptr);
        execvp(words[0], words.data());
        _exit(127);
    }
    if (qemu_ < 0) {
        error_ = "cannot start qemu";
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    if (!Serve(kBootSeconds * 1000, kReady)) {
        error_ = "the guest did not come up: see " + TranscriptPath() + " and the .console file beside it";
        return false;
    }
    controlBuffer_.clear();
    char text[64];
    snprintf(text, sizeof text, "# booted in %.1f s\n",
             std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    Note(text);
    for (int tries = 0; tries < 100 && monitor_ < 0; ++tries) {
        monitor_ = Connect(dir_ + "/monitor.sock");
        if (monitor_ < 0)
            usleep(20000);
    }
    Monitor("");  // the greeting and the first prompt
    return true;
}

// Serves the sockets until the control port's input contains the text (and
// the rest of its line, when asked), or the time is up, or QEMU is gone.
bool Guest::Serve(int milliseconds, const std::string& until, bool wholeLine)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const size_t at = controlBuffer_.find(until);
        if (at != std::string::npos && (!wholeLine || controlBuffer_.find('\n', at + until.size()) != std::string::npos))
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        if (qemu_ > 0 && waitpid(qemu_, nullptr, WNOHANG) == qemu_) {
            qemu_ = -1;
            Note("# qemu ended\n");
            return false;
        }
        std::vector<struct pollfd> entries;
        std::vector<std::pair<Port*, bool>> owners;  // the port, and whether the entry is its listener
        entries.push_back({control_ >= 0 ? control_ : controlListen_, POLLIN, 0});
        owners.push_back({nullptr, control_ < 0});
        for (auto& entry : ports_) {
            Port& port = *entry.second;
            if (port.connection >= 0) {
                entries.push_back({port.connection, POLLIN, 0});
                owners.push_back({&port, false});
            } else if (port.listen >= 0) {
                entries.push_back({port.listen, POLLIN, 0});
                owners.push_back({&port, true});
            }
        }
        if (poll(entries.data(), entries.size(), kPollMs) <= 0)
            continue;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (!(entries[i].revents & (POLLIN | POLLHUP)))
                continue;
            Port* port = owners[i].first;
            if (owners[i].second) {
                const int connection = accept4(entries[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                (port ? port->connection : control_) = connection;
                continue;
            }
            char buffer[4096];
            const ssize_t count = read(entries[i].fd, buffer, sizeof buffer);
            if (count <= 0) {
                close(entries[i].fd);
                (port ? port->connection : control_) = -1;
                continue;
            }
            if (!port) {
                controlBuffer_.append(buffer, size_t(count));
                continue;
            }
            if (!port->target) {
                port->dropped += size_t(count);
                continue;
            }
            if (port->firstByte == 0)
                port->firstByte = WallClock();
            std::vector<uint8_t> answer;
            port->target->Receive(reinterpret_cast<uint8_t*>(buffer), size_t(count), &answer);
            if (!answer.empty()) {
                port->replies.push_back(WallClock());
                WriteAll(port->connection, reinterpret_cast<const char*>(answer.data()), answer.size());
            }
        }
    }
}

void Guest::ReadTrace()
{
    FILE* file = fopen((dir_ + "/trace.log").c_str(), "r");
    if (!file)
        return;
    fseek(file, traceOffset_, SEEK_SET);
    char buffer[8192];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0)
        traceLeft_.append(buffer, count);
    traceOffset_ = ftell(file);
    fclose(file);
    size_t start = 0;
    for (size_t end; (end = traceLeft_.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = traceLeft_.substr(start, end - start);
        // pid@seconds.microseconds:event arguments
        const size_t at = line.find('@');
        const size_t colon = line.find(':', at);
        if (at == std::string::npos || colon == std::string::npos)
            continue;
        trace_.push_back({atof(line.substr(at + 1, colon - at - 1).c_str()), line.substr(colon + 1)});
        Note("  trace " + line + "\n");
    }
    traceLeft_.erase(0, start);
}

GuestResult Guest::Run(const std::string& command, int seconds)
{
    GuestResult result;
    ReadTrace();
    trace_.clear();
    Note("$ " + command + "\n");
    if (control_ < 0 || !WriteAll(control_, (command + "\n").data(), command.size() + 1)) {
        Note("# no guest\n");
        return result;
    }
    const bool answered = Serve(seconds * 1000, kStatusMarker, true);
    ReadTrace();
    if (!answered) {
        Note("# no answer within " + std::to_string(seconds) + " s: " + controlBuffer_ + "\n");
        controlBuffer_.clear();
        return result;
    }
    const size_t err = controlBuffer_.find(kErrMarker);
    const size_t status = controlBuffer_.find(kStatusMarker);
    const size_t statusEnd = controlBuffer_.find("@@@\n", status + 1);
    result.out = controlBuffer_.substr(0, err);
    result.err = controlBuffer_.substr(err + sizeof kErrMarker - 1, status - err - sizeof kErrMarker + 1);
    result.status = atoi(controlBuffer_.c_str() + status + sizeof kStatusMarker - 1);
    controlBuffer_.erase(0, statusEnd + 4);
    Note(result.out + (result.err.empty() ? "" : "\n[stderr] " + result.err) + "\n# status " +
         std::to_string(result.status) + "\n");
    return result;
}

void Guest::NewTarget(const std::string& name, const TargetBehaviour& behaviour)
{
    Port& port = PortNamed(name);
    port.target.reset(new SimTarget(behaviour));
    port.replies.clear();
    port.firstByte = 0;
}

const SimTarget& Guest::Target(const std::string& name)
{
    Port& port = PortNamed(name);
    if (!port.target)
        NewTarget(name);
    return *port.target;
}

const std::vector<double>& Guest::ReplyTimes(const std::string& name)
{
    return PortNamed(name).replies;
}

double Guest::FirstByteTime(const std::string& name)
{
    return PortNamed(name).firstByte;
}

std::string Guest::LastTraceBefore(double time, const std::string& text) const
{
    std::string found;
    for (const TraceLine& line : trace_) {
        if (line.time < time && line.text.find(text) != std::string::npos)
            found = line.text;
    }
    return found;
}

std::vector<std::string> Guest::TraceWith(const std::string& text) const
{
    std::vector<std::string> lines;
    for (const TraceLine& line : trace_) {
        if (line.text.find(text) != std::string::npos)
            lines.push_back(line.text);
    }
    return lines;
}

// Human monitor: one command, its answer up to the next prompt.
std::string Guest::Monitor(const std::string& command)
{
    if (monitor_ < 0)
        return "";
    if (!command.empty()) {
        Note("(qemu) " + command + "\n");
        WriteAll(monitor_, (command + "\n").data(), command.size() + 1);
    }
    std::string answer;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (answer.find("(qemu) ") == std::string::npos && std::chrono::steady_clock::now() < end) {
        // The guest must go on while the monitor works: serve while waiting.
        struct pollfd entry = {monitor_, POLLIN, 0};
        if (poll(&entry, 1, 0) > 0) {
            char buffer[1024];
            const ssize_t count = read(monitor_, buffer, sizeof buffer);
            if (count <= 0)
                break;
            answer.append(buffer, size_t(count));
        } else {
            Serve(kPollMs, "\x01never\x01");
        }
    }
    return answer;
}

bool Guest::PlugConverter(const std::string& name, int usbPort)
{
    Port& port = PortNamed(name);
    port.listen = Listen(dir_ + "/" + name + ".sock");
    if (port.listen < 0)
        return false;
    const std::string added = Monitor("chardev-add socket,id=" + name + ",path=" + dir_ + "/" + name + ".sock");
    // The converter attaches only once its character device is connected.
    Serve(200, "\x01never\x01");
    const std::string plugged = Monitor("device_add usb-serial,id=" + name + ",chardev=" + name +
                                        ",bus=xhci.0,port=" + std::to_string(usbPort));
    return added.find("rror") == std::string::npos && plugged.find("rror") == std::string::npos;
}

bool Guest::UnplugConverter(const std::string& name)
{
    const std::string removed = Monitor("device_del " + name);
    return removed.find("rror") == std::string::npos;
}
