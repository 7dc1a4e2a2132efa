// POSIX backend of the progress window: one line on standard error when it
// is a terminal, else on the desktop zenity's progress dialog; either is
// shown and hidden with the same delays as the Windows dialog. On the
// desktop one dialog serves a command's phases: zenity cannot hide its
// window and show it again, and a new dialog for each phase would come up
// as a new window each time. The dialog is titled with the program's name,
// and stays after a phase for a while; the next phase shows in it. It goes
// when no phase follows within that while, when a box is shown and when the
// program ends.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/desktopdialog.h"
#include "platform/posix/progressline.h"
#include "platform/posix/startup.h"
#include "platform/utf8.h"

namespace plat {

namespace {

using Clock = std::chrono::steady_clock;

// How long the desktop's dialog stays after a phase for the next one.
constexpr int kDialogLingerMs = 2000;

struct ProgressLine {
    std::mutex lock;
    std::condition_variable wake;
    bool ready = false;
    bool visible = false;
    enum class Pending { None, Show, Hide, Close } pending = Pending::None;
    Clock::time_point due;
    std::wstring title = L" ";
    std::wstring phase;
    std::wstring estimate;
    int bar = 0;
    // On the desktop: the dialog, while it is up, its title, and whether
    // the user closed it (it then stays away for the rest of the run).
    bool onDesktop = false;
    std::string dialogTitle;
    posix::ProgressDialog dialog;
    bool dismissed = false;
};

// Never destroyed: the timer thread waits on it until the process ends.
ProgressLine& line = *new ProgressLine;

int charColumns(char32_t c) {
    if (c == 0) return 0;
    // Combining marks and zero-width characters.
    if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
        (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F) || (c >= 0x200B && c <= 0x200F) ||
        c == 0xFEFF)
        return 0;
    // Wide East Asian characters and emoji.
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
        (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
        (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
        (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
        (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD))
        return 2;
    return 1;
}

// The terminal's width in columns: asked each time, so that a resized
// window is followed.
int terminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    const char* columns = std::getenv("COLUMNS");
    int fromEnvironment = columns ? std::atoi(columns) : 0;
    return fromEnvironment > 0 ? fromEnvironment : 80;
}

// Called with the lock held.
void draw() {
    if (!line.visible) return;
    std::wstring phase = line.phase;
    for (wchar_t& c : phase) {
        if (c == L'\n' || c == L'\r') c = L' ';
    }
    constexpr int kWidth = 20;
    int filled = line.bar * kWidth / 1000;
    std::wstring barText(filled, L'#');
    barText.append(kWidth - filled, L'.');
    std::wstring tail = L" [" + barText + L"] " + std::to_wstring(line.bar / 10) + L"% ";
    std::string text = utf8::fromWide(
        posix::fitProgressLine(line.title + L": ", phase, tail, line.estimate, terminalColumns()));
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
}

void clear() {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
}

// Called with the lock held: the dialog shows the state. It opens when a
// phase is shown and, once open, follows every change until it is closed.
void updateDialog() {
    if (line.dialog.pid <= 0) {
        if (!line.visible || line.dismissed) return;
        if (!posix::openProgressDialog(&line.dialog, line.dialogTitle)) {
            line.dismissed = true;
            return;
        }
    }
    if (!posix::showInProgressDialog(&line.dialog, line.phase, line.estimate, line.bar)) {
        posix::closeProgressDialog(&line.dialog);
        line.dismissed = true;
    }
}

void closeDialog() {
    if (line.dialog.pid > 0) posix::closeProgressDialog(&line.dialog);
}

// Called with the lock held after a change of text, title or bar.
void refresh() {
    if (line.onDesktop) updateDialog();
    else draw();
}

void timerThread() {
    std::unique_lock<std::mutex> guard(line.lock);
    for (;;) {
        if (line.pending == ProgressLine::Pending::None) {
            line.wake.wait(guard);
            continue;
        }
        line.wake.wait_until(guard, line.due);
        if (line.pending == ProgressLine::Pending::None || Clock::now() < line.due) continue;
        ProgressLine::Pending due = line.pending;
        line.pending = ProgressLine::Pending::None;
        if (due == ProgressLine::Pending::Show) {
            line.visible = true;
            refresh();
        } else if (due == ProgressLine::Pending::Hide) {
            if (line.visible && !line.onDesktop) clear();
            line.visible = false;
            if (line.onDesktop && line.dialog.pid > 0) {
                line.pending = ProgressLine::Pending::Close;
                line.due = Clock::now() + std::chrono::milliseconds(kDialogLingerMs);
            }
        } else if (due == ProgressLine::Pending::Close && !line.visible) {
            closeDialog();
        }
    }
}

void request(ProgressLine::Pending what, int delayMs) {
    std::lock_guard<std::mutex> guard(line.lock);
    line.pending = what;
    line.due = Clock::now() + std::chrono::milliseconds(delayMs);
    line.wake.notify_all();
}

// The program's name as its boxes show it: its file name without extension.
std::string programName() {
    std::string path = utf8::fromWide(modulePath());
    std::string name = path.substr(path.rfind('/') + 1);
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name.empty() ? std::string("Velkin") : name;
}

}  // namespace

namespace posix {

int displayColumns(const std::wstring& text) {
    int columns = 0;
    for (wchar_t c : text) columns += charColumns(static_cast<char32_t>(c));
    return columns;
}

std::wstring fitProgressLine(const std::wstring& head, const std::wstring& phase, const std::wstring& tail,
                             const std::wstring& estimate, int columns) {
    // The phase shortened keeps at least this many columns of its end.
    constexpr int kLeastOfPhase = 8;
    const int room = columns - 1;
    std::wstring whole = head + phase + tail + estimate;
    if (displayColumns(whole) <= room) return whole;
    for (const std::wstring& last : {estimate, std::wstring()}) {
        // The phase keeps its end, the file's name, after an ellipsis.
        int forPhase = room - displayColumns(head) - displayColumns(tail) - displayColumns(last) - 1;
        if (forPhase < kLeastOfPhase) continue;
        if (displayColumns(phase) <= forPhase + 1) return head + phase + tail + last;
        std::wstring end;
        int used = 0;
        for (std::size_t i = phase.size(); i-- > 0;) {
            int w = charColumns(static_cast<char32_t>(phase[i]));
            if (used + w > forPhase) break;
            end.insert(end.begin(), phase[i]);
            used += w;
        }
        return head + L"\u2026" + end + tail + last;
    }
    whole = head + phase + tail;
    std::wstring cut;
    int used = 0;
    for (wchar_t c : whole) {
        int w = charColumns(static_cast<char32_t>(c));
        if (used + w > room) break;
        cut += c;
        used += w;
    }
    return cut;
}

}  // namespace posix

void clearProgressLine() {
    std::lock_guard<std::mutex> guard(line.lock);
    if (line.visible && !line.onDesktop) clear();
    line.visible = false;
    closeDialog();
    line.pending = ProgressLine::Pending::None;
}

bool progressWindowStart() {
    // The progress dialog needs zenity; with kdialog alone only the boxes
    // are dialogs.
    bool onDesktop = !::isatty(STDERR_FILENO) && posix::dialogTool() == posix::DialogTool::Zenity;
    if (!::isatty(STDERR_FILENO) && !onDesktop) return false;
    // A line or dialog still up when the program ends is taken away.
    std::atexit(clearProgressLine);
    std::thread(timerThread).detach();
    std::lock_guard<std::mutex> guard(line.lock);
    line.onDesktop = onDesktop;
    line.dialogTitle = programName();
    line.ready = true;
    return true;
}

bool progressWindowReady() {
    std::lock_guard<std::mutex> guard(line.lock);
    return line.ready;
}

void progressWindowSetText(int controlId, const std::wstring& text) {
    std::lock_guard<std::mutex> guard(line.lock);
    (controlId == 1001 ? line.phase : line.estimate) = text;
    refresh();
}

void progressWindowSetTitle(const std::wstring& title) {
    std::lock_guard<std::mutex> guard(line.lock);
    line.title = title;
    refresh();
}

void progressWindowSetBar(int position) {
    std::lock_guard<std::mutex> guard(line.lock);
    line.bar = position;
    refresh();
}

void progressWindowRequestShow() { request(ProgressLine::Pending::Show, 100); }
void progressWindowRequestHide() { request(ProgressLine::Pending::Hide, 200); }

}  // namespace plat
