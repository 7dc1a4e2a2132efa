// bkgui: the archive tool of Secure Workspaces. The program starts it to
// pack a converted folder's contents into the workspace archive:
//
//   bkgui u -ttar ARCHIVE FOLDER\*        (FOLDER/* on Linux)
//
// It exits with 0 only when the new archive is in place, complete, on the
// disk and equal to its sources member by member.
#include <string>
#include <vector>

#include "diag/format.h"
#include "platform/platform.h"
#include "tools/tar/siblingio.h"
#include "tools/tar/tararchive.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const wchar_t kName[] = L"bkgui";

#ifdef _WIN32
const wchar_t kUsage[] =
    L"usage: bkgui u -ttar ARCHIVE FOLDER\\*\n"
#else
const wchar_t kUsage[] =
    L"usage: bkgui u -ttar ARCHIVE FOLDER/*\n"
#endif
    L"       bkgui --help | --version\n"
    L"\n"
    L"Writes everything in FOLDER, its subfolders included, into the tar archive\n"
    L"ARCHIVE (POSIX ustar, with pax headers for long names and large files).\n"
    L"The workspace's marker file comes first, the rest in sorted order. An\n"
    L"existing archive is updated: members of the same name are replaced, new\n"
    L"ones added, the others kept. The new archive is written beside the old\n"
    L"one, read back and compared with its sources, and only then takes the\n"
    L"old one's place.\n"
    L"\n"
    L"Exit code: 0 when the archive is complete, 1 when it could not be made\n"
    L"(the reason on standard error; ARCHIVE is then as it was), 2 for a wrong\n"
    L"command line.\n";

constexpr int kFailed = 1;
constexpr int kWrongCommandLine = 2;

int fail(const std::wstring& text) {
    sibling::reportFailure(kName, text);
    return kFailed;
}

bool isSeparator(wchar_t c) {
#ifdef _WIN32
    return c == L'\\' || c == L'/';
#else
    return c == L'/';
#endif
}

// "FOLDER\*" gives FOLDER; false for any other pattern.
bool folderOfPattern(const std::wstring& pattern, std::wstring* folder) {
    if (pattern == L"*") {
        *folder = L".";
        return true;
    }
    if (pattern.size() < 2 || pattern.back() != L'*' || !isSeparator(pattern[pattern.size() - 2]))
        return false;
    *folder = pattern.substr(0, pattern.size() - 2);
    if (folder->empty()) *folder = std::wstring(1, pattern[0]);   // the root folder
    return true;
}

int run(const std::vector<std::wstring>& args) {
    if (sibling::answeredHelpOrVersion(args, kName, kUsage)) return 0;
    std::wstring folder;
    if (args.size() != 4 || args[0] != L"u" || args[1] != L"-ttar" || args[2].empty() ||
        !folderOfPattern(args[3], &folder)) {
        sibling::writeErr(kUsage);
        return kWrongCommandLine;
    }
    std::wstring archive = args[2];
#ifdef _WIN32
    // Windows stores a name without its trailing periods and blanks; so do
    // this program's own names, so that every step names the same file.
    while (archive.size() > 1 && (archive.back() == L'.' || archive.back() == L' ')) archive.pop_back();
#endif

    plat::FileInfo info;
    // An archive reached through a link is updated where the link leads.
    std::wstring target;
    if (plat::fileInfo(archive, &info) && info.isLink && plat::finalPath(archive, &target)) archive = target;
    if (!plat::fileInfo(folder, &info) || !info.isDirectory)
        return fail(formatWide(L"'%ls' is not a folder that can be read", folder.c_str()));

    std::vector<tar::Planned> added;
    std::vector<std::wstring> skipped;
    std::wstring error;
    if (tar::scanFolder(folder, "", &added, &skipped, &error) != 0) return fail(error);
    for (const std::wstring& path : skipped)
        sibling::writeErr(formatWide(L"bkgui: '%ls' is a link or special file and was left out\n",
                                     tar::escapedText(path).c_str()));
    // An archive inside the folder is not packed into itself.
    for (std::size_t i = 0; i < added.size(); ++i) {
        if (!added[i].sourcePath.empty() && added[i].sourcePath == archive) {
            added.erase(added.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }

    // The update reads and replaces the archive under the workspace's lock,
    // so that no change another program makes meanwhile is lost.
    tar::WorkspaceLock lock;
    if (tar::lockWorkspace(archive, true, &lock, &error) != 0) return fail(error);
    std::vector<tar::Member> old;
    std::vector<tar::Refused> refused;
    int failed = 0;
    if (plat::fileInfo(archive, &info)) {
        FILE* f = info.isDirectory || info.isLink || info.isSpecial ? nullptr : plat::openFile(archive, L"rb");
        if (!f) {
            error = info.isDirectory || info.isLink || info.isSpecial
                        ? formatWide(L"'%ls' exists and is not an archive file", archive.c_str())
                        : formatWide(L"cannot read '%ls': %ls", archive.c_str(),
                                     plat::stdErrorMessage(errno).c_str());
            failed = 1;
        } else {
            failed = tar::readMembers(f, &old, &error, &refused);
            std::fclose(f);
            if (failed)
                error = formatWide(L"'%ls' cannot be updated and is left as it is: %ls", archive.c_str(),
                                   error.c_str());
        }
    }
    if (!failed) {
        std::vector<tar::Planned> plan = tar::mergeMembers(old, added, refused);
        tar::orderMembers(&plan);
        failed = tar::commitArchive(archive, plan, &error);
        if (failed)
            error = formatWide(L"the archive '%ls' was not written: %ls", archive.c_str(), error.c_str());
    }
    tar::unlockWorkspace(&lock);
    if (failed) return fail(error);
    return 0;
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
