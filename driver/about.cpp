#include "about.h"

#include <cstdio>

#include "settings.h"
#include "update_version.h"

int PrintHelp()
{
    PrintUsage();
    printf("update --list     the serial ports and converters attached, each with the -COM or -D\n"
           "                  argument that names it\n"
           "update --version  the version and the licence\n"
           "UPDATE_TRACE=1    in the environment: a line on standard error for every send of a block\n"
           "\n"
           "The manual: man update (update.html in the Windows archive).\n");
    return 0;
}

int PrintVersion()
{
    const char* describe = UPDATE_GIT_DESCRIBE;
    printf("update %s%s%s%s\n", UPDATE_VERSION, *describe ? " (git " : "", describe, *describe ? ")" : "");
    printf("Copyright (c) 2026 The update developers\n"
           "Licence: MIT (SPDX-License-Identifier: MIT); the LICENSE file and the manual have the text.\n"
           "There is NO WARRANTY, to the extent permitted by law.\n");
    return 0;
}
