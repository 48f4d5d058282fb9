// Systems that show no process's open files: only locks and the exclusive
// mode keep other programs off a port there.
#include "tty_users.h"

bool TtyOpenElsewhere(int)
{
    return false;
}

bool UsbDeviceTtyInUse(int, int, std::string*)
{
    return false;
}

bool TtyIsUsbSerial(int)
{
    return false;
}
