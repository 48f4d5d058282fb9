// What the run needs of the operating system beyond standard C and C++:
// one implementation per platform, chosen by the build.
#pragma once

#include <cstdio>

// Sets the process up for one run: an interrupt (Ctrl-C, a closed terminal,
// a kill) becomes a request to end in order (see transport/interrupt.h)
// instead of ending the process with the device still held, unless the
// caller ignores that signal; output to a closed pipe or terminal fails
// instead of ending the process; a closed standard descriptor is filled, so
// that no device takes its place; and whatever the platform needs for
// millisecond time-outs. EndRun undoes the signal settings once the run has
// closed its link and flushed its output, with the status the process is to
// end with.
void BeginRun();
void EndRun(int status);

// Standard output was closed when the run began: what is printed is lost.
bool StandardOutputWasClosed();

// Opens the image file for reading in binary mode; null when it cannot be
// opened or is no regular file. Never waits for a writer.
FILE* OpenImageFile(const char* name);
