// Runs programs for the end-to-end tests and keeps their files in a scratch folder.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct ProcessResult {
    std::string out;   // standard output, byte for byte
    std::string err;   // standard error
    int status = -1;   // exit status, or 128 + signal
    double seconds = 0;
    // With an interruption: from the signal to the end of the process; -1 when
    // the process ended before the signal was due.
    double secondsAfterSignal = -1;
};

// A signal sent while the program runs: once its standard output holds the
// text, after the delay. With toChild set it goes to the program's first
// child instead (the update that the simulated target runs).
struct Interruption {
    int signal = 0;
    std::string after;
    double delaySeconds = 0;
    bool toChild = false;
};

// In a child after fork: replaces the process with argv[0] and its arguments,
// with SIGINT, SIGQUIT, SIGHUP and SIGTERM at their default action; ends the
// child with status 127 when that fails.
[[noreturn]] void ExecArgv(const std::vector<std::string>& argv);

// The first child of a process, from the kernel's list of its children; 0
// when it has none.
pid_t FirstChildOf(pid_t parent);

// A process that is none of the program's callers (a child of the test)
// holding a file open until destroyed, as a terminal program holds a port;
// with a lock when asked: flock, or a POSIX record lock (fcntl), which
// does not conflict with flock and shows only in /proc/locks.
class FileHolder {
public:
    enum Lock { kNoLock, kFlock, kRecordLock };
    FileHolder(const std::string& path, Lock lock = kNoLock);
    ~FileHolder();
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;
    // The file is open (and locked) in the holder.
    bool Holding() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// Runs argv[0] with the arguments and these environment entries added; as
// the named user when one is given (the tests must run as root for that).
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
                         const Interruption* interruption = nullptr, const char* user = nullptr);

// A fresh folder removed with everything in it at the end of the test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    std::string Write(const std::string& name, const std::string& content) const;
    std::string Read(const std::string& name) const;

private:
    std::string path_;
};

// The hexadecimal text of a byte sequence, as an image file holds it.
std::string HexText(const std::vector<unsigned char>& bytes);

// An image of blocks with these payload lengths; payload bytes count up from seed.
std::vector<unsigned char> BlockImage(const std::vector<int>& payloadLengths, unsigned seed = 0);

// The progress line before a send, as the program prints it.
std::string ProgressLine(char spinner, int percent);

extern const char kUsageText[];

// A transfer that fails, as every link must explain it on standard error.
// The target's script has the simulated target's script format, one line per
// send. In the expected standard error "@END@" stands for the link's own end
// (the name, the rate and the framing), "@IO@" for the system's or library's
// words on the failed read, and every wait reads "T ms". An interrupt case
// sends SIGINT a second after the first progress line, while the program
// waits for the reply.
struct TransferFailureCase {
    const char* name;
    const char* script;
    const char* out;  // standard output after the connection line
    const char* err;
    bool interrupt = false;
    bool deviceGone = false;  // the link goes away with the target
};
extern const TransferFailureCase kTransferFailureCases[];
extern const size_t kTransferFailureCaseCount;
// The standard error expected of a case on a link, one for each of the
// link's words on the failed read or write.
std::vector<std::string> ExpectedExplanations(const TransferFailureCase& failure, const std::string& end,
                                              const std::vector<std::string>& ioFailures);
// The image of every case: three blocks of five bytes.
std::vector<unsigned char> TransferFailureImage();
// The standard error of a run with every number after "within ", "after " or
// "(" that ends in " ms" replaced by T.
std::string WithoutWaits(const std::string& text);
