// The pieces of the messages for a person: shell quoting of the names to
// pass, and the udev rules against the ids the links open.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

#include "diagnostics.h"
#include "process.h"
#include "usb_ids.h"

namespace {

// What bash makes of the quoted argument: it must be the option and the value
// unchanged. An interactive bash, as a person pastes the argument into: it
// expands '!' in double quotes from its history ("event not found" drops the
// line), where bash -c does not.
std::string AsTheShellPassesIt(const std::string& quoted)
{
    return RunProcess({"/bin/bash", "-c",
                       "printf '%s\\n' \"$1\" | HISTFILE=/dev/null bash --norc --noprofile -i 2>/dev/null", "bash",
                       "printf '%s' " + quoted})
        .out;
}

TEST(ShellArgument, EveryValueReachesTheProgramUnchanged)
{
    const std::vector<std::string> values = {
        "Box", "FT232R USB UART", "Lab \"A\" link", "it's", "a$b `c` \\d !e", "Caf\xe9 ?*", "tab\there", "",
        "Lab !1", "Box!", "it's !x", "Caf\xe9 !e",
        "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"};
    for (const std::string& value : values)
        EXPECT_EQ(AsTheShellPassesIt(ShellArgument("-D", value)), "-D" + value) << value;
}

TEST(ShellArgument, SimpleValuesStayReadable)
{
    EXPECT_EQ(ShellArgument("-D", "Box"), "-DBox");
    EXPECT_EQ(ShellArgument("-D", "FT232R USB UART"), "-D\"FT232R USB UART\"");
    EXPECT_EQ(ShellArgument("-COM", "ttyUSB0"), "-COMttyUSB0");
    EXPECT_EQ(ShellArgument("-D", "Lab \"A\""), "-D'Lab \"A\"'");
}

std::set<std::pair<int, int>> CodeIds()
{
    std::set<std::pair<int, int>> ids;
    for (const UsbId& id : kFtdiLinkIds)
        ids.insert({id.vendor, id.product});
    for (const UsbId& id : kCp2102LinkIds)
        ids.insert({id.vendor, id.product});
    return ids;
}

// Every rule that names a device gives both kinds of access, and the rules
// name exactly the converters that the links open.
TEST(UdevRules, GrantAccessToExactlyTheIdsTheLinksOpen)
{
    std::ifstream file(UDEV_RULES_FILE);
    ASSERT_TRUE(file) << UDEV_RULES_FILE;
    std::set<std::pair<int, int>> ruleIds;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        unsigned vendor = 0;
        unsigned product = 0;
        char end = 0;
        if (sscanf(line.c_str(), "ATTR{idVendor}==\"%4x\", ATTR{idProduct}==\"%4x\"%c", &vendor, &product, &end) != 3 ||
            end != ',') {
            EXPECT_EQ(line.find("idVendor"), std::string::npos) << "unrecognised rule: " << line;
            continue;
        }
        EXPECT_TRUE(ruleIds.insert({int(vendor), int(product)}).second) << "twice: " << line;
        EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos) << line;
        EXPECT_NE(line.find("MODE=\"0660\""), std::string::npos) << line;
        EXPECT_NE(line.find("GROUP=\"plugdev\""), std::string::npos) << line;
    }
    EXPECT_EQ(ruleIds, CodeIds());
}

}  // namespace
