// POSIX backend of the open command's editor wait: which way a document
// reaches its editor (the user's terminal editor, the desktop's opener, or
// none), the launch, the wait for the opener, and whether another process
// still has the file open.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/desktopdialog.h"
#include "platform/posix/spawn.h"
#include "platform/utf8.h"

namespace plat {

// Outside the range of errno values; systemErrorMessage knows its text.
const uint32_t kNoAssociationError = 1155;

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// VISUAL, else EDITOR; empty when neither names anything.
std::string terminalEditor() {
    std::string editor = environment("VISUAL");
    if (editor.find_first_not_of(" \t") == std::string::npos) editor = environment("EDITOR");
    if (editor.find_first_not_of(" \t") == std::string::npos) return std::string();
    return editor;
}

bool onTerminal() { return ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO); }

bool graphicalSession() {
    return !environment("DISPLAY").empty() || !environment("WAYLAND_DISPLAY").empty();
}

// An editor setting may carry arguments ("emacs -nw"): words separated by
// blanks or tabs, as sudoedit reads it. No shell is involved.
std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> result;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t start = text.find_first_not_of(" \t", i);
        if (start == std::string::npos) break;
        std::size_t end = text.find_first_of(" \t", start);
        if (end == std::string::npos) end = text.size();
        result.push_back(text.substr(start, end - start));
        i = end;
    }
    return result;
}

std::string firstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    std::size_t end = line.find_last_not_of(" \t\r");
    return end == std::string::npos ? std::string() : line.substr(0, end + 1);
}

// False only when the desktop's database positively has no application
// for the file's type; when it cannot be asked, the opener decides.
bool typeHasApplication(const std::string& path) {
    if (!posix::programExists("xdg-mime")) return true;
    posix::SpawnOptions quiet;
    quiet.nullStdin = true;
    quiet.nullStderr = true;
    std::string output;
    if (posix::runChild({"xdg-mime", "query", "filetype", path}, quiet, &output) != 0) return true;
    std::string type = firstLine(output);
    if (type.empty()) return true;
    if (posix::runChild({"xdg-mime", "query", "default", type}, quiet, &output) < 0) return true;
    return !firstLine(output).empty();
}

// How the last terminal editor ended, for terminalEditorFailure.
std::wstring editorFailure;

void noteHowItEnded(int status) {
    editorFailure.clear();
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        editorFailure = L"it exited with status " + std::to_wstring(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        const char* name = ::strsignal(WTERMSIG(status));
        editorFailure = L"it was ended by signal " + std::to_wstring(WTERMSIG(status)) +
                        (name ? L" (" + utf8::toWide(name) + L")" : std::wstring());
    }
}

int runTerminalEditor(const std::string& path) {
    std::vector<std::string> argv = words(terminalEditor());
    argv.push_back(path);
    posix::SpawnOptions options;
    options.defaultSignals = true;
    // An interrupt at the terminal is the editor's business: this process
    // must live on to encrypt the edits again (as git and sudoedit do).
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldInterrupt = {}, oldQuit = {};
    ::sigaction(SIGINT, &ignore, &oldInterrupt);
    ::sigaction(SIGQUIT, &ignore, &oldQuit);
    posix::Child child;
    bool started = posix::startChild(argv, options, &child);
    int saved = errno;
    editorFailure.clear();
    if (started) {
        int status = 0;
        while (::waitpid(child.pid, &status, 0) != child.pid) {
            if (errno != EINTR) {
                status = 0;
                break;
            }
        }
        noteHowItEnded(status);
    }
    ::sigaction(SIGINT, &oldInterrupt, nullptr);
    ::sigaction(SIGQUIT, &oldQuit, nullptr);
    errno = saved;
    return started ? 0 : 1;
}

int runDesktopOpener(const std::string& path, ProcessHandle* process) {
    if (!posix::programExists("xdg-open") || !typeHasApplication(path)) {
        errno = static_cast<int>(kNoAssociationError);
        return 1;
    }
    posix::SpawnOptions options;
    options.nullStdin = true;
    options.nullStdout = true;
    options.nullStderr = true;
    posix::Child child;
    if (!posix::startChild({"xdg-open", path}, options, &child)) return 1;
    *process = reinterpret_cast<ProcessHandle>(static_cast<intptr_t>(child.pid));
    return 0;
}

bool allDigits(const char* text) {
    if (*text == '\0') return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9') return false;
    return true;
}

// True when the process's descriptors include the file (device and inode).
bool processHolds(const std::string& pid, const struct stat& target) {
    std::string folder = "/proc/" + pid + "/fd";
    DIR* descriptors = ::opendir(folder.c_str());
    if (!descriptors) return false;   // gone, or another user's
    bool holds = false;
    while (dirent* entry = ::readdir(descriptors)) {
        if (entry->d_name[0] == '.') continue;
        struct stat st;
        if (::stat((folder + "/" + entry->d_name).c_str(), &st) == 0 && st.st_dev == target.st_dev &&
            st.st_ino == target.st_ino) {
            holds = true;
            break;
        }
    }
    ::closedir(descriptors);
    return holds;
}

}  // namespace

EditorRoute editorRoute() {
    if (onTerminal() && !terminalEditor().empty()) return EditorRoute::Terminal;
    if (graphicalSession()) return EditorRoute::Desktop;
    return EditorRoute::None;
}

int launchEditor(const std::wstring& path, EditorRoute route, ProcessHandle* process) {
    *process = nullptr;
    const std::string file = utf8::fromWide(path);
    switch (route) {
        case EditorRoute::Terminal: return runTerminalEditor(file);
        case EditorRoute::Desktop: return runDesktopOpener(file, process);
        case EditorRoute::None: break;
    }
    errno = static_cast<int>(kNoAssociationError);
    return 1;
}

std::wstring terminalEditorFailure() { return editorFailure; }

void waitForProcess(ProcessHandle process) {
    if (process == nullptr) return;
    posix::waitChild(static_cast<pid_t>(reinterpret_cast<intptr_t>(process)));   // its code is not used
}

FileHold fileHold(const std::wstring& path) {
    struct stat target;
    if (::stat(utf8::fromWide(path).c_str(), &target) != 0) return FileHold::Unknown;
    DIR* processes = ::opendir("/proc");
    if (!processes) return FileHold::Free;   // nothing can be seen: nothing to wait for
    const std::string self = std::to_string(::getpid());
    bool held = false;
    while (dirent* entry = ::readdir(processes)) {
        if (!allDigits(entry->d_name) || self == entry->d_name) continue;
        if (processHolds(entry->d_name, target)) {
            held = true;
            break;
        }
    }
    ::closedir(processes);
    return held ? FileHold::Held : FileHold::Free;
}

void ownerOnlyFiles(bool on) {
    static mode_t saved = 0;
    static bool active = false;
    if (on && !active) {
        saved = ::umask(077);
        active = true;
    } else if (!on && active) {
        ::umask(saved);
        active = false;
    }
}

// A question is asked on the terminal, or is a desktop dialog, which needs
// a display it can reach: an X11 display that cannot be opened (the one the
// windows are watched on) leaves only a Wayland session.
bool canAskQuestions() {
    if (::isatty(STDIN_FILENO)) return true;
    if (posix::dialogTool() == posix::DialogTool::None) return false;
    return canWatchWindows() || !environment("WAYLAND_DISPLAY").empty();
}

}  // namespace plat
