// update --list: what is attached and how to name it on the command line.
#pragma once

// Prints the list; returns the exit status.
int ListDevices();
