// Runs update.exe under Wine for the end-to-end tests: in a scratch folder of
// its own, next to the vendor DLLs a test chooses, with standard output in a
// file (its exact bytes), and for a COM port with the simulated target on the
// pseudo-terminal behind it. The test run (CTest) gives the places:
// WINE, WINEPREFIX, UPDATE_EXE, STANDIN_DIR, SIMTARGET.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"

constexpr int kFailed = 255;  // -1 as the shell sees it

// A text as a Windows console program in text mode writes it to a file: each
// line feed as CR LF; lone carriage returns stay as they are.
std::string Crlf(const std::string& text);

struct WineResult {
    std::string out;  // standard output, byte for byte
    std::string err;  // standard error
    int status = -1;
    double seconds = 0;
    // With InterruptAfter: from the signal to the program's end.
    double secondsAfterInterrupt = 0;
};

class WineUpdate : public ::testing::Test {
protected:
    // Puts update.exe into the scratch folder with these stand-in DLLs, given as
    // <variant>/<name> (full/FTD2XX.dll); none for a machine without them.
    void Install(const std::vector<std::string>& dlls);

    // Runs update.exe in the scratch folder. The stand-ins record their calls
    // and what the target received in the scratch folder.
    WineResult Run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {});

    // The same with the simulated target of tools/ behind port COM<number>.
    WineResult RunWithTarget(int number, const std::vector<std::string>& targetOptions,
                             const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment = {});

    // Writes the image file; returns its name relative to the scratch folder.
    std::string Image(const std::vector<unsigned char>& bytes);

    // The scratch folder's file as Wine names it (Z:\...).
    std::string WindowsPath(const std::string& name) const;

    // The stand-ins' call record, one call a line.
    std::vector<std::string> Calls() const;
    // Lines of the call record that begin with the prefix.
    std::vector<std::string> CallsOf(const std::string& prefix) const;
    // Every byte the target received.
    std::string Received() const { return scratch.Read("received"); }
    // The simulated target's count of sends per block ("sends 1 4").
    std::string SendsSeen() const;
    // Empties the records before the next run.
    void ClearRecords() const;

    // The next run's program gets SIGINT this long after its first progress
    // line (a loaded machine can take seconds to start it under Wine); Wine
    // turns the signal into a Ctrl-C console event on a thread of its own.
    void InterruptAfter(double seconds) { interruptAfter_ = seconds; }

    // The folder of the Wine prefix's COM port symbolic links.
    static std::string DosDevices();

    ScratchDir scratch;

    // Runs argv with standard output and error in the scratch folder's files
    // stdout and stderr; the program is argv's process or, with the target in
    // front of it, its child.
    WineResult Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                     bool programIsChild = false);

private:
    double interruptAfter_ = 0;
};
