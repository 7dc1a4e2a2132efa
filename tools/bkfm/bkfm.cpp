// bkfm: the file manager of Secure Workspaces. The program starts it on a
// workspace archive, with VKLIB_OPENER naming the program itself, and waits
// until the user closes it:
//
//   bkfm ARCHIVE                      the window, or on Linux the terminal
//   bkfm ARCHIVE list | open NAME | add PATH | extract NAME FOLDER | remove NAME
#include <string>
#include <vector>

#include "tools/bkfm/interactive.h"
#include "tools/bkfm/workspacefile.h"
#include "tools/tar/siblingio.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const wchar_t kName[] = L"bkfm";

const wchar_t kUsage[] =
    L"usage: bkfm ARCHIVE                      work in the workspace: a window (on Linux the\n"
    L"                                         terminal when started from one, or without\n"
    L"                                         GTK 3 or a display)\n"
    L"       bkfm ARCHIVE list                 its files: size, last change, name\n"
    L"       bkfm ARCHIVE open NAME            open a file with the program; changes are\n"
    L"                                         saved back into the workspace\n"
    L"       bkfm ARCHIVE add PATH             encrypt a file or folder (the plaintext is\n"
    L"                                         erased) and move it into the workspace\n"
    L"       bkfm ARCHIVE extract NAME FOLDER  put a file or folder of the workspace into\n"
    L"                                         FOLDER, decrypted\n"
    L"       bkfm ARCHIVE remove NAME          remove a file or folder from the workspace\n"
    L"       bkfm --help | --version\n"
    L"\n"
    L"The members of a workspace are encrypted files. bkfm has the key drive's\n"
    L"program, named by the environment variable VKLIB_OPENER, open, encrypt and\n"
    L"decrypt them; the Open program sets it when it starts bkfm. Every change is\n"
    L"written to a new archive that replaces the old one only when it is complete.\n"
    L"\n"
    L"Exit code: 0 when done (for the window or terminal: when the user closes it),\n"
    L"1 when an action failed (the reason on standard error), 2 for a wrong\n"
    L"command line.\n";

constexpr int kFailed = 1;
constexpr int kWrongCommandLine = 2;

int usageError() {
    sibling::writeErr(kUsage);
    return kWrongCommandLine;
}

int report(int failed, const std::wstring& message) {
    if (failed) {
        sibling::writeErr(std::wstring(kName) + L": " + message + L"\n");
        return kFailed;
    }
    if (!message.empty()) sibling::writeOut(message + L"\n");
    return 0;
}

// What a file manager stopped during an open left is finished first; the
// user learns what became of it.
void recoverFirst() {
    std::wstring recovered;
    bkfm::recoverWorkingFolders(&recovered);
    if (!recovered.empty()) sibling::reportNotice(kName, recovered);
}

int run(const std::vector<std::wstring>& args) {
    if (sibling::answeredHelpOrVersion(args, kName, kUsage)) return 0;
    if (args.empty() || args[0].empty()) return usageError();
    bkfm::prepareProcess();
    const std::wstring archive = bkfm::archivePath(args[0]);
    std::wstring message;

    if (args.size() == 1) {
        std::vector<bkfm::Entry> entries;
        if (bkfm::listMembers(archive, &entries, &message) != 0) {
            sibling::reportFailure(kName, message);
            return kFailed;
        }
        recoverFirst();
        return bkfm::runInteractive(archive);
    }

    const std::wstring& action = args[1];
    const bool known = (action == L"list" && args.size() == 2) ||
                       ((action == L"open" || action == L"add" || action == L"remove") && args.size() == 3) ||
                       (action == L"extract" && args.size() == 4);
    if (!known) return usageError();
    recoverFirst();
    if (action == L"list") {
        std::vector<bkfm::Entry> entries;
        if (bkfm::listMembers(archive, &entries, &message) != 0) return report(1, message);
        std::wstring lines;
        for (const bkfm::Entry& e : entries) lines += bkfm::describeMember(e) + L"\n";
        sibling::writeOut(lines);
        if (!message.empty()) sibling::writeErr(std::wstring(kName) + L": " + message + L"\n");
        return 0;
    }
    if (action == L"add") return report(bkfm::addPath(archive, args[2], &message), message);
    // A member is named as it is, or as the list shows it.
    std::vector<bkfm::Entry> entries;
    if (bkfm::listMembers(archive, &entries, &message) != 0) return report(1, message);
    std::string name;
    if (!bkfm::findTypedMember(entries, args[2], &name)) name = bkfm::memberNameFrom(args[2]);
    if (action == L"open") return report(bkfm::openMember(archive, name, &message), message);
    if (action == L"extract") return report(bkfm::extractMember(archive, name, args[3], &message), message);
    return report(bkfm::removeMember(archive, name, &message), message);
}

}  // namespace

#ifdef _WIN32
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return run(sibling::arguments(0, nullptr));
}
#else
int main(int argc, char** argv) {
    return run(sibling::arguments(argc, argv));
}
#endif
