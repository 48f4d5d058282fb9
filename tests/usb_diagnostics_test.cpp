// What the program says on standard error when a USB link does not open, and
// what update --list shows, against emulated converters; standard output
// stays as it always was.
#include "usb/cp2102_model.h"
#include "usb/ft232r_model.h"
#include "usb_ids.h"
#include "usb_update_fixture.h"

#include <csignal>
#include <fcntl.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kFtdiDescription[] = "FT232R USB UART";
const char kBridgeDescription[] = "CP2102 USB to UART Bridge Controller";
const std::string kFtdiConnect = "Connection with FTDI-USB Device...\n";
const std::string kBridgeConnect = "Connection with CP2102-USB Device...\n";

class FtdiReasons : public UsbUpdate<Ft232rModel> {
protected:
    FtdiReasons() : UsbUpdate("-T1", kFtdiDescription) {}
};

class BridgeReasons : public UsbUpdate<Cp2102Model> {
protected:
    BridgeReasons() : UsbUpdate("-T2", kBridgeDescription) {}
};

// Attaches one model per product id, described by its id, in this order.
template <typename Model>
void AttachProducts(UsbTestbed* bed, const std::vector<uint16_t>& products)
{
    for (uint16_t product : products) {
        char description[16];
        snprintf(description, sizeof description, "id %04x", product);
        auto model = std::make_shared<Model>(description, TargetBehaviour());
        model->productId = product;
        bed->Add(model);
    }
}

template <size_t N>
std::set<std::string> AttachedList(const UsbId (&ids)[N], const std::vector<uint16_t>& products)
{
    std::set<std::string> list;
    for (uint16_t product : products) {
        if (!UsbIdListed(ids, ids[0].vendor, product))
            continue;
        char entry[32];
        snprintf(entry, sizeof entry, "-D\"id %04x\"", product);
        list.insert(entry);
    }
    return list;
}

// The descriptions after the reason's first words, in whatever order the
// library enumerated them; empty when the reason is another.
std::set<std::string> AttachedOf(const std::string& err, const std::string& reason)
{
    std::set<std::string> list;
    if (err.compare(0, reason.size(), reason) != 0 || err.empty() || err.back() != '\n')
        return {"unexpected: " + err};
    const std::string rest = err.substr(reason.size(), err.size() - reason.size() - 1);
    size_t start = 0;
    for (size_t comma; (comma = rest.find(", ", start)) != std::string::npos; start = comma + 2)
        list.insert(rest.substr(start, comma - start));
    list.insert(rest.substr(start));
    return list;
}

TEST_F(FtdiReasons, NoMatchingDescriptionListsTheAttachedOnes)
{
    Attach(kFtdiDescription);
    Attach("Lab \"A\" link");
    const ProcessResult result = Update({0, 0}, "-9600", "Box");
    EXPECT_EQ(result.out, kFtdiConnect + InUse("Box"));
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(AttachedOf(result.err, "update: no FTDI converter answers to -DBox; attached: "),
              (std::set<std::string>{"-D\"FT232R USB UART\"", "-D'Lab \"A\" link'"}));
}

TEST_F(FtdiReasons, NoConverterAttached)
{
    const ProcessResult result = Update({0, 0}, "-9600", "FT232R USB UART");
    EXPECT_EQ(result.out, kFtdiConnect + InUse());
    EXPECT_EQ(result.err, "update: no FTDI converter answers to -D\"FT232R USB UART\": none is attached\n");
}

TEST_F(FtdiReasons, ConverterClaimedByAnotherProgram)
{
    Attach(kFtdiDescription);
    bed.SetClaimedElsewhere(0, true);
    const ProcessResult result = Update({0, 0});
    EXPECT_EQ(result.out, kFtdiConnect + InUse());
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(result.err, "update: the FTDI converter \"FT232R USB UART\" at /dev/bus/usb/001/002 is claimed by another "
                          "program: unable to claim usb device. Make sure the default FTDI driver is not in use; close "
                          "it and try again\n");
}

TEST_F(FtdiReasons, RateTheConverterCannotMake)
{
    Attach(kFtdiDescription);
    const ProcessResult result = Update({0, 0}, "-110");
    EXPECT_EQ(result.out, kFtdiConnect + InUse());
    EXPECT_EQ(result.err,
              "update: the FTDI converter \"FT232R USB UART\" refused the line settings (110 baud, 8N1): "
              "Unsupported baudrate. Note: bitbang baudrates are automatically multiplied by 4\n");
}

// The ids in the code are the ids libftdi's default search finds: every
// converter whose id is in the table is asked for its description, no other.
TEST_F(FtdiReasons, TheLinkSearchesExactlyTheIdsOfItsTable)
{
    const std::vector<uint16_t> products = {0x6001, 0x6002, 0x6006, 0x6010, 0x6011, 0x6012,
                                            0x6014, 0x6015, 0x6016, 0x8372, 0xFBFA};
    AttachProducts<Ft232rModel>(&bed, products);
    const ProcessResult result = Update({0, 0}, "-9600", "Box");
    EXPECT_EQ(AttachedOf(result.err, "update: no FTDI converter answers to -DBox; attached: "),
              AttachedList(kFtdiLinkIds, products));
    size_t listed = 0;
    for (uint16_t product : products)
        listed += UsbIdListed(kFtdiLinkIds, 0x0403, product);
    EXPECT_EQ(listed, std::size(kFtdiLinkIds));
}

TEST_F(FtdiReasons, SuccessLeavesStandardErrorSilent)
{
    Attach(kFtdiDescription);
    const ProcessResult result = Update(BlockImage({20}));
    EXPECT_EQ(result.out, kFtdiConnect + ProgressLine('-', 0) + kDone);
    EXPECT_EQ(result.err, "");
}

TEST_F(BridgeReasons, NoMatchingDescriptionListsTheAttachedOnes)
{
    Attach(kBridgeDescription);
    Attach("Bench 2");
    const ProcessResult result = Update({0, 0}, "-9600", "cp2102 usb to uart bridge controller");
    EXPECT_EQ(result.out, kBridgeConnect + InUse("cp2102 usb to uart bridge controller"));
    EXPECT_EQ(result.err, "update: no CP2102 bridge answers to -D\"cp2102 usb to uart bridge controller\"; attached: "
                          "-D\"CP2102 USB to UART Bridge Controller\", -D\"Bench 2\"\n");
}

TEST_F(BridgeReasons, RateTheBridgeCannotMake)
{
    Attach(kBridgeDescription);
    const ProcessResult result = Update({0, 0}, "-110");
    EXPECT_EQ(result.out, kBridgeConnect + InUse());
    EXPECT_EQ(result.err, "update: the CP2102 bridge \"CP2102 USB to UART Bridge Controller\" cannot make 110 baud: it "
                          "would run at 300 baud\n");
}

TEST_F(BridgeReasons, BridgeClaimedByAnotherProgram)
{
    Attach(kBridgeDescription);
    bed.SetClaimedElsewhere(0, true);
    const ProcessResult result = Update({0, 0});
    EXPECT_EQ(result.out, kBridgeConnect + InUse());
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(result.err, "update: the CP2102 bridge \"CP2102 USB to UART Bridge Controller\" at /dev/bus/usb/001/002 "
                          "is claimed by another program: Resource busy; close it and try again\n");
}

TEST_F(BridgeReasons, TheLinkSearchesExactlyTheIdsOfItsTable)
{
    const std::vector<uint16_t> products = {0xEA60, 0xEA61, 0xEA63, 0xEA70, 0xEA71, 0xEA80};
    AttachProducts<Cp2102Model>(&bed, products);
    const ProcessResult result = Update({0, 0}, "-9600", "Box");
    EXPECT_EQ(AttachedOf(result.err, "update: no CP2102 bridge answers to -DBox; attached: "),
              AttachedList(kCp2102LinkIds, products));
}

// A process that holds the tty the kernel made of the converter (a terminal
// program on /dev/ttyUSB0) until it is killed. This process is not on the
// emulated bus: it opens the node in the testbed's folder.
class TtyHolder {
public:
    TtyHolder(const UsbTestbed& bed, const std::string& node)
    {
        const int tty = open((bed.RootDir() + node).c_str(), O_RDWR | O_NOCTTY);
        if (tty < 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            pause();
            _exit(0);
        }
        close(tty);
    }
    ~TtyHolder()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool Holding() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// The processes that started the program have no claim on a converter
// either: a terminal session whose other window has the tty open (screen on
// /dev/ttyUSB0) would lose it. The test, the program's parent, has it open
// in the second case.
TEST_F(FtdiReasons, ConverterWhoseSerialPortIsOpenElsewhere)
{
    Attach(kFtdiDescription);
    const std::string node = bed.AddTty(0, "ttyUSB0");
    const std::string reason = "update: the FTDI converter \"FT232R USB UART\" at /dev/bus/usb/001/002 is claimed by "
                               "another program: its serial port /dev/ttyUSB0 is open; close it and try again\n";
    {
        TtyHolder holder(bed, node);
        ASSERT_TRUE(holder.Holding());
        const ProcessResult result = Update({0, 0});
        EXPECT_EQ(result.out, kFtdiConnect + InUse());
        EXPECT_EQ(result.err, reason);
    }
    const int caller = open((bed.RootDir() + node).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(caller, 0);
    const ProcessResult result = Update({0, 0});
    close(caller);
    EXPECT_EQ(result.out, kFtdiConnect + InUse());
    EXPECT_EQ(result.err, reason);
    EXPECT_EQ(bed.Counters(0).detaches, 0);
}

TEST_F(BridgeReasons, BridgeWhoseSerialPortIsOpenElsewhere)
{
    Attach(kBridgeDescription);
    const std::string node = bed.AddTty(0, "ttyUSB0");
    const std::string reason = "update: the CP2102 bridge \"CP2102 USB to UART Bridge Controller\" at "
                               "/dev/bus/usb/001/002 is claimed by another program: its serial port /dev/ttyUSB0 is "
                               "open; close it and try again\n";
    {
        TtyHolder holder(bed, node);
        ASSERT_TRUE(holder.Holding());
        const ProcessResult result = Update({0, 0});
        EXPECT_EQ(result.out, kBridgeConnect + InUse());
        EXPECT_EQ(result.err, reason);
    }
    const int caller = open((bed.RootDir() + node).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(caller, 0);
    const ProcessResult result = Update({0, 0});
    close(caller);
    EXPECT_EQ(result.out, kBridgeConnect + InUse());
    EXPECT_EQ(result.err, reason);
    EXPECT_EQ(bed.Counters(0).detaches, 0);
}

// Without the udev rules a converter's device node is root's: run as nobody,
// who may read the emulated sysfs but not write the node, the program points
// at the rules. Starting as another user needs root, as CI runs.
ProcessResult UpdateAsNobody(UsbTestbed& bed, const ScratchDir& scratch, const std::string& type,
                             const std::string& name)
{
    const std::string root = bed.RootDir();
    EXPECT_EQ(RunProcess({"/bin/chmod", "-R", "go+rwX", root}).status, 0);
    EXPECT_EQ(RunProcess({"/bin/chmod", "0644", root + "/dev/bus/usb/001/002"}).status, 0);
    const std::string image = scratch.Write("image.hex", HexText({0, 0}));
    const std::string program = scratch.Path("update");
    EXPECT_EQ(RunProcess({"/bin/cp", UPDATE_BINARY, program}).status, 0);
    EXPECT_EQ(RunProcess({"/bin/chmod", "go+rx", scratch.Path(""), image}).status, 0);
    return RunProcess({program, "-F" + image, type, "-9600", "-D" + name}, UsbTestbed::ChildEnvironment(), nullptr,
                      "nobody");
}

TEST_F(FtdiReasons, NoAccessToTheDeviceNodePointsAtTheUdevRules)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as another user";
    Attach(kFtdiDescription);
    const ProcessResult result = UpdateAsNobody(bed, scratch, "-T1", kFtdiDescription);
    EXPECT_EQ(result.out, kFtdiConnect + InUse());
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(result.err, "update: no permission to use the USB device of the FTDI converter at /dev/bus/usb/001/002: "
                          "libusb_open() failed; install the udev rules (60-update.rules, see \"man update\") or join "
                          "group plugdev\n");
}

TEST_F(BridgeReasons, NoAccessToTheDeviceNodePointsAtTheUdevRules)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as another user";
    Attach(kBridgeDescription);
    const ProcessResult result = UpdateAsNobody(bed, scratch, "-T2", kBridgeDescription);
    EXPECT_EQ(result.out, kBridgeConnect + InUse());
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(result.err, "update: no permission to use the USB device of the CP2102 bridge at /dev/bus/usb/001/002: "
                          "Access denied (insufficient permissions); install the udev rules (60-update.rules, see "
                          "\"man update\") or join group plugdev\n");
}

// Every failure of a transfer explained on standard error, over each
// emulated converter: the cases that every link shares.
template <typename Reasons>
void ExpectTransferFailureExplained(Reasons* test, const TransferFailureCase& failure, const std::string& connect,
                                    const std::string& end, const std::string& readFailure, double timeoutMs)
{
    TargetBehaviour behaviour;
    std::string script = failure.script;
    for (size_t start = 0, line; (line = script.find('\n', start)) != std::string::npos; start = line + 1)
        ASSERT_TRUE(ParseScriptLine(script.substr(start, line - start), &behaviour)) << script;
    test->Attach(test->description, behaviour);
    Interruption interruption;
    interruption.signal = SIGINT;
    interruption.after = "Transferring";
    interruption.delaySeconds = 1.0;
    const ProcessResult result =
        test->Update(TransferFailureImage(), "-115200", "", failure.interrupt ? &interruption : nullptr);
    EXPECT_EQ(result.out, connect + failure.out);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(WithoutWaits(result.err), ExpectedExplanations(failure, end, {readFailure})[0]);
    // The wait is the link's reply time-out, or the time to the interrupt.
    const size_t within = result.err.find("no reply within ");
    if (within != std::string::npos) {
        EXPECT_GE(std::stod(result.err.substr(within + 16)), timeoutMs - 100) << result.err;
    }
    const size_t waiting = result.err.find("its reply (");
    if (waiting != std::string::npos) {
        EXPECT_GE(std::stod(result.err.substr(waiting + 11)), 500.0) << result.err;
        EXPECT_LT(std::stod(result.err.substr(waiting + 11)), timeoutMs - 100) << result.err;
    }
    if (!failure.deviceGone)
        test->ExpectKernelDriverBack();
}

class FtdiTransferFailures : public FtdiReasons, public ::testing::WithParamInterface<size_t> {
public:
    using FtdiReasons::Attach;
    using FtdiReasons::ExpectKernelDriverBack;
    using FtdiReasons::Update;
    const std::string description = kFtdiDescription;
};

class BridgeTransferFailures : public BridgeReasons, public ::testing::WithParamInterface<size_t> {
public:
    using BridgeReasons::Attach;
    using BridgeReasons::ExpectKernelDriverBack;
    using BridgeReasons::Update;
    const std::string description = kBridgeDescription;
};

TEST_P(FtdiTransferFailures, ExplainedOnStandardError)
{
    ExpectTransferFailureExplained(this, kTransferFailureCases[GetParam()], kFtdiConnect,
                                   "-D\"FT232R USB UART\" at 115200 baud 8N1",
                                   "write failed: getting modem status failed; its read: No such device (it may have "
                                   "been disconnected)",
                                   8000);
}

TEST_P(BridgeTransferFailures, ExplainedOnStandardError)
{
    ExpectTransferFailureExplained(this, kTransferFailureCases[GetParam()], kBridgeConnect,
                                   "-D\"CP2102 USB to UART Bridge Controller\" at 115200 baud 8N1",
                                   "write and read failed: No such device (it may have been disconnected)", 4000);
}

std::string CaseName(const ::testing::TestParamInfo<size_t>& info)
{
    return kTransferFailureCases[info.param].name;
}

INSTANTIATE_TEST_SUITE_P(Cases, FtdiTransferFailures, ::testing::Range<size_t>(0, kTransferFailureCaseCount),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(Cases, BridgeTransferFailures, ::testing::Range<size_t>(0, kTransferFailureCaseCount),
                         CaseName);

// update --list reads what every user may read and touches no device.
class Listing : public ::testing::Test {
protected:
    ProcessResult List(const std::vector<std::string>& arguments = {"--list"})
    {
        std::vector<std::string> argv = {UPDATE_BINARY};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return RunProcess(argv, UsbTestbed::ChildEnvironment());
    }

    UsbTestbed bed;
};

TEST_F(Listing, PortsAndConvertersWithTheNamesToPass)
{
    bed.Add(std::make_shared<Ft232rModel>("FT232R USB UART", TargetBehaviour()));
    bed.Add(std::make_shared<Cp2102Model>("CP2102 USB to UART Bridge Controller", TargetBehaviour()));
    auto other = std::make_shared<Ft232rModel>("Not a converter of ours", TargetBehaviour());
    other->productId = 0x6002;
    bed.Add(other);
    const std::string usbPort = bed.SysfsPath(0) + "/1-2:1.0/ttyUSB0/tty/ttyUSB0";
    ASSERT_TRUE(bed.AddFromString(
        "P: " + usbPort + "\nN: ttyUSB0\nS: serial/by-id/usb-FTDI_FT232R_USB_UART_A10K0001-if00-port0\n"
        "S: serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyUSB0\n\n"
        "P: /devices/platform/serial8250/tty/ttyS0\nN: ttyS0\nE: SUBSYSTEM=tty\nA: type=4\\n\n\n"
        "P: /devices/platform/serial8250/tty/ttyS1\nN: ttyS1\nE: SUBSYSTEM=tty\nA: type=0\\n\n\n"
        "P: /devices/virtual/tty/tty0\nN: tty0\nE: SUBSYSTEM=tty\n\n"
        "P: /devices/pnp0/00:05/tty/ttyS-Dx\nN: ttyS-Dx\nE: SUBSYSTEM=tty\nA: type=4\\n\n"));

    const ProcessResult result = List();
    EXPECT_EQ(result.out,
              "Serial ports (-T0):\n"
              "  /dev/ttyS-Dx: no -COM name reaches it\n"
              "  /dev/ttyS0: -COM1\n"
              "  /dev/ttyUSB0: -COMttyUSB0 (USB 0403:6001 \"FT232R USB UART\")\n"
              "    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K0001-if00-port0: holds -F, so as -COM it sets the "
              "image file too unless -F comes after it\n"
              "    /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0: "
              "-COM/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n"
              "FTDI converters (-T1):\n"
              "  /dev/bus/usb/001/002 0403:6001 serial A10K0001: -D\"FT232R USB UART\" (its serial port ttyUSB0 is away "
              "while -T1 runs)\n"
              "CP2102 bridges (-T2):\n"
              "  /dev/bus/usb/001/003 10c4:ea60 serial 0001: -D\"CP2102 USB to UART Bridge Controller\"\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    for (size_t device = 0; device < 3; ++device) {
        EXPECT_EQ(bed.Counters(device).opens, 0) << device;
        EXPECT_EQ(bed.Counters(device).claims, 0) << device;
    }
}

// libusb 1.0.26 hands each UTF-16 unit of 0x80 or more over as '?'
// (libusb_get_string_descriptor_ascii), and so the links compare "Ger?t":
// the listing shows that text, and it opens the converter.
TEST_F(Listing, DescriptionsBeyondAsciiAsTheLinksReadThem)
{
    bed.Add(std::make_shared<Ft232rModel>("Ger\xc3\xa4t", TargetBehaviour()));
    // The euro sign is one unit, the G clef (U+1D11E) a surrogate pair.
    bed.Add(std::make_shared<Cp2102Model>("Box \xe2\x82\xac \xf0\x9d\x84\x9e", TargetBehaviour()));
    const ProcessResult result = List();
    EXPECT_NE(result.out.find("  /dev/bus/usb/001/002 0403:6001 serial A10K0001: -D\"Ger?t\"\n"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("  /dev/bus/usb/001/003 10c4:ea60 serial 0001: -D\"Box ? ??\"\n"), std::string::npos)
        << result.out;
    EXPECT_EQ(result.status, 0);

    ScratchDir scratch;
    const std::string image = "-F" + scratch.Write("image.hex", HexText(BlockImage({2})));
    EXPECT_EQ(RunProcess({UPDATE_BINARY, image, "-T1", "-115200", "-DGer?t"}, UsbTestbed::ChildEnvironment()).status, 0);
    EXPECT_EQ(RunProcess({UPDATE_BINARY, image, "-T2", "-115200", "-DBox ? ??"}, UsbTestbed::ChildEnvironment()).status,
              0);
}

// A listing that cannot be written is a failure, not a listing; so are a
// help text and a version that reach nobody.
TEST_F(Listing, UnwritableOutputFails)
{
    bed.Add(std::make_shared<Ft232rModel>("FT232R USB UART", TargetBehaviour()));
    for (const std::string option : {"--list", "--help", "--version"}) {
        for (const std::string output : {"/dev/full", "closed pipe", "closed"}) {
            SCOPED_TRACE(option);
            const std::vector<std::string> argv = {UPDATE_BINARY, option};
            int ends[2] = {-1, -1};
            ASSERT_EQ(pipe(ends), 0);
            close(ends[0]);
            const int full = open("/dev/full", O_WRONLY);
            ASSERT_GE(full, 0);
            const pid_t child = fork();
            if (child == 0) {
                if (output == "closed")
                    close(STDOUT_FILENO);  // update --list >&-
                else
                    dup2(output == "/dev/full" ? full : ends[1], STDOUT_FILENO);
                for (const std::string& entry : UsbTestbed::ChildEnvironment())
                    putenv(const_cast<char*>(entry.c_str()));
                ExecArgv(argv);
            }
            close(ends[1]);
            close(full);
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status)) << output;
            EXPECT_EQ(WEXITSTATUS(status), kFailed) << output;
        }
    }
}

TEST_F(Listing, NothingAttached)
{
    const ProcessResult result = List();
    EXPECT_EQ(result.out, "Serial ports (-T0):\n  none that the system shows\nUSB: the system shows no USB bus\n"
                          "FTDI converters (-T1):\n  none\nCP2102 bridges (-T2):\n  none\n");
    EXPECT_EQ(result.status, 0);
}

TEST_F(Listing, OnlyAsTheSoleArgument)
{
    ProcessResult result = List({"--list", "-9600"});
    EXPECT_EQ(result.out, kUsageText);
    EXPECT_EQ(result.status, kFailed);
    result = List({"-9600", "--list"});
    EXPECT_EQ(result.out, kUsageText);
    result = List({"--lists"});
    EXPECT_EQ(result.out, kUsageText);
    EXPECT_EQ(result.status, kFailed);
}

}  // namespace
