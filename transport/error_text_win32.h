// Windows' own words for an error code, for the reason a link did not open.
#pragma once

#include <string>
#include <windows.h>

// The system's message for the code, without its closing period and line end.
std::string ErrorText(DWORD error);
