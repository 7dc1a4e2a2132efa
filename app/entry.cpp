#include "app/entry.h"

#include <cwctype>
#include <string>

#include "app/commands.h"
#include "app/usage.h"
#include "codec/pending.h"
#include "diag/error.h"
#include "diag/log.h"
#include "diag/manufacture.h"
#include "digest/debugenable.h"
#include "digest/digestpath.h"
#include "drive/util.h"
#include "platform/platform.h"
#include "ui/progress.h"

namespace {

const wchar_t* const kUnexpectedStart = L"The application was started in an unexpected way";
const wchar_t* const kSingleFiles = L"Drag and drop single files onto the icon";
const wchar_t* const kBusy = L"This file is already being processed";

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
    default: return -1;
    }
}

}  // namespace

TailResult parseCommandTail(const wchar_t* tail, wchar_t* letter, std::wstring* path) {
    const wchar_t* p = tail;
    if (p[0] == L'-') {
        // A lone "-" names no command at all.
        if (p[1] == L'\0') return TailResult::Unexpected;
        *letter = p[1];
        p += 2;
        while (*p != L'\0' && std::iswspace(*p)) ++p;
    }
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

TailResult parseArguments(const std::vector<std::wstring>& arguments, wchar_t* letter,
                          std::wstring* path) {
    std::vector<std::wstring> paths = arguments;
    if (!paths.empty() && !paths[0].empty() && paths[0][0] == L'-') {
        // A lone "-" names no command at all.
        if (paths[0].size() == 1) return TailResult::Unexpected;
        *letter = paths[0][1];
        std::wstring attached = paths[0].substr(2);
        paths.erase(paths.begin());
        if (!attached.empty()) paths.insert(paths.begin(), attached);
    }
    if (paths.size() > 1) return TailResult::NotSingle;
    std::wstring result = paths.empty() ? std::wstring() : paths[0];
    if (result.size() >= kPathSize) return TailResult::TooLong;
    *path = result;
    return TailResult::Ok;
}

namespace {

// The run from start-up to exit code. helpText is the text that asks for
// help or the version when it is one of those; parse reads the command line.
template <typename Parse>
int runParsed(const wchar_t* helpText, Parse parse) {
    setDebugEnableCheck(manufacturerCheck);
    progressStart();
    if (initProgramPaths() != 0) {
        plat::messageBox(plat::BoxKind::Warning, L"Velkin", lastErrorText);
        return 1;
    }
    bool help = false;
    if (asksForHelpOrVersion(helpText, &help)) {
        plat::showCommandLineText(caption, help ? usageText() : versionLine(L"Velkin"));
        return 0;
    }
    plat::setCurrentDir(programFolder);

    std::wstring path;
    switch (parse(&commandLetter, &path)) {
    case TailResult::Ok:
        break;
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
    switch (plat::createNamedMutex(mutexNameFor(path), &noGuard)) {
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

    // What a stopped run left unfinished is finished first.
    recoverPending();
    int result = runCommand(path);
    closePending();
    if (result < 0) {
        plat::messageBox(plat::BoxKind::Information, caption, kUnexpectedStart);
        return 0;
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
    return runParsed(commandTail, [commandTail](wchar_t* letter, std::wstring* path) {
        return parseCommandTail(commandTail, letter, path);
    });
}

int runProgramWithArguments(const std::vector<std::wstring>& arguments) {
    const std::wstring single = arguments.size() == 1 ? arguments[0] : std::wstring();
    return runParsed(single.c_str(), [&arguments](wchar_t* letter, std::wstring* path) {
        return parseArguments(arguments, letter, path);
    });
}
