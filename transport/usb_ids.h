// The USB converters that the two direct-USB links open, by vendor and
// product id. The udev rules that give users access to them list the same
// pairs (a test holds the two together), and the device listing shows them.
#pragma once

#include <cstddef>
#include <cstdint>

struct UsbId {
    uint16_t vendor;
    uint16_t product;
};

// What libftdi's search with vendor and product 0 matches (libftdi1 1.5,
// ftdi_usb_find_all): FTDI's own vendor id with the default product id of
// the FT232R/FT245R, FT2232, FT4232H, FT232H and FT-X families.
constexpr UsbId kFtdiLinkIds[] = {
    {0x0403, 0x6001}, {0x0403, 0x6010}, {0x0403, 0x6011}, {0x0403, 0x6014}, {0x0403, 0x6015},
};

// Silicon Labs CP210x bridges: the CP2102 default id and its alternative.
constexpr UsbId kCp2102LinkIds[] = {
    {0x10C4, 0xEA60}, {0x10C4, 0xEA61},
};

template <size_t N>
constexpr bool UsbIdListed(const UsbId (&ids)[N], uint16_t vendor, uint16_t product)
{
    for (const UsbId& id : ids) {
        if (id.vendor == vendor && id.product == product)
            return true;
    }
    return false;
}
