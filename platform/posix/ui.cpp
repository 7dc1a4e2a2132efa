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

namespace {

// Shows the box: a line on standard error, and a dialog on the desktop; a
// question without a dialog is asked on the terminal.
Answer showBox(BoxKind kind, const std::wstring& caption, const std::wstring& text) {
    clearProgressLine();
    std::string line = "[" + std::string(kindName(kind)) + "] " + utf8::fromWide(caption) + ": " +
                       utf8::fromWide(text);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    // On the desktop the box is a dialog; the line above stays in the
    // session's log.
    posix::DialogAnswer shown = posix::desktopMessageBox(kind, caption, text);
    if (shown != posix::DialogAnswer::NotShown) {
        if (kind != BoxKind::Question) return Answer::Yes;
        std::fprintf(stderr, "(answered %s)\n", shown == posix::DialogAnswer::Yes ? "Yes" : "No");
        std::fflush(stderr);
        return shown == posix::DialogAnswer::Yes ? Answer::Yes : Answer::No;
    }
    if (kind != BoxKind::Question) return Answer::Yes;
    if (!::isatty(STDIN_FILENO)) return Answer::NotAsked;
    std::fprintf(stderr, "Yes or No? [y/N] ");
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return Answer::No;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y') ? Answer::Yes : Answer::No;
}

}  // namespace

bool messageBox(BoxKind kind, const std::wstring& caption, const std::wstring& text) {
    Answer answer = showBox(kind, caption, text);
    if (answer == Answer::NotAsked) {
        // Nobody could be asked: the default, No, holds.
        std::fprintf(stderr, "(no terminal: answered No)\n");
        std::fflush(stderr);
    }
    return answer == Answer::Yes;
}

Answer askQuestion(const std::wstring& caption, const std::wstring& text) {
    Answer answer = showBox(BoxKind::Question, caption, text);
    if (answer == Answer::NotAsked) {
        std::fprintf(stderr, "(no terminal and no dialog: not answered)\n");
        std::fflush(stderr);
    }
    return answer;
}

void shellNotifyAll() {
    // There is no shell to tell on POSIX: file managers watch the folders themselves.
}

}  // namespace plat
