// POSIX backend of the progress window: one line on standard error when it
// is a terminal, else on the desktop zenity's progress dialog; either is
// shown and hidden with the same delays as the Windows dialog.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/desktopdialog.h"
#include "platform/posix/startup.h"
#include "platform/utf8.h"

namespace plat {

namespace {

using Clock = std::chrono::steady_clock;

struct ProgressLine {
    std::mutex lock;
    std::condition_variable wake;
    bool ready = false;
    bool visible = false;
    enum class Pending { None, Show, Hide } pending = Pending::None;
    Clock::time_point due;
    std::wstring title = L" ";
    std::wstring phase;
    std::wstring estimate;
    int bar = 0;
    // On the desktop: the dialog, while it is up, and whether the user
    // closed it during the current phase (it comes back with the next one).
    bool onDesktop = false;
    posix::ProgressDialog dialog;
    bool dismissed = false;
};

// Never destroyed: the timer thread waits on it until the process ends.
ProgressLine& line = *new ProgressLine;

// Called with the lock held.
void draw() {
    if (!line.visible) return;
    std::wstring phase = line.phase;
    for (wchar_t& c : phase) {
        if (c == L'\n' || c == L'\r') c = L' ';
    }
    constexpr int kWidth = 20;
    int filled = line.bar * kWidth / 1000;
    std::string barText(filled, '#');
    barText.append(kWidth - filled, '.');
    std::string text = utf8::fromWide(line.title) + ": " + utf8::fromWide(phase) + " [" + barText + "] " +
                       std::to_string(line.bar / 10) + "% " + utf8::fromWide(line.estimate);
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
}

void clear() {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
}

// Called with the lock held: the dialog follows the state. zenity's title is
// fixed when it starts, so a new title starts a new dialog.
void updateDialog() {
    if (!line.visible) {
        if (line.dialog.pid > 0) posix::closeProgressDialog(&line.dialog);
        return;
    }
    std::string title = utf8::fromWide(line.title);
    if (line.dialog.pid > 0 && line.dialog.title != title) posix::closeProgressDialog(&line.dialog);
    if (line.dialog.pid <= 0) {
        if (line.dismissed) return;
        if (!posix::openProgressDialog(&line.dialog, title)) {
            line.dismissed = true;
            return;
        }
    }
    if (!posix::showInProgressDialog(&line.dialog, line.phase, line.estimate, line.bar)) {
        posix::closeProgressDialog(&line.dialog);
        line.dismissed = true;
    }
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
        if (line.wake.wait_until(guard, line.due) == std::cv_status::timeout || Clock::now() >= line.due) {
            if (Clock::now() < line.due) continue;
            if (line.pending == ProgressLine::Pending::Show) {
                line.visible = true;
                line.dismissed = false;
                refresh();
            } else if (line.pending == ProgressLine::Pending::Hide) {
                if (line.visible && !line.onDesktop) clear();
                line.visible = false;
                if (line.onDesktop) updateDialog();
            }
            line.pending = ProgressLine::Pending::None;
        }
    }
}

void request(ProgressLine::Pending what, int delayMs) {
    std::lock_guard<std::mutex> guard(line.lock);
    line.pending = what;
    line.due = Clock::now() + std::chrono::milliseconds(delayMs);
    line.wake.notify_all();
}

}  // namespace

void clearProgressLine() {
    std::lock_guard<std::mutex> guard(line.lock);
    if (line.visible && !line.onDesktop) clear();
    line.visible = false;
    if (line.onDesktop) updateDialog();
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
