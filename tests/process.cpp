#include "process.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>


ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
{
    ProcessResult result;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return result;
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        std::vector<char*> args;
        for (const std::string& word : argv)
            args.push_back(const_cast<char*>(word.c_str()));
        args.push_back(nullptr);
        for (const std::string& entry : environment)
            putenv(const_cast<char*>(entry.c_str()));
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    char buffer[4096];
    ssize_t count;
    while ((count = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
        result.out.append(buffer, size_t(count));
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ScratchDir::ScratchDir()
{
    char pattern[] = "/tmp/update-test-XXXXXX";
    path_ = mkdtemp(pattern);
}

ScratchDir::~ScratchDir()
{
    const std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "cannot remove %s\n", path_.c_str());
}

std::string ScratchDir::Write(const std::string& name, const std::string& content) const
{
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
}

std::string ScratchDir::Read(const std::string& name) const
{
    std::ifstream file(Path(name), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string HexText(const std::vector<unsigned char>& bytes)
{
    std::string text;
    char value[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(value, sizeof value, "%02X", bytes[i]);
        text += value;
        text += (i % 16 == 15) ? '\n' : ' ';
    }
    return text;
}

std::vector<unsigned char> BlockImage(const std::vector<int>& payloadLengths, unsigned seed)
{
    std::vector<unsigned char> image;
    for (int length : payloadLengths) {
        image.push_back((unsigned char)(length >> 8));
        image.push_back((unsigned char)(length & 0xFF));
        for (int i = 0; i < length; ++i)
            image.push_back((unsigned char)(seed++));
    }
    return image;
}

std::string ProgressLine(char spinner, int percent)
{
    return "\r                        \rTransferring.. " + std::string(1, spinner) + " " + std::to_string(percent) +
           "% done.";
}

const char kUsageText[] =
    "usage: update -F<filename.ext> [-COMx] [-baudrate] [-Tx] [-Dusbdevicename]\n"
    "\n"
    "  filename.ext    File containing flash upgrade buffer.\n"
    "  -COMx           Communications port number.\n"
    "  -baudrate       Communication baudrate, e.g. 9600, 115200.\n"
    "                  Supported baudrates:\n"
    "                    110, 300, 600, 1200, 2400,\n"
    "                    4800, 9600, 14400, 19200, 38400,\n"
    "                    56000, 57600, 115200, 128000, 256000\n"
    "\n"
    " -Tx              Communication over:\n"
    "                  0 : ComPort (default)\n"
    "                  1 : FTDI-USB (Direct-USB)\n"
    "                  2 : CP2102-USB (Direct-USB)\n"
    "\n"
    " -Dusbdevicename  USB-String\n"
    "                  If usbdevicename includes spaces, you have to use quotes\n"
    "                  e.g. -D\"ZOR QX 4070 HT\"\n"
    "\n";
