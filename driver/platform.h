// What the run needs of the operating system beyond standard C and C++:
// one implementation per platform, chosen by the build.
#pragma once

#include <cstdio>

// Opens the image file for reading in binary mode; null when it cannot be
// opened or is no file that holds an image.
FILE* OpenImageFile(const char* name);
