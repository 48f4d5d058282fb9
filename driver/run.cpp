#include "run.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "about.h"
#include "advice.h"
#include "com_cp2102.h"
#include "com_ftdi.h"
#include "com_port.h"
#include "diagnostics.h"
#include "image.h"
#include "interrupt.h"
#include "link_failure.h"
#include "listing.h"
#include "platform.h"
#include "settings.h"
#include "transfer.h"

namespace {

constexpr int kFailure = -1;
constexpr uint32_t kOpenTimeoutMs = 2000;

int Usage()
{
    PrintUsage();
    return kFailure;
}

// Creates the link for the transport type and names what it is opened with;
// null for a type that has no link.
std::unique_ptr<Com> CreateLink(const RunSettings& settings, const char** name)
{
    switch (settings.transportType) {
    case kTransportCp2102:
        if (settings.usbDeviceName[0] == '\0')
            return nullptr;
        printf("Connection with CP2102-USB Device...\n");
        *name = settings.usbDeviceName;
        return std::unique_ptr<Com>(new ComCP2102);
    case kTransportFtdi:
        if (settings.usbDeviceName[0] == '\0')
            return nullptr;
        printf("Connection with FTDI-USB Device...\n");
        *name = settings.usbDeviceName;
        return std::unique_ptr<Com>(new ComFTDI);
    case kTransportComPort:
        if (settings.comPortName[0] == '\0')
            return nullptr;
        printf("Connection with Serial Com-Port %s...\n", settings.comPortName);
        *name = settings.comPortName;
        return std::unique_ptr<Com>(new ComPort);
    default:
        return nullptr;
    }
}

// Refuses an image that could not succeed before anything reaches the target.
bool ImageAcceptable(const Image& image, const char* fileName)
{
    // A failing disk or a dropped share: what was read may be a part only.
    if (image.readError != 0) {
        printf("Error: Source-file '%s' not found or no rights.\n", fileName);
        fprintf(stderr, "update: cannot read %s: %s\n", fileName, strerror(image.readError));
        return false;
    }
    if (image.overflow) {
        printf("Error: Source-file '%s' is larger than %d bytes.\n", fileName, int(kImageCapacity));
        return false;
    }
    // The text after the image is ignored; say where, in case it was meant to count.
    if (image.stop.line != 0)
        fprintf(stderr, "%s:%ld:%ld: the image data ends here; %ld characters from here on are ignored\n",
                fileName, image.stop.line, image.stop.column, image.stop.ignored);
    if (ImageHoldsNoData(image)) {
        printf("Error: Source-file '%s' holds no update data.\n", fileName);
        return false;
    }
    if (!ImageBlocksComplete(image)) {
        printf("Error: Source-file '%s' ends inside a block.\n", fileName);
        return false;
    }
    return true;
}

// What --list, --help and --version print is all they do: text that reached
// nobody (a full disk, a closed pipe, update --list >&-) is a failure.
int Delivered(int status)
{
    if (fflush(stdout) != 0 || ferror(stdout) || StandardOutputWasClosed())
        return kFailure;
    return status;
}

int Run(int argc, const char* const* argv)
{
    if (argc < 2)
        return Usage();
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0)
        return Delivered(ListDevices());
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return Delivered(PrintHelp());
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return Delivered(PrintVersion());

    RunSettings settings;
    ParseCommandLine(argc, argv, &settings);
    if (settings.debug)
        PrintSettings(settings);
    if (settings.valueTooLong || settings.baudRate == 0 || settings.fileName[0] == '\0')
        return Usage();

    FILE* file = OpenImageFile(settings.fileName);
    if (!file) {
        printf("Error: Source-file '%s' not found or no rights.\n", settings.fileName);
        return kFailure;
    }

    const char* name = nullptr;
    std::unique_ptr<Com> link = CreateLink(settings, &name);
    if (!link) {
        fclose(file);
        return Usage();
    }
    fflush(stdout);  // opening a USB link can take a moment
    if (settings.transportType == kTransportFtdi || settings.transportType == kTransportCp2102) {
        const std::string limits = UsbLinkLimits();
        if (!limits.empty())
            fprintf(stderr, "update: %s\n", limits.c_str());
    }
    ClearLinkFailure();
    const bool opened = link->Open(name, uint32_t(settings.baudRate), kOpenTimeoutMs);
    if (InterruptRequested()) {
        printf("%s", kInterruptedMessage);
        fflush(stdout);
        fprintf(stderr, "update: interrupted while %s was opening; nothing was sent\n", name);
        link->Close();
        fclose(file);
        return kFailure;
    }
    if (!opened) {
        printf("Error: %s in use or does not exist.\n", name);
        ExplainOpenFailure(settings.transportType, name, uint32_t(settings.baudRate));
        fclose(file);
        return kFailure;
    }

    // Large: kept off the stack.
    std::unique_ptr<Image> image(new Image);
    ReadImage(file, image.get(), InterruptRequested);
    // Before the file's verdict: an interrupted read on a network file system
    // fails with EINTR, which is no fault of the file.
    if (InterruptRequested()) {
        printf("%s", kInterruptedMessage);
        fflush(stdout);
        fprintf(stderr, "update: interrupted while %s was being read; nothing was sent\n", settings.fileName);
        link->Close();
        fclose(file);
        return kFailure;
    }
    if (!ImageAcceptable(*image, settings.fileName)) {
        link->Close();
        fclose(file);
        return kFailure;
    }
    TransferFacts facts;
    if (TransferImage(link.get(), *image, file, &facts))
        return 0;
    ExplainTransferFailure(facts, settings.transportType, name, uint32_t(settings.baudRate));
    return kFailure;
}

}  // namespace

int RunUpdate(int argc, const char* const* argv)
{
    BeginRun();
    const int status = Run(argc, argv);
    // Everything goes out while a closed reader still cannot end the process.
    fflush(stdout);
    fflush(stderr);
    EndRun(status);
    return status;
}
