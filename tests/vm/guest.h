// A QEMU guest (TCG) that runs the real program against the kernel's own
// serial drivers. The host side of every QEMU character device is a Unix
// socket served here: the guest's agent on its third serial port runs the
// commands, and a simulated target answers on each data port.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "target/sim_target.h"

struct GuestResult {
    std::string out;  // standard output, byte for byte
    std::string err;
    int status = -1;  // exit status; -1 when the guest did not answer
};

// One line of QEMU's trace: when (host wall clock, seconds) and what.
struct TraceLine {
    double time = 0;
    std::string text;
};

class Guest {
public:
    // name: a label for the transcript. dataPorts: the character devices
    // that carry a target, by id; "uart" becomes the guest's ttyS1, "ftdi*"
    // an FTDI converter on the guest's xHCI controller, in the order given.
    Guest(const std::string& name, const std::vector<std::string>& dataPorts);
    ~Guest();
    Guest(const Guest&) = delete;
    Guest& operator=(const Guest&) = delete;

    // Boots and waits for the agent; false (with the reason in Error()) if it never comes.
    bool Boot();
    const std::string& Error() const { return error_; }

    // Runs a shell command line in the guest and serves the targets meanwhile.
    GuestResult Run(const std::string& command, int seconds = 60);

    // A fresh target behind a data port; bytes that come while it has none are counted and dropped.
    void NewTarget(const std::string& port, const TargetBehaviour& behaviour = TargetBehaviour());
    const SimTarget& Target(const std::string& port);
    // Host wall-clock times at which the target on this port answered.
    const std::vector<double>& ReplyTimes(const std::string& port);
    // When the first byte of the current target arrived; 0 if none did.
    double FirstByteTime(const std::string& port);

    // QEMU's trace lines of the last Run.
    const std::vector<TraceLine>& Trace() const { return trace_; }
    // The last trace line before a time that contains the text; empty if none.
    std::string LastTraceBefore(double time, const std::string& text) const;
    // Every trace line of the last Run that contains the text.
    std::vector<std::string> TraceWith(const std::string& text) const;

    // A new data port added while the guest runs (an FTDI converter plugged in).
    bool PlugConverter(const std::string& port, int usbPort);
    bool UnplugConverter(const std::string& port);

    // Where the transcript (commands, answers, trace) goes.
    std::string TranscriptPath() const;

private:
    struct Port;
    std::string Monitor(const std::string& command);
    bool Serve(int milliseconds, const std::string& until, bool wholeLine = false);
    void Note(const std::string& text);
    void ReadTrace();
    Port& PortNamed(const std::string& name);

    std::string name_;
    std::string dir_;
    std::vector<std::string> dataPorts_;
    pid_t qemu_ = -1;
    int control_ = -1;
    int controlListen_ = -1;
    int monitor_ = -1;
    std::string controlBuffer_;
    std::map<std::string, std::unique_ptr<Port>> ports_;
    std::vector<TraceLine> trace_;
    long traceOffset_ = 0;
    std::string traceLeft_;
    std::string error_;
    FILE* transcript_ = nullptr;
};

// Seconds since the epoch with microseconds, as QEMU stamps its trace.
double WallClock();
