#include "platform.h"

#include <sys/stat.h>

// A folder opens for reading on some systems but holds no image: it must not
// pass for an empty image, which would be reported as a successful update.
FILE* OpenImageFile(const char* name)
{
    FILE* file = fopen(name, "rb");
    struct stat status;
    if (file && fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
        fclose(file);
        return nullptr;
    }
    return file;
}
