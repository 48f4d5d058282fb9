// Systems that show no process's open files: only locks and the exclusive
// mode keep other programs off a port there.
#include "tty_users.h"

TtyUse TtyOpenElsewhere(int)
{
    TtyUse use;
    use.looked = true;
    return use;
}

TtyUse UsbDeviceTtyUse(int, int)
{
    TtyUse use;
    use.looked = true;
    return use;
}

bool LockedOnlyByCallers(int)
{
    return false;
}

bool TtyIsUsbSerial(int)
{
    return false;
}
