// Starting child programs on POSIX: the one place where the backend forks.
// Used for the sibling programs, the desktop's tools (dialogs, the opener)
// and editors. No shell is involved: every argument reaches the child as it
// is.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace plat {
namespace posix {

struct SpawnOptions {
    bool pipeStdin = false;    // the caller writes the child's input to Child::stdinFd
    bool pipeStdout = false;   // the caller reads the child's output from Child::stdoutFd
    bool nullStdin = false;    // otherwise the child shares this process's input
    bool nullStdout = false;
    bool nullStderr = false;
    bool stderrToStdout = false;   // with pipeStdout: the child's errors come with its output
    // SIGINT and SIGQUIT take their default action in the child even while
    // this process ignores them (an editor in the foreground of a terminal).
    bool defaultSignals = false;
    // "NAME=VALUE" entries added to (or replacing in) this process's environment.
    std::vector<std::string> environment;
};

struct Child {
    pid_t pid = -1;
    int stdinFd = -1;    // with pipeStdin; the caller closes it
    int stdoutFd = -1;   // with pipeStdout; the caller closes it
};

// Starts argv[0] (searched on PATH when it holds no '/'). False when it
// could not be started (errno set); no descriptor is left open then.
bool startChild(const std::vector<std::string>& argv, const SpawnOptions& options, Child* child);

// Waits for the child: its exit code, 128 + the signal's number when a
// signal ended it, -1 when it cannot be waited for.
int waitChild(pid_t pid);

// Starts, collects the standard output into *output when it is given, and
// waits. The exit code as above, or -1 when the program could not be
// started.
int runChild(const std::vector<std::string>& argv, const SpawnOptions& options,
             std::string* output = nullptr);

// True when the program can be found: a path to an executable file, or a
// bare name found on PATH.
bool programExists(const std::string& program);

}  // namespace posix
}  // namespace plat
