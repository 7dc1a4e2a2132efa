// Dialogs on the Linux desktop through zenity or kdialog.
#include "platform/posix/desktopdialog.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/posix/spawn.h"
#include "platform/utf8.h"

namespace plat {
namespace posix {

namespace {

bool nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// zenity exits with 0 for OK or Yes and 1 for No or a closed window; other
// codes mean the tool failed (no display, a broken installation). kdialog
// exits with 0 for its first button, 1 for its second and 2 for Escape or a
// closed window; its question puts No on the first button (see boxCommand).
DialogAnswer answerFromExitCode(DialogTool tool, BoxKind kind, int code) {
    if (tool == DialogTool::Kdialog) {
        if (code < 0 || code > 2) return DialogAnswer::NotShown;
        if (kind == BoxKind::Question) return code == 1 ? DialogAnswer::Yes : DialogAnswer::No;
        return code == 0 ? DialogAnswer::Yes : DialogAnswer::No;
    }
    if (code == 0) return DialogAnswer::Yes;
    if (code == 1) return DialogAnswer::No;
    return DialogAnswer::NotShown;
}

// A text line must fit into one atomic write to the dialog's pipe.
constexpr std::size_t kLineLimit = 4000;

// The UTF-8 of text with the escapes that the dialog undoes, cut (between
// characters) to at most `limit` bytes.
std::string escapedForDialog(const std::wstring& text, std::size_t limit) {
    std::string out;
    for (wchar_t c : text) {
        std::string piece;
        if (c == L'\\') piece = "\\\\";
        else if (c == L'\n') piece = "\\n";
        else if (c == L'\r') piece = "\\r";
        else piece = utf8::fromWide(std::wstring(1, c));
        if (out.size() + piece.size() > limit) break;
        out += piece;
    }
    return out;
}

void sleepMilliseconds(long ms) {
    struct timespec pause = {0, ms * 1000000L};
    ::nanosleep(&pause, nullptr);
}

}  // namespace

bool desktopSession() {
    if (::isatty(STDERR_FILENO)) return false;
    return nonEmptyEnv("DISPLAY") || nonEmptyEnv("WAYLAND_DISPLAY");
}

DialogTool dialogTool() {
    if (!desktopSession()) return DialogTool::None;
    if (programExists("zenity")) return DialogTool::Zenity;
    if (programExists("kdialog")) return DialogTool::Kdialog;
    return DialogTool::None;
}

std::vector<std::string> boxCommand(DialogTool tool, BoxKind kind, const std::string& caption,
                                    const std::string& text) {
    if (tool == DialogTool::Kdialog) {
        // kdialog's Yes/No box makes its first button, "Yes", the default.
        // For No as the default the first button is labelled No and the
        // second Yes, so the box reads No, Yes as zenity's does.
        const char* option = kind == BoxKind::Information ? "--msgbox"
                             : kind == BoxKind::Warning   ? "--sorry"
                                                          : "--yesno";
        std::vector<std::string> command{"kdialog", "--title", caption, option, text};
        if (kind == BoxKind::Question) {
            for (const char* label : {"--yes-label", "No", "--no-label", "Yes"}) command.push_back(label);
        }
        return command;
    }
    const char* option = kind == BoxKind::Information ? "--info"
                         : kind == BoxKind::Warning   ? "--warning"
                                                      : "--question";
    std::vector<std::string> command{"zenity", option, "--title=" + caption, "--text=" + text,
                                     "--no-markup"};
    if (kind == BoxKind::Question) {
        // The program's questions carry the information icon, as on Windows.
        for (const char* extra : {"--icon-name=dialog-information", "--default-cancel", "--ok-label=_Yes",
                                  "--cancel-label=_No"})
            command.push_back(extra);
    }
    return command;
}

DialogAnswer desktopMessageBox(BoxKind kind, const std::wstring& caption, const std::wstring& text) {
    DialogTool tool = dialogTool();
    if (tool == DialogTool::None) return DialogAnswer::NotShown;
    SpawnOptions options;
    options.nullStdin = true;
    // The toolkit's own chatter is read, not shown: zenity that cannot
    // reach its display ends with the code of a No and says so there.
    options.pipeStdout = true;
    options.stderrToStdout = true;
    Child child;
    if (!startChild(boxCommand(tool, kind, utf8::fromWide(caption), utf8::fromWide(text)), options, &child))
        return DialogAnswer::NotShown;
    // Read until the tool has ended; a helper it left running may hold the
    // pipe open, so the end of the tool, not of the pipe, ends the reading.
    std::string said;
    int status = 0;
    bool ended = false;
    for (;;) {
        struct pollfd ready = {child.stdoutFd, POLLIN, 0};
        if (::poll(&ready, 1, ended ? 0 : 100) > 0 && (ready.revents & (POLLIN | POLLHUP))) {
            char buffer[4096];
            ssize_t n = ::read(child.stdoutFd, buffer, sizeof buffer);
            if (n > 0) {
                if (said.size() < 65536) said.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (!ended) ended = ::waitpid(child.pid, &status, 0) == child.pid;
            break;
        }
        if (ended) break;
        pid_t got = ::waitpid(child.pid, &status, WNOHANG);
        ended = got == child.pid || (got < 0 && errno != EINTR);
    }
    ::close(child.stdoutFd);
    if (said.find("cannot open display") != std::string::npos) return DialogAnswer::NotShown;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return answerFromExitCode(tool, kind, code);
}

// ------------------------------------------------------------ progress dialog

std::vector<std::string> progressCommand(const std::string& title) {
    return {"zenity", "--progress", "--title=" + title, "--text=", "--percentage=0",
            "--no-cancel", "--auto-close", "--width=400"};
}

std::string progressTextLine(const std::wstring& phase, const std::wstring& estimate) {
    // The estimate is a line of its own below the phase text; a blank keeps
    // its place while there is none, so that the dialog does not change size.
    std::string below = "\\n" + escapedForDialog(estimate.empty() ? L" " : estimate, kLineLimit / 2);
    return "#" + escapedForDialog(phase, kLineLimit - below.size()) + below + "\n";
}

std::string progressBarLine(int position) {
    if (position < 0) position = 0;
    double percent = position >= 999 ? 99.9 : position / 10.0;
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%.1f\n", percent);
    return buffer;
}

bool openProgressDialog(ProgressDialog* dialog, const std::string& title) {
    SpawnOptions options;
    options.pipeStdin = true;
    options.nullStdout = true;
    options.nullStderr = true;
    Child child;
    if (!startChild(progressCommand(title), options, &child)) return false;
    int flags = ::fcntl(child.stdinFd, F_GETFL);
    if (flags >= 0) ::fcntl(child.stdinFd, F_SETFL, flags | O_NONBLOCK);
    *dialog = ProgressDialog();
    dialog->pid = child.pid;
    dialog->input = child.stdinFd;
    dialog->title = title;
    return true;
}

namespace {

// Writes one line (shorter than the pipe's atomic size) in one write. False
// when the dialog has gone; *written false when the pipe was full just now.
bool writeLine(ProgressDialog* dialog, const std::string& line, bool* written) {
    *written = false;
    if (dialog->input < 0) return false;
    // A dialog the user closed makes the write fail with EPIPE; the signal
    // that comes with it is held back in this thread and taken off again,
    // so that it never ends the program.
    sigset_t pipeSignal, saved, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigpending(&pending);
    bool wasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &saved);
    ssize_t n;
    do {
        n = ::write(dialog->input, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    bool gone = n < 0 && errno != EAGAIN;
    if (gone && errno == EPIPE && !wasPending) {
        struct timespec noWait = {0, 0};
        sigtimedwait(&pipeSignal, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    *written = n == static_cast<ssize_t>(line.size());
    return !gone;
}

}  // namespace

bool showInProgressDialog(ProgressDialog* dialog, const std::wstring& phase,
                          const std::wstring& estimate, int bar) {
    const std::string lines[2] = {progressTextLine(phase, estimate), progressBarLine(bar)};
    std::string* shown[2] = {&dialog->shownText, &dialog->shownBar};
    for (int i = 0; i < 2; ++i) {
        if (lines[i] == *shown[i]) continue;
        bool written = false;
        if (!writeLine(dialog, lines[i], &written)) return false;
        if (written) *shown[i] = lines[i];
    }
    return true;
}

void closeProgressDialog(ProgressDialog* dialog) {
    if (dialog->input >= 0) ::close(dialog->input);
    dialog->input = -1;
    if (dialog->pid > 0) {
        // The dialog closes when its input ends. It is collected in the
        // background, so that the work never waits for it, and ended if it
        // is still there after two seconds.
        pid_t pid = dialog->pid;
        std::thread([pid]() {
            for (int i = 0; i < 200; ++i) {
                int status = 0;
                pid_t r = ::waitpid(pid, &status, WNOHANG);
                if (r == pid || (r < 0 && errno != EINTR)) return;
                sleepMilliseconds(10);
            }
            ::kill(pid, SIGKILL);
            waitChild(pid);
        }).detach();
    }
    *dialog = ProgressDialog();
}

}  // namespace posix
}  // namespace plat
