// Runs a command with SIGINT and SIGQUIT at their default disposition. The
// guest's shell starts background jobs with both ignored, and an ignored
// signal stays ignored across exec: without this, an interrupt test would
// test nothing.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cerrno>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: default-signals COMMAND [ARGUMENT...]\n");
        return 2;
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    execvp(argv[1], argv + 1);
    fprintf(stderr, "default-signals: cannot run %s: %s\n", argv[1], strerror(errno));
    return 127;
}
