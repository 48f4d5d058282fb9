// One random case of the property test of the whole program: an image and
// the text it is written as, the command line, and what the target does with
// every send; and what the program must do then, as far as the protocol
// determines it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "target/sim_target.h"

// splitmix64: the same sequence from a seed on every platform and library,
// which the standard distributions do not promise.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    // 0 to limit - 1.
    uint32_t Below(uint32_t limit) { return uint32_t(Next() % limit); }
    // low to high, both included.
    uint32_t Between(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }
    bool Percent(uint32_t chance) { return Below(100) < chance; }

private:
    uint64_t state_;
};

uint64_t MixSeed(uint64_t base, uint64_t index);

// Rejections of one block that end the update.
constexpr int kRejectionsToFail = 4;

enum class CaseKind {
    kPlain,       // any behaviour but silence
    kContention,  // many stale bytes that mean the opposite of the reply, for a host sharing its CPU
    kSilence,     // as plain, and the target falls silent at one send (costs the 8 s time-out)
};
const char* KindName(CaseKind kind);

struct Block {
    std::vector<uint8_t> bytes;  // length field and payload
    // What the target does with each send of the block, in order; the last
    // one accepts, rejects for the fourth time, falls silent or hangs up.
    std::vector<SendScript> sends;
};

// Bytes on the line before the first block.
struct Preload {
    uint32_t stale = 0;
    uint8_t staleByte = kTargetAccept;
    uint32_t trickle = 0;
    uint8_t trickleByte = kTargetAccept;
};

struct PropertyCase {
    uint64_t seed = 0;
    CaseKind kind = CaseKind::kPlain;
    std::vector<Block> blocks;
    std::vector<uint8_t> image;
    std::string text;  // the image file
    // Where text after the image starts; npos when there is none.
    size_t trailingAt = std::string::npos;
    Preload preload;
    int32_t baudRate = 0;
    bool debug = false;
    // The update's arguments; @FILE@ stands for the image file's path, @PORT@
    // for the terminal's.
    std::vector<std::string> arguments;
};

PropertyCase MakeCase(uint64_t seed, CaseKind kind);

// The target's script for simtarget --script.
std::string ScriptText(const PropertyCase& item);

struct Prediction {
    std::string out;
    int status = 0;
    // The file holds text but no value: refused before anything is sent.
    bool refused = false;
    // Where the image text stops short of the end of the file, which standard
    // error names: 1-based line and column, and the characters ignored from
    // there on. Line 0: the image runs to the end.
    struct {
        long line = 0;
        long column = 0;
        long ignored = 0;
    } stop;
    // The target's log lines for the sends, in order.
    std::vector<std::string> sends;
};

// port: the terminal's path, as the program names it.
Prediction Predict(const PropertyCase& item, const std::string& imagePath, const std::string& port);

// A few lines for a person: the blocks and what each send gets.
std::string Describe(const PropertyCase& item);

// The target's log line for a send, as SimTarget writes it.
std::string SendLogLine(long block, int send, const std::vector<uint8_t>& bytes, const SendScript& script);
