// One run of the program: command line, checks, link, image, transfer.
#pragma once

// Returns the process exit status: 0 after a complete update, -1 otherwise.
int RunUpdate(int argc, const char* const* argv);
