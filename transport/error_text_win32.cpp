#include "error_text_win32.h"

std::string ErrorText(DWORD error)
{
    // Language 0: Windows' own order (the thread's, the user's, the system's
    // language, then English), so that a system without English messages
    // still explains. No inserts: the messages with %1 get no arguments here.
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                        0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                message.back() == '.'))
        message.pop_back();
    if (message.empty())
        message = "error " + std::to_string(error);
    return message;
}
