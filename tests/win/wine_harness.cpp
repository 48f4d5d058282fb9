#include "wine_harness.h"

#include <chrono>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string Setting(const char* name)
{
    const char* value = getenv(name);
    if (!value || !*value)
        ADD_FAILURE() << name << " is not set: run the Windows tests through CTest";
    return value ? value : "";
}

void Redirect(int fd, const std::string& path, int flags)
{
    const int file = open(path.c_str(), flags, 0644);
    if (file >= 0) {
        dup2(file, fd);
        close(file);
    }
}

}  // namespace

std::string Crlf(const std::string& text)
{
    std::string converted;
    for (char c : text) {
        if (c == '\n')
            converted += '\r';
        converted += c;
    }
    return converted;
}

void WineUpdate::Install(const std::vector<std::string>& dlls)
{
    namespace fs = std::filesystem;
    fs::copy_file(Setting("UPDATE_EXE"), scratch.Path("update.exe"), fs::copy_options::overwrite_existing);
    for (const std::string& dll : dlls) {
        const fs::path source = fs::path(Setting("STANDIN_DIR")) / dll;
        fs::copy_file(source, scratch.Path(source.filename().string()), fs::copy_options::overwrite_existing);
    }
}

std::string WineUpdate::Image(const std::vector<unsigned char>& bytes)
{
    scratch.Write("image.hex", HexText(bytes));
    return "image.hex";
}

std::string WineUpdate::WindowsPath(const std::string& name) const
{
    std::string path = "Z:" + scratch.Path(name);
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

std::string WineUpdate::DosDevices()
{
    return Setting("WINEPREFIX") + "/dosdevices";
}

WineResult WineUpdate::Run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment)
{
    std::vector<std::string> argv = {Setting("WINE"), scratch.Path("update.exe")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return Start(argv, environment);
}

WineResult WineUpdate::RunWithTarget(int number, const std::vector<std::string>& targetOptions,
                                     const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& environment)
{
    std::vector<std::string> argv = {Setting("SIMTARGET"), "--quiet", "--record", scratch.Path("received"),
                                     "--summary", scratch.Path("summary"), "--link",
                                     DosDevices() + "/com" + std::to_string(number)};
    argv.insert(argv.end(), targetOptions.begin(), targetOptions.end());
    argv.push_back("--");
    argv.push_back(Setting("WINE"));
    argv.push_back(scratch.Path("update.exe"));
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return Start(argv, environment, true);
}

// Standard output and error go to files: Wine's helper processes can keep a
// pipe open after the program has ended.
WineResult WineUpdate::Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                             bool programIsChild)
{
    WineResult result;
    std::vector<std::string> entries = {"STANDIN_LOG=" + WindowsPath("calls.log"),
                                        "STANDIN_RECEIVED=" + WindowsPath("received")};
    entries.insert(entries.end(), environment.begin(), environment.end());
    const std::string directory = scratch.Path("");
    const std::string outPath = scratch.Path("stdout");
    const std::string errPath = scratch.Path("stderr");
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(directory.c_str()) != 0)
            _exit(126);
        Redirect(STDIN_FILENO, "/dev/null", O_RDONLY);
        Redirect(STDOUT_FILENO, outPath, O_WRONLY | O_CREAT | O_TRUNC);
        Redirect(STDERR_FILENO, errPath, O_WRONLY | O_CREAT | O_TRUNC);
        for (const std::string& entry : entries)
            putenv(const_cast<char*>(entry.c_str()));
        ExecArgv(argv);
    }
    auto interrupted = start;
    if (interruptAfter_ > 0) {
        // Until the transfer shows, or 30 s for a program that never gets there.
        for (int look = 0; look < 3000 && scratch.Read("stdout").find("Transferring") == std::string::npos; ++look)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::duration<double>(interruptAfter_));
        const pid_t program = programIsChild ? FirstChildOf(child) : child;
        if (program > 0)
            kill(program, SIGINT);
        interrupted = std::chrono::steady_clock::now();
    }
    int status = 0;
    waitpid(child, &status, 0);
    const auto end = std::chrono::steady_clock::now();
    result.seconds = std::chrono::duration<double>(end - start).count();
    if (interruptAfter_ > 0)
        result.secondsAfterInterrupt = std::chrono::duration<double>(end - interrupted).count();
    interruptAfter_ = 0;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = scratch.Read("stdout");
    result.err = scratch.Read("stderr");
    return result;
}

std::vector<std::string> WineUpdate::Calls() const
{
    std::vector<std::string> lines;
    std::istringstream record(scratch.Read("calls.log"));
    for (std::string line; std::getline(record, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> WineUpdate::CallsOf(const std::string& prefix) const
{
    std::vector<std::string> lines;
    for (const std::string& line : Calls()) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    }
    return lines;
}

std::string WineUpdate::SendsSeen() const
{
    const std::string summary = scratch.Read("summary");
    const size_t at = summary.find("sends");
    return at == std::string::npos ? "" : summary.substr(at, summary.find('\n', at) - at);
}

void WineUpdate::ClearRecords() const
{
    for (const char* name : {"calls.log", "received", "summary"})
        unlink(scratch.Path(name).c_str());
}
