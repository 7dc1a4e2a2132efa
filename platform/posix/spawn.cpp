// Starting child programs on POSIX with posix_spawn: no shell, arguments
// passed as they are, the environment of this process plus the caller's
// entries.
#include "platform/posix/spawn.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace plat {
namespace posix {

namespace {

std::string nameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// This process's environment with the caller's entries in place.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> merged;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& x : extra) replaced = replaced || nameOf(x) == nameOf(entry);
        if (!replaced) merged.push_back(entry);
    }
    for (const std::string& x : extra) merged.push_back(x);
    return merged;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& t : texts) pointers.push_back(&t[0]);
    pointers.push_back(nullptr);
    return pointers;
}

void closeBoth(int fds[2]) {
    if (fds[0] >= 0) ::close(fds[0]);
    if (fds[1] >= 0) ::close(fds[1]);
    fds[0] = fds[1] = -1;
}

}  // namespace

bool programExists(const std::string& program) {
    auto executable = [](const std::string& path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
    };
    if (program.empty()) return false;
    if (program.find('/') != std::string::npos) return executable(program);
    const char* searchPath = std::getenv("PATH");
    std::string dirs = searchPath ? searchPath : "/usr/bin:/bin";
    std::size_t i = 0;
    while (i <= dirs.size()) {
        std::size_t next = dirs.find(':', i);
        if (next == std::string::npos) next = dirs.size();
        std::string dir = dirs.substr(i, next - i);
        if (executable((dir.empty() ? std::string(".") : dir) + "/" + program)) return true;
        i = next + 1;
    }
    return false;
}

bool startChild(const std::vector<std::string>& argv, const SpawnOptions& options, Child* child) {
    if (argv.empty()) {
        errno = EINVAL;
        return false;
    }
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (options.pipeStdin && ::pipe2(in, O_CLOEXEC) != 0) return false;
    if (options.pipeStdout && ::pipe2(out, O_CLOEXEC) != 0) {
        int saved = errno;
        closeBoth(in);
        errno = saved;
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.pipeStdin) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    else if (options.nullStdin) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (options.pipeStdout) posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    else if (options.nullStdout) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (options.pipeStdout && options.stderrToStdout) posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    else if (options.nullStderr) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (options.defaultSignals) {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGQUIT);
        posix_spawnattr_setsigdefault(&attributes, &signals);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    }

    std::vector<std::string> args = argv;
    std::vector<std::string> env = mergedEnvironment(options.environment);
    std::vector<char*> argp = pointersTo(args);
    std::vector<char*> envp = pointersTo(env);
    pid_t pid = -1;
    int failed = ::posix_spawnp(&pid, args[0].c_str(), &actions, &attributes, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (in[0] >= 0) ::close(in[0]);
    if (out[1] >= 0) ::close(out[1]);
    if (failed != 0) {
        if (in[1] >= 0) ::close(in[1]);
        if (out[0] >= 0) ::close(out[0]);
        errno = failed;
        return false;
    }
    child->pid = pid;
    child->stdinFd = in[1];
    child->stdoutFd = out[0];
    return true;
}

int waitChild(pid_t pid) {
    int status = 0;
    for (;;) {
        if (::waitpid(pid, &status, 0) == pid) break;
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int runChild(const std::vector<std::string>& argv, const SpawnOptions& options, std::string* output) {
    SpawnOptions actual = options;
    actual.pipeStdout = output != nullptr;
    Child child;
    if (!startChild(argv, actual, &child)) return -1;
    if (child.stdinFd >= 0) ::close(child.stdinFd);
    if (output) {
        output->clear();
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(child.stdoutFd, buffer, sizeof buffer);
            if (n > 0) output->append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR) break;
        }
        ::close(child.stdoutFd);
    }
    return waitChild(child.pid);
}

}  // namespace posix
}  // namespace plat

#include "platform/platform.h"
#include "platform/utf8.h"

namespace plat {

std::wstring childArgument(const std::wstring& text) { return text; }

int runChildAndWait(const std::wstring& program, const std::vector<std::wstring>& args) {
    // Arguments are paths as often as not: their bytes are kept.
    std::vector<std::string> argv{utf8::pathFromWide(program)};
    for (const std::wstring& a : args) argv.push_back(utf8::pathFromWide(a));
    return posix::runChild(argv, posix::SpawnOptions{});
}

}  // namespace plat
