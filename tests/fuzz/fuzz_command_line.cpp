// Fuzz target: the command line parsed, then echoed. The input is split at
// its zero bytes into the arguments after the program name.
//
// Checks: every text field is terminated within its 100 bytes; the settings
// are those of a plain re-walk of the parsing rules (markers anywhere in an
// argument, values at a fixed offset from its start, a value of more than 99
// characters refused and its field left empty, the transport type read like
// atoi but clamped, only whole baud-rate arguments count); the echo is the
// five-line layout with exactly these values.
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "settings.h"

namespace {

constexpr size_t kMaxArguments = 64;

const char* const kRates[] = {"-256000", "-128000", "-115200", "-57600", "-56000", "-38400", "-19200", "-14400",
                              "-9600",   "-4800",   "-2400",   "-1200",  "-600",   "-300",   "-110"};

struct Expected {
    int32_t baudRate = 0;
    int32_t transportType = 0;
    bool debug = false;
    std::string fileName;
    std::string comPortName;
    std::string usbDeviceName;
    bool valueTooLong = false;
};

bool Contains(const std::string& text, const char* marker)
{
    return text.find(marker) != std::string::npos;
}

void SetValue(std::string* field, const std::string& value, Expected* expected)
{
    if (value.size() > 99) {
        expected->valueTooLong = true;
        field->clear();
    } else {
        *field = value;
    }
}

int32_t AtoiClamped(const std::string& text)
{
    const long long value = strtoll(text.c_str(), nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return int32_t(value);
}

Expected ReWalk(const std::vector<std::string>& arguments)
{
    Expected expected;
    for (const std::string& argument : arguments) {
        const std::string fromThird = argument.size() > 2 ? argument.substr(2) : "";
        if (Contains(argument, "-F"))
            SetValue(&expected.fileName, fromThird, &expected);
        if (Contains(argument, "-D")) {
            SetValue(&expected.usbDeviceName, fromThird, &expected);
        } else if (Contains(argument, "-COM")) {
            SetValue(&expected.comPortName, argument.substr(1), &expected);
        } else if (Contains(argument, "-T")) {
            expected.transportType = AtoiClamped(fromThird);
        } else {
            if (Contains(argument, "-debug"))
                expected.debug = true;
            for (const char* rate : kRates) {
                if (argument == rate)
                    expected.baudRate = atoi(rate + 1);
            }
        }
    }
    return expected;
}

// The echo as printed: standard output is pointed at a buffer for the call
// (glibc lets a program assign stdout), so that no input costs a system call.
std::string Echo(const RunSettings& settings)
{
    static char buffer[4096];
    FILE* memory = fmemopen(buffer, sizeof buffer, "w");
    FUZZ_CHECK(memory != nullptr);
    FILE* console = stdout;
    stdout = memory;
    PrintSettings(settings);
    stdout = console;
    const long length = ftell(memory);
    FUZZ_CHECK(length >= 0 && size_t(length) < sizeof buffer);
    fclose(memory);
    return std::string(buffer, size_t(length));
}

std::string TypeLabel(int32_t type)
{
    return type == 0 ? "Com-Port" : type == 1 ? "FTDI-Device" : "CP2102-Device";
}

void CheckField(const char* field, const std::string& expected)
{
    FUZZ_CHECK(memchr(field, '\0', kTextFieldSize) != nullptr);
    FUZZ_CHECK(strlen(field) <= 99);
    FUZZ_CHECK(expected == field);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> arguments;
    const char* text = reinterpret_cast<const char*>(data);
    for (size_t at = 0; size > 0 && at <= size && arguments.size() < kMaxArguments;) {
        const void* zero = memchr(text + at, '\0', size - at);
        const size_t end = zero ? size_t(static_cast<const char*>(zero) - text) : size;
        arguments.push_back(std::string(text + at, end - at));
        at = end + 1;
    }
    std::vector<const char*> argv = {"update"};
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());

    RunSettings settings;
    ParseCommandLine(int(argv.size()), argv.data(), &settings);

    const Expected expected = ReWalk(arguments);
    CheckField(settings.fileName, expected.fileName);
    CheckField(settings.comPortName, expected.comPortName);
    CheckField(settings.usbDeviceName, expected.usbDeviceName);
    FUZZ_CHECK(settings.baudRate == expected.baudRate);
    FUZZ_CHECK(settings.transportType == expected.transportType);
    FUZZ_CHECK(settings.debug == expected.debug);
    FUZZ_CHECK(settings.valueTooLong == expected.valueTooLong);

    const std::string echo = Echo(settings);
    const std::string wanted = "Baudrate          : " + std::to_string(expected.baudRate) +
                               "\nUSB-Devicename    : " + expected.usbDeviceName +
                               "\nCom-Port          : " + expected.comPortName +
                               "\nQuelldatei        : " + expected.fileName +
                               "\nType              : " + std::to_string(expected.transportType) + " " +
                               TypeLabel(expected.transportType) + "\n\n";
    FUZZ_CHECK(echo == wanted);
    return 0;
}
