// update.exe under Wine and what it asks of Windows for itself: where vendor
// DLLs come from, a vendor DLL of the wrong bitness, a closed console, and
// file names outside the ANSI code page.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "wine_harness.h"

namespace {

namespace fs = std::filesystem;

const char kDescription[] = "CP2102 Test Bridge";
const std::string kNotLoaded =
    Crlf(std::string("Connection with CP2102-USB Device...\nError: ") + kDescription + " in use or does not exist.\n");

class WinePlatform : public WineUpdate {
protected:
    // update.exe in the folder app/ of the scratch folder, which is the
    // current folder of the runs.
    WinePlatform()
    {
        fs::create_directories(scratch.Path("app"));
        fs::copy_file(getenv("UPDATE_EXE"), scratch.Path("app/update.exe"));
    }

    void Put(const std::string& dll, const std::string& folder)
    {
        fs::copy_file(fs::path(getenv("STANDIN_DIR")) / dll, scratch.Path(folder) + "/" +
                      fs::path(dll).filename().string(), fs::copy_options::overwrite_existing);
    }

    WineResult Cp2102(const std::vector<std::string>& environment = {})
    {
        std::vector<std::string> entries = {std::string("STANDIN_DEVICES=") + kDescription};
        entries.insert(entries.end(), environment.begin(), environment.end());
        return Start({getenv("WINE"), scratch.Path("app/update.exe"), "-F" + Image(BlockImage({4}, 1)), "-T2",
                      "-9600", std::string("-D") + kDescription},
                     entries);
    }
};

// LoadLibrary's standard search (Microsoft: "Dynamic-link library search
// order") looks in the current folder; update.exe allows only its own folder,
// System32 and absolute folders on the PATH.
TEST_F(WinePlatform, VendorDllComesFromTheProgramsFolderNeverTheCurrentOne)
{
    Put("full/SiUSBXp.dll", "");
    WineResult result = Cp2102();
    EXPECT_EQ(result.out, kNotLoaded);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_TRUE(Calls().empty()) << "the DLL in the current folder was loaded";
    // Standard error names the folders searched.
    EXPECT_NE(result.err.find("SiUSBXp.dll: not found in " + WindowsPath("app") + " (update.exe's folder), "),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("the current folder is not searched"), std::string::npos) << result.err;

    // "." on the PATH is the current folder too.
    result = Cp2102({"WINEPATH=."});
    EXPECT_EQ(result.out, kNotLoaded);
    EXPECT_TRUE(Calls().empty()) << "the DLL in the current folder was loaded through the PATH";

    // An absolute folder on the PATH is searched.
    fs::create_directories(scratch.Path("lib"));
    Put("full/SiUSBXp.dll", "lib");
    result = Cp2102({"WINEPATH=" + WindowsPath("lib")});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_FALSE(Calls().empty());
    ClearRecords();

    Put("full/SiUSBXp.dll", "app");
    result = Cp2102();
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_FALSE(Calls().empty());
}

// LoadLibrary fails with ERROR_BAD_EXE_FORMAT (193) for a DLL built for
// another machine; the reason says which.
TEST_F(WinePlatform, VendorDllOfTheWrongBitnessIsNamedSo)
{
    if (!fs::exists(fs::path(getenv("STANDIN_DIR")) / "i686/SiUSBXp.dll"))
        GTEST_SKIP() << "no 32-bit mingw-w64 to build a 32-bit DLL with";
    Put("i686/SiUSBXp.dll", "app");
    const WineResult result = Cp2102();
    EXPECT_EQ(result.out, kNotLoaded);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_NE(result.err.find(WindowsPath("app/SiUSBXp.dll") +
                              " is a 32-bit SiUSBXp.dll; update.exe needs the 64-bit one"),
              std::string::npos)
        << result.err;
}

// Closing the console window (CTRL_CLOSE_EVENT): the run ends in order, with
// the link closed and the failure status, well within the 5 s after which
// Windows ends the process itself. Wine's console sends no close event; the
// test starts the system's dispatch routine in update.exe as Windows does, and
// ends the process as Windows does once the handler returns or 5 s have
// passed, so that a handler that returns before the run has ended fails here.
TEST_F(WinePlatform, ClosedConsoleEndsTheUpdateInOrder)
{
    const std::vector<unsigned char> bytes = BlockImage(std::vector<int>(60, 98));
    const std::string image = Image(bytes);
    fs::copy_file(scratch.Path("app/update.exe"), scratch.Path("update.exe"));
    std::thread closer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const pid_t child = fork();
        if (child == 0)
            ExecArgv({getenv("WINE"), getenv("CONSOLE_EVENT"), "2", WindowsPath("update.exe")});
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the event was not sent";
    });
    const auto start = std::chrono::steady_clock::now();
    const WineResult result = RunWithTarget(27, {"--pace", "9600"}, {"-F" + image, "-COM27", "-9600"});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    closer.join();
    const std::string interrupted = Crlf("\nFailed: Update interrupted.\n");
    ASSERT_GE(result.out.size(), interrupted.size()) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - interrupted.size()), interrupted);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_LT(seconds, 1.5 + 3.5);
    EXPECT_LT(Received().size(), bytes.size());
}

// An image whose name has characters outside the ANSI code page (Windows-1252
// here): the manifest makes UTF-8 the process's code page, so the name
// reaches fopen intact and the message shows it as given.
TEST_F(WinePlatform, ImageNameOutsideTheAnsiCodePage)
{
    const std::string name = "Bild_\xE6\x97\xA5\xE6\x9C\xAC_\xC3\xBC.hex";  // Bild_日本_ü.hex
    scratch.Write(name, HexText({0, 1, 0x55}));
    WineResult result = Start({getenv("WINE"), scratch.Path("app/update.exe"), "-F" + name, "-19200", "-COM97"}, {});
    EXPECT_EQ(result.out, Crlf("Connection with Serial Com-Port COM97...\nError: COM97 in use or does not exist.\n"))
        << result.out;
    result = Start({getenv("WINE"), scratch.Path("app/update.exe"), "-Fmissing_\xE6\x97\xA5.hex", "-19200", "-COM97"},
                   {});
    EXPECT_EQ(result.out, Crlf("Error: Source-file 'missing_\xE6\x97\xA5.hex' not found or no rights.\n"));
}

}  // namespace
