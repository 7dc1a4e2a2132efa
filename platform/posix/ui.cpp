// POSIX backend: message boxes (on the terminal, or desktop dialogs) and the
// shell notification.
#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/desktopdialog.h"
#include "platform/posix/startup.h"
#include "platform/utf8.h"

namespace plat {

namespace {

const char* kindName(BoxKind kind) {
    switch (kind) {
    case BoxKind::Information: return "information";
    case BoxKind::Warning: return "warning";
    case BoxKind::Question: return "question";
    }
    return "";
}

}  // namespace

bool messageBox(BoxKind kind, const std::wstring& caption, const std::wstring& text) {
    clearProgressLine();
    std::string line = "[" + std::string(kindName(kind)) + "] " + utf8::fromWide(caption) + ": " +
                       utf8::fromWide(text);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    // On the desktop the box is a dialog; the line above stays in the
    // session's log.
    posix::DialogAnswer shown = posix::desktopMessageBox(kind, caption, text);
    if (shown != posix::DialogAnswer::NotShown) {
        if (kind != BoxKind::Question) return true;
        std::fprintf(stderr, "(answered %s)\n", shown == posix::DialogAnswer::Yes ? "Yes" : "No");
        std::fflush(stderr);
        return shown == posix::DialogAnswer::Yes;
    }
    if (kind != BoxKind::Question) return true;
    // A question is asked on the terminal; without one the default, No, holds.
    if (!::isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "(no terminal: answered No)\n");
        return false;
    }
    std::fprintf(stderr, "Yes or No? [y/N] ");
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

void shellNotifyAll() {
    // There is no shell to tell on POSIX: file managers watch the folders themselves.
}

}  // namespace plat
