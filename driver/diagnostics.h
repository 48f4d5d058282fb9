// What the driver tells a person on standard error, beside the fixed
// messages on standard output: why a link did not open, why a transfer
// failed, and with UPDATE_TRACE=1 one line per block sent.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// An option and its value, quoted as a POSIX shell must be given them to pass
// the value unchanged: -D"FT232R USB UART".
std::string ShellArgument(const std::string& option, const std::string& value);

// After a failed Open: one line that says why, when the link said.
void ExplainOpenFailure(int32_t transportType, const char* name, uint32_t baudRate);

struct TransferFacts;

// After a failed transfer: one line of facts and, where they point to one, a
// line with the likely cause. name is the port or description as given.
void ExplainTransferFailure(const TransferFacts& facts, int32_t transportType, const char* name, uint32_t baudRate);

// True when UPDATE_TRACE asks for a line per block.
bool TraceWanted();
// One send of a block; reply is -1 when none came.
void TraceBlock(int block, int32_t offset, int32_t size, int send, int reply, std::chrono::steady_clock::duration waited);
