// The file manager on the terminal: the members in a numbered list, and one
// command per line. Reads standard input until the user quits or the input
// ends. Started from the desktop, without a terminal, it shows the window
// (gtkwindow.h), or where there can be none, opens a terminal window and
// runs there.
#include <cstdlib>
#include <cwctype>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "diag/format.h"
#include "platform/platform.h"
#include "platform/posix/spawn.h"
#include "platform/utf8.h"
#include "tools/bkfm/gtkwindow.h"
#include "tools/bkfm/interactive.h"
#include "tools/bkfm/workspacefile.h"
#include "tools/tar/siblingio.h"
#include "workspace/tarformat.h"

namespace bkfm {

namespace {

const wchar_t kCommands[] =
    L"  o N           open file N (changes are saved into the workspace)\n"
    L"  a PATH        add a file or folder (it is encrypted, its plaintext erased)\n"
    L"  x N FOLDER    extract N into FOLDER, decrypted\n"
    L"  r N           remove N from the workspace\n"
    L"  l             list again      q  quit\n"
    L"N is the number in the list or the name.\n";

// A line as typed: paths and names keep their bytes.
bool readLine(std::wstring* line) {
    std::string bytes;
    if (!std::getline(std::cin, bytes)) return false;
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    *line = utf8::pathToWide(bytes);
    return true;
}

std::wstring trimmed(const std::wstring& text) {
    std::size_t start = 0, end = text.size();
    while (start < end && std::iswspace(text[start])) ++start;
    while (end > start && std::iswspace(text[end - 1])) --end;
    std::wstring result = text.substr(start, end - start);
    // A path dragged into a terminal arrives in quotes.
    if (result.size() >= 2 && (result[0] == L'\'' || result[0] == L'"') && result.back() == result[0])
        result = result.substr(1, result.size() - 2);
    return result;
}

// Splits off the first word.
std::wstring firstWord(const std::wstring& text, std::wstring* rest) {
    std::wstring t = trimmed(text);
    std::size_t blank = 0;
    while (blank < t.size() && !std::iswspace(t[blank])) ++blank;
    *rest = blank < t.size() ? trimmed(t.substr(blank)) : std::wstring();
    return t.substr(0, blank);
}

// A member named by its number in the list, by its name, or by its name
// as the list shows it.
bool memberFrom(const std::wstring& text, const std::vector<Entry>& entries, std::string* name) {
    if (text.empty()) return false;
    bool number = true;
    for (wchar_t c : text) number = number && c >= L'0' && c <= L'9';
    if (number && text.size() < 9) {
        std::size_t index = std::stoul(text);
        if (index >= 1 && index <= entries.size()) {
            *name = entries[index - 1].member.name;
            return true;
        }
    }
    if (!findTypedMember(entries, text, name)) *name = memberNameFrom(text);
    return true;
}

void show(const std::wstring& archive, const std::vector<Entry>& entries, const std::wstring& note) {
    std::wstring text = formatWide(L"\nSecure Workspace '%ls'\n", tar::escapedText(archive).c_str());
    if (entries.empty()) text += L"  (no files yet: add some with a PATH)\n";
    for (std::size_t i = 0; i < entries.size(); ++i)
        text += formatWide(L"%4u %ls\n", static_cast<unsigned>(i + 1), describeMember(entries[i]).c_str());
    if (!note.empty()) text += L"  (" + note + L")\n";
    sibling::writeOut(text);
}

void say(int failed, const std::wstring& message) {
    if (failed) sibling::writeErr(L"bkfm: " + message + L"\n");
    else sibling::writeOut(message + L"\n");
}

// Set for the file manager that runs in the terminal window it opened.
const char kInTerminalWindow[] = "VKLIB_BKFM_TERMINAL";

bool fromTheDesktop() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return !::isatty(STDIN_FILENO) && !std::getenv(kInTerminalWindow) &&
           ((x11 && *x11) || (wayland && *wayland));
}

// Runs the file manager again in a terminal window (the desktop's chosen
// terminal, else xterm) and waits until the window closes. -1 when there is
// no terminal program.
int runInTerminalWindow(const std::wstring& archive) {
    for (const char* terminal : {"x-terminal-emulator", "xterm"}) {
        if (!plat::posix::programExists(terminal)) continue;
        plat::posix::SpawnOptions options;
        options.environment.push_back(std::string(kInTerminalWindow) + "=1");
        options.nullStdin = true;
        return plat::posix::runChild({terminal, "-e", utf8::pathFromWide(plat::modulePath()), utf8::pathFromWide(archive)},
                                     options);
    }
    return -1;
}

}  // namespace

int runInteractive(const std::wstring& archive) {
    if (fromTheDesktop()) {
        int code = 0;
        if (runWindow(archive, &code)) return code;
        code = runInTerminalWindow(archive);
        if (code == 0) return 0;
        if (code > 0) {
            sibling::writeErr(formatWide(L"bkfm: the terminal window ended with code %d\n", code));
            return 1;
        }
        // Started from the desktop, nobody reads standard error: the user
        // sees a dialog that says what is missing.
        plat::messageBox(plat::BoxKind::Warning, L"bkfm",
                         formatWide(L"The Secure Workspace '%ls' cannot be shown: no terminal program "
                                    L"(x-terminal-emulator or xterm) is installed to show it in.\n\nInstall "
                                    L"one (the package xterm, for example), or work with the file manager's "
                                    L"commands in a terminal (bkfm --help).",
                                    tar::escapedText(archive).c_str()));
        return 1;
    }
    std::vector<Entry> entries;
    bool listAgain = true;
    for (;;) {
        std::wstring message;
        if (listAgain) {
            std::wstring recovered;
            recoverWorkingFolders(&recovered);
            if (!recovered.empty()) say(1, recovered);
            if (listMembers(archive, &entries, &message) != 0) say(1, message);
            else show(archive, entries, message);
            sibling::writeOut(L"Commands: o N (open), a PATH (add), x N FOLDER (extract), r N (remove), "
                              L"l (list), q (quit), ? (help)\n");
        }
        listAgain = true;
        sibling::writeOut(L"> ");
        std::wstring line;
        if (!readLine(&line)) {
            sibling::writeOut(L"\n");
            return 0;
        }
        std::wstring rest;
        const std::wstring command = firstWord(line, &rest);
        std::string name;
        if (command == L"q" || command == L"quit" || command == L"exit") return 0;
        if (command.empty() || command == L"l" || command == L"list") continue;
        if (command == L"?" || command == L"h" || command == L"help") {
            sibling::writeOut(kCommands);
            listAgain = false;
        } else if ((command == L"o" || command == L"open") && memberFrom(rest, entries, &name)) {
            say(openMember(archive, name, &message), message);
        } else if ((command == L"a" || command == L"add") && !rest.empty()) {
            say(addPath(archive, rest, &message), message);
        } else if (command == L"x" || command == L"extract") {
            std::wstring folder;
            std::wstring which = firstWord(rest, &folder);
            if (memberFrom(which, entries, &name) && !folder.empty())
                say(extractMember(archive, name, folder, &message), message);
            else
                say(1, L"extract needs a file and a folder: x N FOLDER");
        } else if ((command == L"r" || command == L"remove") && memberFrom(rest, entries, &name)) {
            sibling::writeOut(formatWide(L"Remove '%ls' from the workspace? [y/N] ", shownName(name).c_str()));
            std::wstring answer;
            if (readLine(&answer) && !trimmed(answer).empty() &&
                (trimmed(answer)[0] == L'y' || trimmed(answer)[0] == L'Y'))
                say(removeMember(archive, name, &message), message);
            else
                say(0, L"nothing removed");
        } else {
            say(1, L"unknown command '" + tar::escapedText(trimmed(line)) + L"'; ? lists the commands");
            listAgain = false;
        }
    }
}

}  // namespace bkfm
