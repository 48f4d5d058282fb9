// Property test of the whole program over pseudo-terminals: random images in
// random text layouts against a target whose behaviour is scripted send by
// send (tools/simtarget), each case checked against a model of what the
// protocol determines. Invariants: the exit status is 0 if and only if the
// target acknowledged every block in order; the target receives exactly the
// predicted sends; standard output is as predicted, byte for byte; standard
// error is empty, or names where the image text stopped short of its end,
// and after a failed transfer explains it, naming the block and send.
//
// What the model can predict. Before every block the host drains its input
// until a read finds the line quiet for the drain's time-out (1 ms; a one-byte
// read gives up after 2 ms), sends the block and takes the next byte as the
// reply. A byte the target sends besides its reply is therefore stale only if
// it is in the host's input before that drain ends; one that comes later is
// the reply, and no host could tell otherwise. The cases keep to what is
// certain:
//  - stale bytes after a reply go out in the same write as the reply, at most
//    4000 in all, so that the terminal's input queue (4096 bytes) takes them
//    at once and none waits for the kernel to move it on;
//  - stale bytes before the first block are in the terminal's input queue
//    before the program starts (simtarget waits until they are);
//  - a trickle, stale bytes that keep coming for a while, pauses about 0.1 ms
//    between its writes, well under the drain's time-out. The target measures
//    its pauses; a run in which one grew past 1 ms (the machine was busy) is
//    not judged but run again, because there the protocol itself cannot tell
//    the stale bytes from a reply;
//  - a late reply comes after the block, while the host waits with its 8 s
//    reply time-out, so any delay under that is certain; the cases keep to
//    1.2 s;
//  - a silent target costs the whole time-out; only the silence cases have one.
//
// Contention cases pin the program to one CPU next to two busy loops on that
// CPU, so that it is preempted for milliseconds at any point, a drain's read
// included, while the target runs on the other CPUs. Their stale bytes mean
// the opposite of the reply they follow, so that one taken for a reply shows.
//
// Usage: update_property [--cases N] [--contention N] [--silent N]
//                        [--seed S] [--max-seconds T] [--keep]
//        update_property --case SEED [--kind plain|contention|silence]
// UPDATE_PROPERTY_SEED fixes the base seed; UPDATE_SOAK_CASES=N runs N mixed
// cases, UPDATE_SOAK_SECONDS=T mixed cases for T seconds, instead of the counts
// given; UPDATE_PROPERTY_PROGRAM names another build of the program to test.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "process.h"
#include "property_case.h"

namespace {

using Clock = std::chrono::steady_clock;

// A case that takes longer than this hangs: the longest one waits out one
// 8 s time-out and a few late replies.
constexpr int kCaseLimitSeconds = 40;
// Runs again a case whose target could not keep its timing, up to this often.
constexpr int kAttempts = 3;
constexpr int kBusyLoops = 2;

struct Options {
    int plain = 0;
    int contention = 0;
    int silent = 0;
    uint64_t seed = 0;
    bool seedGiven = false;
    bool one = false;
    CaseKind kind = CaseKind::kPlain;
    double maxSeconds = 0;
    uint64_t soakCases = 0;
    double soakSeconds = 0;
    bool keep = false;
};

struct Outcome {
    std::string out;
    std::string err;  // the program's standard error, for a person
    std::string log;  // the target's
    int status = -1;
    bool hung = false;
};

struct Tally {
    int run = 0;
    int failed = 0;
    int rerun = 0;
    int notJudged = 0;
    double seconds[3] = {0, 0, 0};
    int perKind[3] = {0, 0, 0};
};

std::string ReadFile(const std::string& path)
{
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return text;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, count);
    fclose(file);
    return text;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::string Escaped(const std::string& text)
{
    std::string shown;
    for (unsigned char c : text) {
        if (c == '\n')
            shown += "\\n";
        else if (c == '\r')
            shown += "\\r";
        else if (c == '\\')
            shown += "\\\\";
        else if (c < 32 || c > 126) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            shown += hex;
        } else {
            shown += char(c);
        }
    }
    return shown;
}

const char* TasksetPath()
{
    for (const char* path : {"/usr/bin/taskset", "/bin/taskset"}) {
        if (access(path, X_OK) == 0)
            return path;
    }
    return nullptr;
}

// The CPU that the program and the busy loops share, and the others for the target.
struct CpuPlan {
    bool usable = false;
    int shared = 0;
    std::string others;
};

CpuPlan PlanCpus()
{
    CpuPlan plan;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0 || !TasksetPath())
        return plan;
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            cpus.push_back(cpu);
    }
    if (cpus.empty())
        return plan;
    plan.usable = true;
    plan.shared = cpus.back();
    for (size_t i = 0; i + 1 < cpus.size(); ++i)
        plan.others += (plan.others.empty() ? "" : ",") + std::to_string(cpus[i]);
    if (plan.others.empty())
        plan.others = std::to_string(plan.shared);  // one CPU: everything shares it
    return plan;
}

// Busy loops pinned to one CPU for as long as the object lives.
class Contention {
public:
    explicit Contention(int cpu)
    {
        for (int i = 0; i < kBusyLoops; ++i) {
            const pid_t child = fork();
            if (child == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                cpu_set_t set;
                CPU_ZERO(&set);
                CPU_SET(cpu, &set);
                sched_setaffinity(0, sizeof set, &set);
                volatile uint64_t spin = 0;
                for (;;)
                    spin = spin + 1;
            }
            if (child > 0)
                loops_.push_back(child);
        }
    }
    ~Contention()
    {
        for (pid_t loop : loops_) {
            kill(loop, SIGKILL);
            waitpid(loop, nullptr, 0);
        }
    }
    Contention(const Contention&) = delete;
    Contention& operator=(const Contention&) = delete;

private:
    std::vector<pid_t> loops_;
};

// The files of one case. Its path holds no dash: the program looks for its
// markers anywhere in an argument, and a path with "-D" in it would set the
// device name too.
class CaseFolder {
public:
    CaseFolder()
    {
        char pattern[] = "/tmp/update_property_XXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "";
    }
    ~CaseFolder()
    {
        if (!keep_)
            Remove(path_);
    }
    CaseFolder(const CaseFolder&) = delete;
    CaseFolder& operator=(const CaseFolder&) = delete;

    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    std::string Write(const std::string& name, const std::string& content) const
    {
        FILE* file = fopen(Path(name).c_str(), "wb");
        if (file) {
            fwrite(content.data(), 1, content.size(), file);
            fclose(file);
        }
        return Path(name);
    }
    // Leaves the files for a person to look at.
    std::string Keep()
    {
        keep_ = true;
        return path_;
    }

private:
    static void Remove(const std::string& path)
    {
        for (const char* name : {"image.hex", "script.txt", "target.log", "stderr"})
            remove((path + "/" + name).c_str());
        rmdir(path.c_str());
    }

    std::string path_;
    bool keep_ = false;
};

// Runs the command in its own process group with standard output captured
// and standard error sent to a file; kills the group if it outlives the limit.
Outcome RunCase(const std::vector<std::string>& argv, const std::string& errPath)
{
    Outcome outcome;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return outcome;
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        dup2(pipeEnds[1], STDOUT_FILENO);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0)
            dup2(err, STDERR_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        ExecArgv(argv);
    }
    close(pipeEnds[1]);
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(kCaseLimitSeconds);
    char buffer[4096];
    for (;;) {
        const long left = long(std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now()).count());
        if (left <= 0) {
            outcome.hung = true;
            kill(-child, SIGKILL);
            break;
        }
        struct pollfd entry = {pipeEnds[0], POLLIN, 0};
        const int ready = poll(&entry, 1, int(std::min(left, 1000L)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        const ssize_t count = read(pipeEnds[0], buffer, sizeof buffer);
        if (count <= 0)
            break;
        outcome.out.append(buffer, size_t(count));
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

// The program under test: the one built beside this test, or another build of
// it named by UPDATE_PROPERTY_PROGRAM (an older one, to see what the cases catch).
std::string Program()
{
    const char* other = getenv("UPDATE_PROPERTY_PROGRAM");
    return other && *other ? other : UPDATE_BINARY;
}

std::string Substituted(std::string word, const std::string& imagePath)
{
    const size_t at = word.find("@FILE@");
    if (at != std::string::npos)
        word.replace(at, 6, imagePath);
    return word;
}

Outcome RunOnce(const PropertyCase& item, const CaseFolder& scratch, const CpuPlan& cpus)
{
    const std::string imagePath = scratch.Write("image.hex", item.text);
    const std::string scriptPath = scratch.Write("script.txt", ScriptText(item));
    const std::string logPath = scratch.Path("target.log");
    remove(logPath.c_str());

    const bool contended = item.kind == CaseKind::kContention && cpus.usable;
    std::vector<std::string> argv;
    if (contended)
        argv = {TasksetPath(), "-c", cpus.others};
    argv.insert(argv.end(),
                {SIMTARGET_BINARY, "--realtime", "--quiet", "--script", scriptPath, "--log", logPath, "--"});
    if (contended)
        argv.insert(argv.end(), {TasksetPath(), "-c", std::to_string(cpus.shared)});
    argv.push_back(Program());
    for (const std::string& argument : item.arguments)
        argv.push_back(Substituted(argument, imagePath));

    Outcome outcome;
    if (contended) {
        Contention busy(cpus.shared);
        outcome = RunCase(argv, scratch.Path("stderr"));
    } else {
        outcome = RunCase(argv, scratch.Path("stderr"));
    }
    outcome.err = ReadFile(scratch.Path("stderr"));
    outcome.log = ReadFile(logPath);
    return outcome;
}

bool Indeterminate(const Outcome& outcome, std::string* why)
{
    for (const std::string& line : Lines(outcome.log)) {
        if (line.compare(0, 13, "indeterminate") == 0) {
            *why = line;
            return true;
        }
    }
    return false;
}

bool IsAcceptance(const std::string& sendLine)
{
    const std::string ending = " reply 11";
    return sendLine.size() > ending.size() &&
           sendLine.compare(sendLine.size() - ending.size(), ending.size(), ending) == 0;
}

// Every block acknowledged, in order, as the target's log tells it: the sends
// it accepted are the image's blocks in order, and nothing came after the last.
bool AllAcknowledgedInOrder(const PropertyCase& item, const std::vector<std::string>& sends)
{
    std::vector<std::string> accepted;
    for (const std::string& line : sends) {
        if (IsAcceptance(line)) {
            const size_t at = line.find(" size ");
            accepted.push_back(line.substr(at));
        }
    }
    std::vector<std::string> blocks;
    for (size_t i = 0; i < item.blocks.size(); ++i) {
        SendScript accept;
        const std::string line = SendLogLine(0, 1, item.blocks[i].bytes, accept);
        blocks.push_back(line.substr(line.find(" size ")));
    }
    if (accepted != blocks)
        return false;
    return sends.empty() || IsAcceptance(sends.back());
}

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Takes the lines that explain a failed transfer out of standard error.
std::string TakeTransferExplanation(std::string* err)
{
    std::string explanation;
    std::string rest;
    for (const std::string& line : Lines(*err)) {
        const bool explains = line.compare(0, 14, "update: block ") == 0 || line.compare(0, 21, "update: likely cause:") == 0;
        (explains ? explanation : rest) += line + "\n";
    }
    *err = rest;
    return explanation;
}

// A failed transfer is explained, naming the block and the send that the
// target's log shows last; nothing else is.
std::string ExplanationProblem(const std::string& explanation, const Prediction& prediction)
{
    const bool rejected = EndsWith(prediction.out, "\nCRC error. File damaged.\n");
    const bool silent = EndsWith(prediction.out, "\nFailed: Target is not responding.\n");
    if (!rejected && !silent)
        return explanation.empty() ? "" : "standard error explains a transfer that did not fail";
    if (explanation.empty())
        return "standard error does not explain the failed transfer";
    long block = 0;
    int send = 0;
    if (prediction.sends.empty() || sscanf(prediction.sends.back().c_str(), "block %ld send %d", &block, &send) != 2)
        return "";
    const std::string where = "update: block " + std::to_string(block + 1) + " of ";
    const std::string which = rejected ? " rejected at all 4 sends: " : ", send " + std::to_string(send) + " of 4: ";
    if (explanation.compare(0, where.size(), where) != 0 || explanation.find(which) == std::string::npos)
        return "the explanation names another block or send: " + explanation.substr(0, explanation.find('\n'));
    return "";
}

// Standard error says nothing, or, when text follows the image, names in one
// line where the image stopped (line, column) and how many characters were
// ignored, in that order.
bool StopReported(const std::string& err, const Prediction& prediction)
{
    if (prediction.stop.line == 0)
        return err.empty();
    if (err.empty() || err.find('\n') != err.size() - 1)
        return false;
    const long wanted[] = {prediction.stop.line, prediction.stop.column, prediction.stop.ignored};
    size_t next = 0;
    for (size_t at = 0; at < err.size() && next < 3;) {
        if (!isdigit(static_cast<unsigned char>(err[at]))) {
            ++at;
            continue;
        }
        const size_t end = err.find_first_not_of("0123456789", at);
        if (err.substr(at, end - at) == std::to_string(wanted[next]))
            ++next;
        at = end;
    }
    return next == 3;
}

std::string Rerun(const char* program, const PropertyCase& item)
{
    char text[256];
    snprintf(text, sizeof text, "%s --case 0x%016" PRIx64 " --kind %s", program, item.seed, KindName(item.kind));
    return text;
}

// Checks one finished run; prints what is wrong. True when all holds.
bool Judge(const PropertyCase& item, const Outcome& outcome, const std::string& imagePath, const char* program,
           bool verbose)
{
    std::string port;
    std::vector<std::string> sends;
    for (const std::string& line : Lines(outcome.log)) {
        if (line.compare(0, 5, "port ") == 0)
            port = line.substr(5);
        else if (line.compare(0, 6, "block ") == 0)
            sends.push_back(line);
    }
    const Prediction prediction = Predict(item, imagePath, port);
    std::vector<std::string> problems;
    if (outcome.hung)
        problems.push_back("the run did not end within " + std::to_string(kCaseLimitSeconds) + " s");
    if (port.empty())
        problems.push_back("the target wrote no log");
    const bool inOrder = AllAcknowledgedInOrder(item, sends);
    if (prediction.refused && !sends.empty())
        problems.push_back("the target received sends of an image that was to be refused");
    if (!prediction.refused && (outcome.status == 0) != inOrder)
        problems.push_back(std::string("exit status ") + std::to_string(outcome.status) + " but the target " +
                           (inOrder ? "acknowledged" : "did not acknowledge") + " every block in order");
    if (outcome.status != prediction.status)
        problems.push_back("exit status " + std::to_string(outcome.status) + ", predicted " +
                           std::to_string(prediction.status));
    if (sends != prediction.sends)
        problems.push_back("the target received other sends than predicted");
    std::string err = outcome.err;
    const std::string explanationProblem = ExplanationProblem(TakeTransferExplanation(&err), prediction);
    if (!explanationProblem.empty())
        problems.push_back(explanationProblem);
    if (!StopReported(err, prediction) && prediction.stop.line == 0)
        problems.push_back("standard error is not empty");
    else if (!StopReported(err, prediction))
        problems.push_back("standard error does not name line " + std::to_string(prediction.stop.line) + ", column " +
                           std::to_string(prediction.stop.column) + " and " + std::to_string(prediction.stop.ignored) +
                           " ignored characters");
    if (outcome.out != prediction.out) {
        size_t at = 0;
        while (at < outcome.out.size() && at < prediction.out.size() && outcome.out[at] == prediction.out[at])
            ++at;
        problems.push_back("standard output differs from byte " + std::to_string(at));
    }
    if (problems.empty() && !verbose)
        return true;

    printf("%s case %s\n", problems.empty() ? "PASSED" : "FAILED", Describe(item).c_str());
    for (const std::string& problem : problems)
        printf("  - %s\n", problem.c_str());
    printf("  predicted output: %s\n  actual output:    %s\n", Escaped(prediction.out).c_str(),
           Escaped(outcome.out).c_str());
    printf("  predicted sends:\n");
    for (const std::string& line : prediction.sends)
        printf("    %s\n", line.c_str());
    printf("  target log:\n");
    for (const std::string& line : Lines(outcome.log))
        printf("    %s\n", line.c_str());
    if (!outcome.err.empty())
        printf("  standard error: %s\n", Escaped(outcome.err).c_str());
    if (!problems.empty())
        printf("  rerun alone: %s\n", Rerun(program, item).c_str());
    return problems.empty();
}

// Runs one case, again while its target could not keep its timing; counts it.
bool RunAndJudge(const PropertyCase& item, const CpuPlan& cpus, const Options& options, const char* program,
                 Tally* tally)
{
    CaseFolder scratch;
    const Clock::time_point start = Clock::now();
    Outcome outcome;
    std::string why;
    int attempt = 0;
    for (; attempt < kAttempts; ++attempt) {
        outcome = RunOnce(item, scratch, cpus);
        if (!Indeterminate(outcome, &why))
            break;
        if (options.one)
            printf("not judged (%s), running again\n", why.c_str());
    }
    const int kind = int(item.kind);
    tally->seconds[kind] += std::chrono::duration<double>(Clock::now() - start).count();
    ++tally->perKind[kind];
    ++tally->run;
    tally->rerun += std::min(attempt, kAttempts - 1);
    if (attempt == kAttempts) {
        ++tally->notJudged;
        printf("not judged after %d runs (%s): %s\n", kAttempts, why.c_str(), Rerun(program, item).c_str());
        return true;
    }
    const bool ok = Judge(item, outcome, scratch.Path("image.hex"), program, options.one);
    if (!ok) {
        ++tally->failed;
        if (options.keep)
            printf("  files kept in %s\n", scratch.Keep().c_str());
    }
    fflush(stdout);
    return ok;
}

bool ParseKind(const std::string& text, CaseKind* kind)
{
    for (CaseKind each : {CaseKind::kPlain, CaseKind::kContention, CaseKind::kSilence}) {
        if (text == KindName(each)) {
            *kind = each;
            return true;
        }
    }
    return false;
}

bool ParseOptions(int argc, char** argv, Options* options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--keep") {
            options->keep = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        if (option == "--cases")
            options->plain = atoi(value);
        else if (option == "--contention")
            options->contention = atoi(value);
        else if (option == "--silent")
            options->silent = atoi(value);
        else if (option == "--max-seconds")
            options->maxSeconds = atof(value);
        else if (option == "--seed" || option == "--case") {
            options->seed = strtoull(value, nullptr, 0);
            options->seedGiven = true;
            options->one = option == "--case";
        } else if (option == "--kind") {
            if (!ParseKind(value, &options->kind))
                return false;
        } else {
            return false;
        }
    }
    if (const char* seed = getenv("UPDATE_PROPERTY_SEED")) {
        options->seed = strtoull(seed, nullptr, 0);
        options->seedGiven = true;
    }
    if (const char* cases = getenv("UPDATE_SOAK_CASES"))
        options->soakCases = strtoull(cases, nullptr, 0);
    if (const char* seconds = getenv("UPDATE_SOAK_SECONDS"))
        options->soakSeconds = atof(seconds);
    return true;
}

// The kind of the soak's case at this index: one in a hundred waits out a
// silent target (about a quarter of the time), one in three runs under contention.
CaseKind SoakKind(uint64_t index)
{
    if (index % 100 == 99)
        return CaseKind::kSilence;
    return index % 3 == 2 ? CaseKind::kContention : CaseKind::kPlain;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr,
                "usage: %s [--cases N] [--contention N] [--silent N] [--seed S] [--max-seconds T] [--keep]\n"
                "       %s --case SEED [--kind plain|contention|silence]\n",
                argv[0], argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const CpuPlan cpus = PlanCpus();
    Tally tally;
    const Clock::time_point start = Clock::now();

    if (options.one) {
        const bool ok = RunAndJudge(MakeCase(options.seed, options.kind), cpus, options, argv[0], &tally);
        return ok ? 0 : 1;
    }
    if (!options.seedGiven)
        options.seed = uint64_t(std::chrono::system_clock::now().time_since_epoch().count()) ^ uint64_t(getpid());
    printf("base seed 0x%016" PRIx64 " (UPDATE_PROPERTY_SEED=0x%016" PRIx64 " repeats this run)\n", options.seed,
           options.seed);
    if (!cpus.usable)
        printf("note: no taskset or CPU list; contention cases run without pinning\n");
    else
        printf("contention: the program and %d busy loops on CPU %d, the target on CPU %s\n", kBusyLoops, cpus.shared,
               cpus.others.c_str());

    const bool soak = options.soakCases > 0 || options.soakSeconds > 0;
    const uint64_t plain = uint64_t(std::max(options.plain, 0));
    const uint64_t contention = uint64_t(std::max(options.contention, 0));
    uint64_t total = plain + contention + uint64_t(std::max(options.silent, 0));
    if (soak)
        total = options.soakCases > 0 ? options.soakCases : UINT64_MAX;
    const double limit = options.soakSeconds > 0 ? options.soakSeconds : options.maxSeconds;
    for (uint64_t index = 0; index < total; ++index) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (limit > 0 && elapsed >= limit) {
            if (!soak)
                printf("note: time limit of %.0f s reached after %" PRIu64 " of %" PRIu64 " cases\n", limit, index,
                       total);
            break;
        }
        const CaseKind kind = soak                 ? SoakKind(index)
                              : index < plain      ? CaseKind::kPlain
                              : index < plain + contention ? CaseKind::kContention
                                                           : CaseKind::kSilence;
        RunAndJudge(MakeCase(MixSeed(options.seed, index), kind), cpus, options, argv[0], &tally);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    printf("cases: %d plain (%.1f s), %d contention (%.1f s), %d silence (%.1f s); %d run again for the "
           "target's timing, %d not judged; %.1f s in all\n",
           tally.perKind[0], tally.seconds[0], tally.perKind[1], tally.seconds[1], tally.perKind[2], tally.seconds[2],
           tally.rerun, tally.notJudged, wall);
    printf("%d passed, %d failed\n", tally.run - tally.failed - tally.notJudged, tally.failed);
    return tally.failed == 0 ? 0 : 1;
}
