// velkin-keydrive: makes, checks and describes key drives.
//
//   velkin-keydrive make FOLDER --size SIZE [--program PATH]
//   velkin-keydrive check FOLDER [FOLDER...]
//   velkin-keydrive status FOLDER
//   velkin-keydrive split SOURCE TARGET [--share FRACTION]
//   velkin-keydrive backup SOURCE TARGET

#include <cwchar>
#include <string>
#include <vector>

#include "diag/manufacture.h"
#include "digest/debugenable.h"
#include "drive/util.h"
#include "platform/platform.h"
#include "platform/utf8.h"
#include "tools/keydrive/backup.h"
#include "tools/keydrive/console.h"
#include "tools/keydrive/drive.h"
#include "tools/keydrive/partners.h"
#include "tools/keydrive/split.h"
#include "tools/keydrive/text.h"

namespace {

const wchar_t* const kUsage =
    L"usage:\n"
    L"  velkin-keydrive make FOLDER --size SIZE [--program PATH]\n"
    L"      lays out a key drive in FOLDER with a key of SIZE bytes (a multiple\n"
    L"      of 1024; K, M and G multiply by 1024, 1024^2 and 1024^3) and copies\n"
    L"      the program (by default the velkin program beside this tool) as\n"
    L"      Decrypt, Encrypt, Open and Status (on Linux each with a .desktop\n"
    L"      launcher that file managers accept dropped files on; for Windows the\n"
    L"      Decrypt.exe ... Status.exe beside it, with their own icons), and the\n"
    L"      Secure Workspace programs bkgui and bkfm found beside it into SETTINGS\n"
    L"  velkin-keydrive check FOLDER [FOLDER...]\n"
    L"      verifies the key drive in FOLDER, its key file against the digest\n"
    L"      made with it included; exit code 0 when it is sound. Given\n"
    L"      several drives, it also warns when two hold the same key with\n"
    L"      overlapping ranges of the pad\n"
    L"  velkin-keydrive status FOLDER\n"
    L"      shows the key number, the key usage and the drive's range of the pad\n"
    L"  velkin-keydrive split SOURCE TARGET [--share FRACTION]\n"
    L"      makes TARGET a partner drive of SOURCE: the same key, with the upper\n"
    L"      FRACTION (default 1/2; also 0.25 or 25%) of SOURCE's unused pad as a\n"
    L"      range of its own; SOURCE keeps the rest\n"
    L"  velkin-keydrive backup SOURCE TARGET\n"
    L"      makes TARGET a backup drive of SOURCE: the same key, with no range of\n"
    L"      its own. It decrypts every file made with the key and never\n"
    L"      encrypts; keep it safe, for the day SOURCE is lost or fails\n"
    L"  velkin-keydrive -h | --help | --version\n"
    L"      shows this text or the version\n";

// Reports on standard output; errors, notes and the usage after a wrong
// command line on standard error.
void say(const std::wstring& text) {
    plat::writeStdout(text);
}

void complain(const std::wstring& text) {
    plat::writeStderr(text);
}

int usageError() {
    complain(kUsage);
    return 2;
}

// The velkin program in the tool's own folder.
std::wstring programBesideTool() {
    std::wstring self = plat::modulePath();
    size_t cut = self.find_last_of(L"/\\");
    std::wstring folder = cut == std::wstring::npos ? std::wstring() : self.substr(0, cut + 1);
#ifdef _WIN32
    return folder + L"velkin.exe";
#else
    return folder + L"velkin";
#endif
}

int make(const std::vector<std::wstring>& args) {
    keydrive::MakeOptions options;
    bool haveSize = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == L"--size" && i + 1 < args.size()) {
            if (!keydrive::parseSize(args[++i], &options.sizeBytes)) {
                complain(L"velkin-keydrive: '" + args[i] + L"' is not a size\n");
                return 2;
            }
            haveSize = true;
        } else if (args[i] == L"--program" && i + 1 < args.size()) {
            options.programPath = args[++i];
        } else if (options.folder.empty() && !args[i].empty() && args[i][0] != L'-') {
            options.folder = args[i];
        } else {
            return usageError();
        }
    }
    if (options.folder.empty() || !haveSize) {
        return usageError();
    }
    if (options.programPath.empty()) options.programPath = programBesideTool();
    for (const keydrive::SiblingCopy& sibling : keydrive::workspaceSiblings(options.programPath)) {
        if (!plat::fileInfo(sibling.source, nullptr))
            complain(L"note: '" + sibling.source + L"' is missing, so the drive cannot make or open Secure "
                L"Workspaces\n");
    }
    options.showProgress = true;
    // Tests stop the make dead after a given step, as a kill would.
    std::wstring stop;
    if (plat::getEnv(L"VKLIB_TEST_MAKE_STOP", &stop)) options.stopAfterStep = std::wcstol(stop.c_str(), nullptr, 10);
    uint32_t started = plat::tickCount();
    std::wstring error;
    keydrive::MakeResult made;
    if (keydrive::makeDrive(options, &error, &made) != 0) {
        complain(L"velkin-keydrive: " + error + L"\n");
        return 1;
    }
    if (made.replacedLeftovers)
        say(L"Replaced the key files that an unfinished make or split had left in '" + options.folder + L"'.\n");
    uint32_t ms = plat::tickCount() - started;
    say(L"Made a key drive in '" + options.folder + L"' with a key of " +
        std::to_wstring(options.sizeBytes) + L" bytes in " + std::to_wstring(ms / 1000) + L"." +
        std::to_wstring(ms % 1000 / 100) + L" s.\n");
    std::wstring report;
    int result = keydrive::driveStatus(options.folder, &report);
    say(report);
    return result;
}

// ---------------------------------------------------------------- partner drives

int check(const std::vector<std::wstring>& args) {
    std::vector<std::wstring> folders(args.begin() + 1, args.end());
    int result = 0;
    for (const std::wstring& folder : folders) {
        std::wstring report;
        if (keydrive::checkDrive(folder, &report, true) != 0) result = 1;
        say(report);
    }
    if (folders.size() > 1) {
        std::wstring report;
        if (keydrive::comparePartners(folders, &report) != 0) result = 1;
        say(L"Comparing the drives:\n" + report);
    }
    return result;
}

int split(const std::vector<std::wstring>& args) {
    keydrive::SplitOptions options;
    std::vector<std::wstring> folders;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == L"--share" && i + 1 < args.size()) {
            if (!keydrive::parseShare(args[++i], &options.share)) {
                complain(L"velkin-keydrive: '" + args[i] + L"' is not a fraction between 0 and 1\n");
                return 2;
            }
        } else if (!args[i].empty() && args[i][0] != L'-') {
            folders.push_back(args[i]);
        } else {
            return usageError();
        }
    }
    if (folders.size() != 2) {
        return usageError();
    }
    options.source = folders[0];
    options.target = folders[1];
    options.showProgress = true;
    keydrive::takeTestStop(&options);
    keydrive::SplitResult result;
    std::wstring error;
    if (keydrive::splitDrive(options, &result, &error) != 0) {
        complain(L"velkin-keydrive: " + error + L"\n");
        return 1;
    }
    const keydrive::UsageRecord& kept = result.source;
    const keydrive::UsageRecord& given = result.target;
    if (result.finishedCutShort)
        say(L"Finished the split onto '" + options.target + L"' that was cut short: it gets the range that "
            L"'" + options.source + L"' had already given up.\n");
    else if (result.replacedLeftovers)
        say(L"Replaced the key files that an unfinished split or make had left in '" + options.target + L"'.\n");
    if (!result.digestNote.empty()) complain(result.digestNote + L"\n");
    say(L"Split '" + options.source + L"' into two partner drives with one key:\n  '" + options.source +
        L"' keeps key blocks " + std::to_wstring(kept.firstBlock) + L" to " + std::to_wstring(kept.lastBlock) +
        L", " + keydrive::blocksText(keydrive::blocksLeft(kept, result.keyBlocks)) + L" of them unused\n  '" +
        options.target + L"' has key blocks " + std::to_wstring(given.firstBlock) + L" to " +
        std::to_wstring(given.lastBlock) + L", " +
        keydrive::blocksText(keydrive::blocksLeft(given, result.keyBlocks)) + L"\n" +
        L"Each drive encrypts only with its own range and decrypts the other's files. Never copy\n"
        L"either drive by hand: the copy would encrypt with the same key blocks as its original.\n");
    int status = 0;
    for (const std::wstring& folder : folders) {
        std::wstring report;
        if (keydrive::driveStatus(folder, &report) != 0) status = 1;
        say(L"\n'" + folder + L"':\n" + report);
    }
    return status;
}

int run(const std::vector<std::wstring>& args) {
    setDebugEnableCheck(manufacturerCheck);
    if (args.empty()) {
        return usageError();
    }
    // --help and --version: on standard output, and a success.
    if (args.size() == 1 && (args[0] == L"--help" || args[0] == L"-h" || args[0] == L"--version")) {
        say(args[0] == L"--version" ? versionLine(L"velkin-keydrive") : std::wstring(kUsage));
        return 0;
    }
    if (args[0] == L"make") return make(args);
    if (args[0] == L"check" && args.size() >= 2) return check(args);
    if (args[0] == L"status" && args.size() == 2) {
        std::wstring report;
        int result = keydrive::driveStatus(args[1], &report);
        say(report);
        return result;
    }
    if (args[0] == L"split") return split(args);
    if (args[0] == L"backup") {
        if (args.size() != 3 || args[1].empty() || args[1][0] == L'-' || args[2].empty() || args[2][0] == L'-')
            return usageError();
        std::wstring report, notes;
        const int result = keydrive::makeBackup(args[1], args[2], &report, &notes);
        complain(notes);
        say(report);
        return result;
    }
    return usageError();
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    int result = run(args);
    keydrive::holdOwnConsoleWindow();
    return result;
}
#else
int main(int argc, char** argv) {
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.push_back(utf8::pathToWide(argv[i]));
    return run(args);
}
#endif
