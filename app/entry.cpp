#include "app/entry.h"

#include <cwctype>
#include <string>

#include "app/commands.h"
#include "app/usage.h"
#include "codec/pending.h"
#include "diag/error.h"
#include "diag/log.h"
#include "diag/manufacture.h"
#include "diag/testpause.h"
#include "digest/debugenable.h"
#include "digest/digestpath.h"
#include "drive/layout.h"
#include "drive/util.h"
#include "platform/platform.h"
#include "ui/progress.h"
#include "walk/dirtree.h"

namespace {

const wchar_t* const kUnexpectedStart = L"The application was started in an unexpected way";
const wchar_t* const kSingleFiles = L"Drag and drop single files onto the icon";
const wchar_t* const kBusy = L"This file is already being processed";
// Exit code of a command line that is not understood, as for any program.
constexpr int kBadUsage = 2;

// Longest mutex name the system accepts, in characters.
constexpr std::size_t kMutexNameMax = kPathSize - 1;

std::wstring hashHex(const std::wstring& text) {
    uint64_t hash = 1469598103934665603ull;   // FNV-1a
    for (wchar_t c : text) {
        hash ^= static_cast<uint32_t>(c);
        hash *= 1099511628211ull;
    }
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring hex(16, L'0');
    for (int i = 15; i >= 0; --i, hash >>= 4) hex[i] = digits[hash & 15];
    return hex;
}

void showTooLong() {
    plat::messageBox(plat::BoxKind::Warning, caption,
                     formatText(L"The path is too long: at most %u characters are accepted",
                                static_cast<unsigned>(kPathSize - 1)));
}

int runCommand(const std::wstring& path) {
    // A digest path forced through VELKIN_DIGEST_PATH that this processor
    // cannot run fails the commands that digest before they touch a file.
    const bool digests = commandLetter == L'd' || commandLetter == L'e' || commandLetter == L'o';
    if (digests && checkDigestPath() != 0) return 1;

    switch (commandLetter) {
    case L'd': return decryptCommand(path.c_str());
    case L'e': return encryptCommand(path.c_str());
    case L's': return statusCommand();
    case L'o': {
        plat::FileInfo info;
        if (plat::fileInfo(path, &info) && info.isDirectory) return convertFolderToWorkspace(path.c_str());
        return openCommand(path.c_str());
    }
    default:
        reportError(L"the command '%lc' is unknown", commandLetter);
        return 1;
    }
}

bool isCommandLetter(wchar_t c) {
    return c == L'd' || c == L'e' || c == L'o' || c == L's';
}

bool isBlank(wchar_t c) { return c != L'\0' && std::iswspace(c); }

// The word at p: up to the next blank.
std::wstring wordAt(const wchar_t* p) {
    const wchar_t* end = p;
    while (*end != L'\0' && !isBlank(*end)) ++end;
    return std::wstring(p, end);
}

// True when p starts with the word "--", which ends the options.
bool endsOptions(const wchar_t* p) {
    return p[0] == L'-' && p[1] == L'-' && (p[2] == L'\0' || isBlank(p[2]));
}

const wchar_t* skipBlanks(const wchar_t* p) {
    while (isBlank(*p)) ++p;
    return p;
}

// Help or version when the whole command line asks for nothing else.
bool helpOrVersion(const std::wstring& whole, TailResult* result) {
    if (whole == L"--help" || whole == L"-h") *result = TailResult::Help;
    else if (whole == L"--version") *result = TailResult::Version;
    else return false;
    return true;
}

TailResult badOption(const std::wstring& option, std::wstring* out) {
    if (out) *out = option;
    return TailResult::BadOption;
}

}  // namespace

TailResult parseCommandTail(const wchar_t* tail, wchar_t* letter, std::wstring* path,
                            std::wstring* unknownOption) {
    std::wstring whole = tail;
    while (!whole.empty() && std::iswspace(whole.back())) whole.pop_back();
    TailResult asked;
    if (helpOrVersion(whole, &asked)) return asked;

    const wchar_t* p = skipBlanks(tail);
    bool optionsEnded = false;
    if (endsOptions(p)) {
        p = skipBlanks(p + 2);
        optionsEnded = true;
    } else if (p[0] == L'-') {
        if (!isCommandLetter(p[1])) return badOption(wordAt(p), unknownOption);
        *letter = p[1];
        p += 2;
        // A path right after the letter (-dC:\a.txt) is the path, whatever it begins with.
        optionsEnded = *p != L'\0' && !isBlank(*p);
        p = skipBlanks(p);
        if (!optionsEnded && endsOptions(p)) {
            p = skipBlanks(p + 2);
            optionsEnded = true;
        }
    }
    // A word that begins with '-' where the path should be is an option; a
    // path of that kind follows "--".
    if (!optionsEnded && p[0] == L'-') return badOption(wordAt(p), unknownOption);

    std::wstring result;
    if (*p == L'"') {
        const wchar_t* start = p + 1;
        const wchar_t* close = start;
        while (*close != L'\0' && *close != L'"') ++close;
        if (*close == L'\0') return TailResult::Unexpected;
        if (close[1] != L'\0') return TailResult::NotSingle;
        result.assign(start, close);
    } else {
        result = p;
        if (result.find(L' ') != std::wstring::npos) return TailResult::NotSingle;
    }
    if (result.size() >= kPathSize) return TailResult::TooLong;
    *path = result;
    return TailResult::Ok;
}

// Kept as they are in the mutex name: ASCII letters and digits, and every
// character beyond ASCII. The rule is the same whatever the locale: a wide
// character classification would, in the C locale, turn the ü of Müller and
// the ä of Mäller alike into '/', and the two paths would share one guard.
bool keptInMutexName(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ||
           static_cast<uint32_t>(c) >= 0x80;
}

std::wstring mutexNameFor(const std::wstring& path) {
    std::wstring sanitized = path;
    for (wchar_t& c : sanitized) {
        if (!keptInMutexName(c)) c = L'/';
    }
    std::wstring name = L"Global\\velkin-" + sanitized;
    // The system limits object names; a long one keeps its start and ends in
    // a hash of the whole copy, so different paths still get different names.
    if (name.size() > kMutexNameMax) name = name.substr(0, kMutexNameMax - 17) + L"#" + hashHex(sanitized);
    return name;
}

std::wstring guardNameFor(const std::wstring& path) {
    // One file, however its path is spelt (two separators, a link to its
    // folder, another letter case): the guard is keyed on what the path
    // names. Only a path that names nothing is keyed on its text.
    plat::FileId id;
    std::wstring asked = path;
    while (asked.size() > 1 && (asked.back() == plat::kSep || asked.back() == L'/') &&
           !(asked.size() == 3 && asked[1] == L':'))
        asked.pop_back();
    if (!path.empty() && plat::nameIdentity(asked, &id)) return fileGuardName(id);
    return mutexNameFor(path);
}

TailResult parseArguments(const std::vector<std::wstring>& arguments, wchar_t* letter,
                          std::wstring* path, std::wstring* unknownOption) {
    TailResult asked;
    if (arguments.size() == 1 && helpOrVersion(arguments[0], &asked)) return asked;

    std::vector<std::wstring> paths;
    std::size_t i = 0;
    bool optionsEnded = false;
    if (!arguments.empty() && arguments[0].size() > 0 && arguments[0][0] == L'-' && arguments[0] != L"--") {
        const std::wstring& option = arguments[0];
        if (option.size() < 2 || !isCommandLetter(option[1])) return badOption(option, unknownOption);
        *letter = option[1];
        // The path may follow the letter directly: -d/a.txt.
        if (option.size() > 2) {
            paths.push_back(option.substr(2));
            optionsEnded = true;
        }
        i = 1;
    }
    for (; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (!optionsEnded && argument == L"--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && !argument.empty() && argument[0] == L'-')
            return badOption(argument, unknownOption);
        paths.push_back(argument);
    }
    if (paths.size() > 1) return TailResult::NotSingle;
    std::wstring result = paths.empty() ? std::wstring() : paths[0];
    if (result.size() >= kPathSize) return TailResult::TooLong;
    *path = result;
    return TailResult::Ok;
}

namespace {

// A command line that is not understood: what is wrong and the usage, exit
// code 2 as for any program's bad usage.
int refuseCommandLine(const std::wstring& problem) {
    plat::showCommandLineError(caption, commandLineErrorText(problem, UsageLayout::Terminal),
                               commandLineErrorText(problem, UsageLayout::Box));
    return kBadUsage;
}

// The commands that use the key (all but Decrypt and Encrypt started
// without a file, which only say how they are used) need the key drive the
// program runs from.
bool needsKeyDrive(const std::wstring& path) {
    return commandLetter == L'o' || commandLetter == L's' || !path.empty();
}

// The program's folder, the current folder by now, holds the key drive's
// SETTINGS. Outside a key drive (an installed program, a build folder) the
// key store's own message would name a missing file instead of the reason.
int checkOnKeyDrive() {
    if (plat::fileInfo(kSettingsFolder, nullptr)) return 0;
    reportError(L"'%ls' is not a key drive: the program works with the key (%ls) of the drive it runs "
                L"from. Run the copy on your key drive instead (Encrypt, Decrypt, Open or Status in "
                L"its top folder), or make a key drive with velkin-keydrive make",
                programFolder, kKeyFileName);
    return 1;
}

// The run from start-up to exit code; parse reads the command line.
template <typename Parse>
int runParsed(Parse parse) {
    setDebugEnableCheck(manufacturerCheck);
    progressStart();
    if (initProgramPaths() != 0) {
        plat::messageBox(plat::BoxKind::Warning, L"Velkin", lastErrorText);
        return 1;
    }

    std::wstring path;
    std::wstring unknownOption;
    switch (parse(&commandLetter, &path, &unknownOption)) {
    case TailResult::Ok:
        break;
    case TailResult::Help:
        plat::showCommandLineText(caption, usageText(UsageLayout::Terminal), usageText(UsageLayout::Box));
        return 0;
    case TailResult::Version:
        plat::showCommandLineText(caption, versionLine(L"Velkin"));
        return 0;
    case TailResult::BadOption:
        return refuseCommandLine(unknownOption);
    case TailResult::Unexpected:
        plat::messageBox(plat::BoxKind::Information, caption, kUnexpectedStart);
        return 0;
    case TailResult::NotSingle:
        plat::messageBox(plat::BoxKind::Warning, caption, kSingleFiles);
        return 1;
    case TailResult::TooLong:
        showTooLong();
        return 1;
    }
    // A copy whose name chooses no command (velkin itself) needs an option.
    if (!isCommandLetter(commandLetter)) return refuseCommandLine(std::wstring());

    plat::setCurrentDir(programFolder);
    if (!plat::resolveCallerPath(&path)) {
        plat::messageBox(plat::BoxKind::Warning, caption,
                         formatText(L"The relative path '%ls' cannot be used: the folder it was given "
                                    L"in no longer exists. Give the full path instead.",
                                    path.c_str()));
        return 1;
    }
    if (path.size() >= kPathSize) {
        showTooLong();
        return 1;
    }

    std::wstring noGuard;
    switch (plat::createNamedMutex(guardNameFor(path), &noGuard)) {
    case 0:
        break;
    case 1:
        plat::messageBox(plat::BoxKind::Warning, caption, kBusy);
        return 1;
    default:
        plat::messageBox(plat::BoxKind::Warning, caption, formatText(L"Error: %ls", noGuard.c_str()));
        return 1;
    }

    logMessage(L"  ***** Velkin *****, command is '%lc', file is '%ls'", commandLetter, path.c_str());
    testPause(L"guarded");

    int result = 1;
    if (!needsKeyDrive(path) || checkOnKeyDrive() == 0) {
        // What a stopped run left unfinished is finished first.
        recoverPending();
        result = runCommand(path);
        closePending();
    }
    if (result == 0) {
        plat::shellNotifyAll();
        return 0;
    }
    plat::messageBox(plat::BoxKind::Warning, caption, formatText(L"Error: %ls", lastErrorText));
    return 1;
}

}  // namespace

int runProgram(const wchar_t* commandTail) {
    return runParsed([commandTail](wchar_t* letter, std::wstring* path, std::wstring* unknownOption) {
        return parseCommandTail(commandTail, letter, path, unknownOption);
    });
}

int runProgramWithArguments(const std::vector<std::wstring>& arguments) {
    return runParsed([&arguments](wchar_t* letter, std::wstring* path, std::wstring* unknownOption) {
        return parseArguments(arguments, letter, path, unknownOption);
    });
}
