#include "property_case.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace {

const int32_t kRates[] = {256000, 128000, 115200, 57600, 56000, 38400, 19200, 14400,
                          9600,   4800,   2400,   1200,   600,   300,   110};
const char kSpinner[] = {'-', '-', '\\', '\\', '|', '|', '/', '/'};

// Arguments the program ignores without a word.
const char* const kIgnoredArguments[] = {"9600", "-9600x", "-31250", "-bogus", "x"};

// White space of every kind the image text may hold between values.
const char kSeparators[] = {' ', '\t', '\n', '\r', '\v', '\f'};

// Characters that end the image.
const char kEndMarks[] = {':', '#', ';', 'g', 'G', 'z', 'Z', '!', '.', '='};

// Reply, stale and trickle bytes must all fit in the terminal's input queue
// (4096 bytes) so that none wait behind it for the kernel to move them on.
constexpr uint32_t kQueueBudget = 4000;

constexpr uint64_t kHashStart = 0xcbf29ce484222325ull;
constexpr uint64_t kHashPrime = 0x100000001b3ull;

uint8_t AnyByte(Random* random)
{
    return uint8_t(random->Below(256));
}

uint8_t RejectionByte(Random* random)
{
    const uint32_t value = random->Below(255);
    return uint8_t(value >= kTargetAccept ? value + 1 : value);
}

// A stale byte that, taken for the reply, would change what the host does.
uint8_t OppositeOf(uint8_t reply, Random* random)
{
    return reply == kTargetAccept ? RejectionByte(random) : kTargetAccept;
}

uint32_t PayloadLength(Random* random, CaseKind kind)
{
    const uint32_t pick = random->Below(100);
    if (kind == CaseKind::kContention)
        return pick < 80 ? random->Between(0, 256) : random->Between(257, 4096);
    if (pick < 50)
        return random->Between(0, 32);
    if (pick < 80)
        return random->Between(33, 512);
    return random->Between(513, 4096);
}

void AddExtras(Random* random, CaseKind kind, SendScript* send)
{
    if (kind == CaseKind::kContention) {
        if (random->Percent(85)) {
            send->stale = random->Between(300, 3000);
            send->staleByte = random->Percent(90) ? OppositeOf(send->reply, random) : AnyByte(random);
        }
        if (random->Percent(10)) {
            send->trickle = std::min(random->Between(50, 400), kQueueBudget - 1 - send->stale);
            send->trickleByte = OppositeOf(send->reply, random);
        }
        if (random->Percent(5))
            send->delayMs = random->Between(1, 20);
        return;
    }
    if (random->Percent(30)) {
        const uint32_t size = random->Below(100);
        send->stale = size < 70 ? random->Between(1, 16) : size < 90 ? random->Between(17, 500)
                                                                     : random->Between(501, 3000);
        send->staleByte = random->Percent(50) ? kTargetAccept : AnyByte(random);
    }
    if (random->Percent(8)) {
        send->trickle = std::min(random->Between(8, 400), kQueueBudget - 1 - send->stale);
        send->trickleByte = random->Percent(50) ? kTargetAccept : AnyByte(random);
    }
    if (random->Percent(12))
        send->delayMs = random->Percent(95) ? random->Between(1, 40) : random->Between(100, 1200);
}

std::vector<SendScript> MakeSends(Random* random, CaseKind kind)
{
    const uint32_t pick = random->Below(100);
    const uint32_t rejectTo = kind == CaseKind::kContention ? 40 : 62;
    const uint32_t crcFrom = kind == CaseKind::kContention ? 88 : 94;
    const int rejections = pick < rejectTo ? 0 : pick < crcFrom ? int(random->Between(1, 3)) : kRejectionsToFail;
    std::vector<SendScript> sends;
    for (int send = 0; send < std::min(rejections + 1, kRejectionsToFail); ++send) {
        SendScript script;
        script.reply = send < rejections ? RejectionByte(random) : kTargetAccept;
        AddExtras(random, kind, &script);
        sends.push_back(script);
    }
    return sends;
}

// Every send the host makes, in order, up to the one that ends the update.
std::vector<std::pair<size_t, size_t>> SendsMade(const std::vector<Block>& blocks)
{
    std::vector<std::pair<size_t, size_t>> made;
    for (size_t block = 0; block < blocks.size(); ++block) {
        const std::vector<SendScript>& sends = blocks[block].sends;
        for (size_t send = 0; send < sends.size(); ++send)
            made.push_back({block, send});
        if (sends.empty() || sends.back().reply != kTargetAccept || sends.back().action != SendScript::kAnswer)
            break;
    }
    return made;
}

// Replaces one send the host makes with an end: the target falls silent or hangs up.
void EndAtOneSend(Random* random, SendScript::Action action, PropertyCase* item)
{
    const std::vector<std::pair<size_t, size_t>> made = SendsMade(item->blocks);
    if (made.empty())
        return;
    const std::pair<size_t, size_t> at = made[random->Below(uint32_t(made.size()))];
    Block& block = item->blocks[at.first];
    SendScript end;
    end.action = action;
    if (action == SendScript::kHangUp) {
        const uint32_t size = uint32_t(block.bytes.size());
        const uint32_t pick = random->Below(100);
        end.hangUpAt = pick < 30 ? 0 : pick < 50 ? size : random->Between(0, size);
    }
    block.sends.resize(at.second);
    block.sends.push_back(end);
    for (size_t later = at.first + 1; later < item->blocks.size(); ++later)
        item->blocks[later].sends.clear();
}

char HexDigit(uint32_t value, Random* random)
{
    const char* digits = random->Percent(50) ? "0123456789ABCDEF" : "0123456789abcdef";
    return digits[value];
}

std::string Separator(Random* random)
{
    std::string text;
    if (random->Percent(10))
        return "\r\n";
    const uint32_t length = random->Percent(80) ? 1 : random->Between(2, 4);
    for (uint32_t i = 0; i < length; ++i)
        text += kSeparators[random->Below(sizeof kSeparators)];
    return text;
}

// Text after the image: it starts with a character that is neither white
// space, a digit, a sign nor the x of a prefix (whose reading the program may
// choose), and may hold anything after that.
std::string TrailingText(Random* random)
{
    switch (random->Below(4)) {
    case 0:
        return ":10010000214601360121470136007EFE09D2190140\n";  // a line of another hex format
    case 1:
        return "\xEF\xBB\xBF" "00 01\n";  // a byte-order mark
    default: {
        std::string text(1, kEndMarks[random->Below(sizeof kEndMarks)]);
        return text + (random->Percent(50) ? " comment 00 11 22\n33 44\n" : "");
    }
    }
}

// The bytes as image text in a random layout: values of two digits, or of
// one where no digit follows it; separated by any white space or run
// together; digits in either case; sometimes text after the image, whose
// first character's offset goes to trailingAt (npos: none).
std::string ImageText(const std::vector<uint8_t>& bytes, Random* random, size_t* trailingAt)
{
    std::string text;
    if (random->Percent(20))
        text += Separator(random);
    const uint32_t runTogether = random->Between(0, 100);  // share of values run together, per case
    const uint32_t oneDigit = random->Between(0, 60);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t value = bytes[i];
        const bool last = i + 1 == bytes.size();
        if (value < 16 && random->Percent(oneDigit)) {
            text += HexDigit(value, random);
            // A digit right after it would be taken as its second one.
            if (!last)
                text += Separator(random);
            continue;
        }
        text += HexDigit(value >> 4, random);
        text += HexDigit(value & 15, random);
        if (!last && !random->Percent(runTogether))
            text += Separator(random);
    }
    if (random->Percent(30))
        text += Separator(random);
    *trailingAt = std::string::npos;
    // An image of no values with text after it is refused: a few of those too.
    if (random->Percent(bytes.empty() ? 40 : 10)) {
        *trailingAt = text.size();
        text += TrailingText(random);
    }
    return text;
}

std::string Hex(uint8_t value)
{
    char text[4];
    snprintf(text, sizeof text, "%02X", value);
    return text;
}

std::string Run(uint32_t count, uint8_t value)
{
    return std::to_string(count) + ":" + Hex(value);
}

std::string ProgressLine(int spinner, int64_t acknowledged, int64_t count)
{
    return "\r                        \rTransferring.. " + std::string(1, kSpinner[spinner]) + " " +
           std::to_string(acknowledged * 100 / count) + "% done.";
}

uint64_t Hash(const uint8_t* bytes, size_t count)
{
    uint64_t hash = kHashStart;
    for (size_t i = 0; i < count; ++i)
        hash = (hash ^ bytes[i]) * kHashPrime;
    return hash;
}

std::string SendText(const SendScript& send)
{
    std::string text;
    if (send.action == SendScript::kSilent)
        return "silent";
    if (send.action == SendScript::kHangUp)
        return "hangup " + std::to_string(send.hangUpAt);
    text = "reply " + Hex(send.reply);
    if (send.delayMs)
        text += " delay " + std::to_string(send.delayMs);
    if (send.stale)
        text += " stale " + Run(send.stale, send.staleByte);
    if (send.trickle)
        text += " trickle " + Run(send.trickle, send.trickleByte);
    return text;
}

}  // namespace

uint64_t Random::Next()
{
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

uint64_t MixSeed(uint64_t base, uint64_t index)
{
    Random random(base ^ (index * 0xd1342543de82ef95ull));
    return random.Next();
}

const char* KindName(CaseKind kind)
{
    switch (kind) {
    case CaseKind::kContention:
        return "contention";
    case CaseKind::kSilence:
        return "silence";
    default:
        return "plain";
    }
}

PropertyCase MakeCase(uint64_t seed, CaseKind kind)
{
    Random random(seed);
    PropertyCase item;
    item.seed = seed;
    item.kind = kind;

    const uint32_t blocks = kind == CaseKind::kContention ? random.Between(2, 5)
                            : kind == CaseKind::kPlain && random.Percent(6) ? 0
                                                          : random.Between(1, 6);
    for (uint32_t i = 0; i < blocks; ++i) {
        Block block;
        const uint32_t length = PayloadLength(&random, kind);
        block.bytes.push_back(uint8_t(length >> 8));
        block.bytes.push_back(uint8_t(length & 0xFF));
        for (uint32_t j = 0; j < length; ++j)
            block.bytes.push_back(AnyByte(&random));
        block.sends = MakeSends(&random, kind);
        item.image.insert(item.image.end(), block.bytes.begin(), block.bytes.end());
        item.blocks.push_back(block);
    }
    if (random.Percent(kind == CaseKind::kPlain ? 5 : 2))
        EndAtOneSend(&random, SendScript::kHangUp, &item);
    if (kind == CaseKind::kSilence)
        EndAtOneSend(&random, SendScript::kSilent, &item);

    const uint8_t firstReply = blocks > 0 && !item.blocks[0].sends.empty() ? item.blocks[0].sends[0].reply
                                                                           : kTargetAccept;
    if (kind == CaseKind::kContention) {
        if (random.Percent(80)) {
            item.preload.stale = random.Between(1000, 3000);
            item.preload.staleByte = OppositeOf(firstReply, &random);
        }
    } else if (random.Percent(20)) {
        item.preload.stale = random.Between(1, 3000);
        item.preload.staleByte = random.Percent(60) ? kTargetAccept : AnyByte(&random);
    }
    if (random.Percent(kind == CaseKind::kContention ? 10 : 5)) {
        item.preload.trickle = std::min(random.Between(8, 400), kQueueBudget - item.preload.stale);
        item.preload.trickleByte = random.Percent(50) ? kTargetAccept : AnyByte(&random);
    }

    item.text = ImageText(item.image, &random, &item.trailingAt);
    item.baudRate = kRates[random.Below(sizeof kRates / sizeof kRates[0])];
    item.arguments = {"-F@FILE@", "-COM@PORT@", "-" + std::to_string(item.baudRate)};
    if (random.Percent(15)) {
        item.debug = true;
        item.arguments.push_back("-debug");
    }
    if (random.Percent(10))
        item.arguments.push_back("-T0");
    if (random.Percent(10))
        item.arguments.push_back(kIgnoredArguments[random.Below(sizeof kIgnoredArguments / sizeof(char*))]);
    for (size_t i = item.arguments.size() - 1; i > 0; --i)
        std::swap(item.arguments[i], item.arguments[random.Below(uint32_t(i + 1))]);
    return item;
}

std::string ScriptText(const PropertyCase& item)
{
    std::string text;
    if (item.preload.stale || item.preload.trickle)
        text += "start stale " + Run(item.preload.stale, item.preload.staleByte) + " trickle " +
                Run(item.preload.trickle, item.preload.trickleByte) + "\n";
    for (size_t block = 0; block < item.blocks.size(); ++block) {
        for (size_t send = 0; send < item.blocks[block].sends.size(); ++send)
            text += std::to_string(block) + " " + std::to_string(send + 1) + " " +
                    SendText(item.blocks[block].sends[send]) + "\n";
    }
    return text;
}

std::string SendLogLine(long block, int send, const std::vector<uint8_t>& bytes, const SendScript& script)
{
    char line[160];
    if (script.action == SendScript::kHangUp) {
        const size_t taken = std::min(size_t(script.hangUpAt), bytes.size());
        snprintf(line, sizeof line, "block %ld send %d hangup %zu hash %016" PRIx64, block, send, taken,
                 Hash(bytes.data(), taken));
    } else {
        snprintf(line, sizeof line, "block %ld send %d size %zu hash %016" PRIx64 " %s", block, send, bytes.size(),
                 Hash(bytes.data(), bytes.size()),
                 script.action == SendScript::kSilent ? "silent" : ("reply " + Hex(script.reply)).c_str());
    }
    return line;
}

Prediction Predict(const PropertyCase& item, const std::string& imagePath, const std::string& port)
{
    Prediction prediction;
    const std::string portName = "COM" + port;
    if (item.debug) {
        prediction.out += "Baudrate          : " + std::to_string(item.baudRate) +
                          "\nUSB-Devicename    : \nCom-Port          : " + portName +
                          "\nQuelldatei        : " + imagePath + "\nType              : 0 Com-Port\n\n";
    }
    prediction.out += "Connection with Serial Com-Port " + portName + "...\n";
    if (item.trailingAt != std::string::npos) {
        const std::string before = item.text.substr(0, item.trailingAt);
        const size_t newline = before.rfind('\n');
        prediction.stop.line = 1 + long(std::count(before.begin(), before.end(), '\n'));
        prediction.stop.column = long(before.size() - (newline == std::string::npos ? 0 : newline + 1)) + 1;
        prediction.stop.ignored = long(item.text.size() - item.trailingAt);
        if (item.image.empty()) {
            prediction.out += "Error: Source-file '" + imagePath + "' holds no update data.\n";
            prediction.status = 255;
            prediction.refused = true;
            return prediction;
        }
    }

    const int64_t count = int64_t(item.image.size());
    int64_t acknowledged = 0;
    int spinner = 0;
    for (size_t block = 0; block < item.blocks.size(); ++block) {
        const Block& current = item.blocks[block];
        for (size_t send = 0; send < current.sends.size(); ++send) {
            const SendScript& script = current.sends[send];
            prediction.out += ProgressLine(spinner, acknowledged, count);
            spinner = (spinner + 1) % 8;
            prediction.sends.push_back(SendLogLine(long(block), int(send + 1), current.bytes, script));
            if (script.action != SendScript::kAnswer) {
                prediction.out += "\nFailed: Target is not responding.\n";
                prediction.status = 255;
                return prediction;
            }
            if (script.reply == kTargetAccept) {
                acknowledged += int64_t(current.bytes.size());
                break;
            }
            if (send + 1 == size_t(kRejectionsToFail)) {
                prediction.out += "\nCRC error. File damaged.\n";
                prediction.status = 255;
                return prediction;
            }
        }
    }
    prediction.out += "\rTransferring.. 100% done.  \nTarget updated successfully.\n";
    prediction.status = 0;
    return prediction;
}

std::string Describe(const PropertyCase& item)
{
    char head[160];
    snprintf(head, sizeof head, "seed 0x%016" PRIx64 " (%s): %zu blocks, %zu bytes, %zu characters of text, args",
             item.seed, KindName(item.kind), item.blocks.size(), item.image.size(), item.text.size());
    std::string text = head;
    for (const std::string& argument : item.arguments)
        text += " " + argument;
    text += "\n";
    if (item.preload.stale || item.preload.trickle)
        text += "  before the first block: stale " + Run(item.preload.stale, item.preload.staleByte) + " trickle " +
                Run(item.preload.trickle, item.preload.trickleByte) + "\n";
    for (size_t block = 0; block < item.blocks.size(); ++block) {
        text += "  block " + std::to_string(block) + " (" + std::to_string(item.blocks[block].bytes.size()) +
                " bytes):";
        for (const SendScript& send : item.blocks[block].sends)
            text += " [" + SendText(send) + "]";
        text += "\n";
    }
    return text;
}
