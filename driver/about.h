// update --help and update --version: what the program is and how to use it.
#pragma once

// Each prints to standard output and returns the exit status.
int PrintHelp();
int PrintVersion();
