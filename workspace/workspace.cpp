// Converting a folder into a Secure Workspace, and opening a workspace
// archive in the file manager.
//
// The conversion encrypts every file of the folder in place (each keeps its
// name), adds the marker file, has the archive tool pack the folder into
// "<folder> (Secure Workspace)" beside it, and removes the folder only once
// the archive is complete and recognised as a workspace of this key.
#include "workspace/workspace.h"

#include <cwctype>
#include <vector>

#include "codec/decrypt.h"
#include "codec/format.h"
#include "diag/error.h"
#include "diag/format.h"
#include "drive/layout.h"
#include "drive/util.h"
#include "key/key.h"
#include "platform/platform.h"
#include "walk/dirtree.h"
#include "walk/foldercheck.h"

namespace {

const wchar_t kMarkerName[] = L"!          !           !";
const wchar_t kArchiveSuffix[] = L" (Secure Workspace)";

bool isSeparator(wchar_t c) {
    return c == plat::kSep || c == L'/';
}

// The path with "." parts dropped and ".." parts undone, taken in the
// current folder when relative; on Windows without regard to letter case.
// Only for comparing two paths.
std::wstring comparablePath(const std::wstring& path) {
    std::wstring full = path;
    const bool absolute =
        plat::kSep == L'/' ? (!full.empty() && full[0] == L'/')
                           : ((full.size() >= 3 && full[1] == L':' && isSeparator(full[2])) ||
                              (full.size() >= 2 && isSeparator(full[0]) && isSeparator(full[1])));
    if (!absolute) {
        std::wstring here = plat::currentDir();
        if (plat::kSep == L'\\' && !full.empty() && isSeparator(full[0]))
            full = here.substr(0, 2) + full;   // the current drive's root
        else
            full = here + plat::kSep + full;
    }
    std::vector<std::wstring> parts;
    std::wstring part;
    for (std::size_t i = 0; i <= full.size(); ++i) {
        if (i == full.size() || isSeparator(full[i])) {
            if (part == L"..") {
                if (!parts.empty()) parts.pop_back();
            } else if (!part.empty() && part != L".") {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += plat::kSep == L'\\' ? static_cast<wchar_t>(std::towlower(full[i])) : full[i];
        }
    }
    std::wstring result;
    for (const std::wstring& p : parts) result += plat::kSep + p;
    return result + plat::kSep;
}

// A folder that holds the program's own folder (the key drive, its key and
// the siblings): converting it would archive and then remove them.
bool holdsProgramFolder(const std::wstring& folder) {
    std::wstring outer = comparablePath(folder);
    std::wstring inner = comparablePath(programFolder);
    return inner.compare(0, outer.size(), outer) == 0;
}

// The folder of a top-level path has no parent to hold the archive.
bool isTopFolder(const std::wstring& folder) {
    return folder.empty() || (plat::kSep == L'\\' && folder.size() == 2 && folder[1] == L':');
}

bool isPlainFile(const std::wstring& path) {
    plat::FileInfo info;
    return plat::fileInfo(path, &info) && !info.isDirectory && !info.isSpecial;
}

// A folder that can never become a workspace: a drive's top folder, which
// has no folder around it to hold the archive, and the key drive's folder
// or one around it, whose removal would take the program and its key.
int refuseFolder(const WorkspaceNames& names) {
    if (isTopFolder(names.folder)) {
        reportError(L"'%ls' is the top folder of a drive and cannot be converted into a Secure Workspace",
                    names.folder.c_str());
        return 1;
    }
    if (holdsProgramFolder(names.folder)) {
        reportError(L"folder '%ls' holds the key drive's program and key and cannot be converted "
                    L"into a Secure Workspace",
                    names.folder.c_str());
        return 1;
    }
    return 0;
}

// Everything else that can be known before a file changes: the siblings
// are there, and the archive's name is free or holds a workspace of this
// key already (which the archive tool then updates).
int checkBeforeConverting(const WorkspaceNames& names) {
    for (const wchar_t* sibling : {L"bkgui", L"bkfm"}) {
        std::wstring path = siblingPath(sibling);
        if (!isPlainFile(path)) {
            reportError(L"the workspace program '%ls' is missing; folder '%ls' was not changed",
                        path.c_str(), names.folder.c_str());
            return 1;
        }
    }
    plat::FileInfo info;
    if (plat::fileInfo(names.archiveOnDisk, &info)) {
        int32_t isEncrypted = 0;
        int32_t isArchive = 0;
        if (info.isDirectory || info.isLink || info.isSpecial ||
            probeFile(names.archiveOnDisk.c_str(), &isEncrypted, &isArchive) != 0 || !isArchive) {
            reportError(L"'%ls' exists already and is not a Secure Workspace of this key; "
                        L"folder '%ls' was not changed",
                        names.archiveOnDisk.c_str(), names.folder.c_str());
            return 1;
        }
    }
    return 0;
}

// The marker file is created when missing; an existing file of that name is
// kept as it is (appending creates, and never empties). True when a file was
// added to the folder.
bool createMarkerFile(const std::wstring& markerPath) {
    if (plat::fileInfo(markerPath, nullptr)) return false;
    FILE* f = plat::openFile(markerPath, L"a");
    if (!f) return false;
    std::fclose(f);
    return true;
}

std::wstring quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

}  // namespace

WorkspaceNames workspaceNames(const std::wstring& folderPath) {
    WorkspaceNames names;
    names.folder = folderPath;
    // "C:\work\" names the folder C:\work; the root "/" or "C:\" stays itself.
    while (names.folder.size() > 1 && isSeparator(names.folder.back()) &&
           !(names.folder.size() == 3 && names.folder[1] == L':'))
        names.folder.pop_back();
    if (names.folder.size() == 1 && isSeparator(names.folder[0])) names.folder.clear();
    if (names.folder.size() == 3 && names.folder[1] == L':') names.folder.pop_back();

    std::size_t cut = names.folder.find_last_of(plat::kSep == L'/' ? L"/" : L"\\/");
    names.displayName = cut == std::wstring::npos ? names.folder : names.folder.substr(cut + 1);
    names.markerPath = names.folder + plat::kSep + kMarkerName;
    names.archiveOnDisk = names.folder + kArchiveSuffix;
    // The name ends in a period, which Windows drops when it stores the
    // file. Elsewhere a period would stay part of the name, so the archive
    // is named as Windows stores it: a workspace made on one build opens on
    // the other under the same name.
    names.archiveName = plat::kSep == L'\\' ? names.archiveOnDisk + L"." : names.archiveOnDisk;
    return names;
}

std::wstring siblingPath(const wchar_t* name) {
    // A program at a drive's root has a folder that ends in its separator.
    std::wstring folder = programFolder;
    if (folder.empty() || !isSeparator(folder.back())) folder += plat::kSep;
    std::wstring path = folder + kSettingsFolder + plat::kSep + name;
    if (plat::kSep == L'\\') path += L".exe";
    return path;
}

int convertFolderToWorkspace(const wchar_t* path) {
    // The key left is what reservations can still take from this drive's
    // own range. Figured from the key file's size and the usage percentage
    // it would count block 0 and, on a partner drive, the partner's share of
    // the pad: key this drive can never hand out.
    // A key store that cannot be opened has no key left; a drive that
    // cannot encrypt (a backup drive, a damaged usage record) says why.
    uint64_t blocksLeft = 0;
    if (openKeyStore() == 0 && keyBlocksLeft(&blocksLeft) != 0) return 1;
    const double keyLeft = double(blocksLeft) * kKeyBlockSize;
    const WorkspaceNames names = workspaceNames(path);
    const wchar_t* display = names.displayName.c_str();

    if (refuseFolder(names) != 0) return 1;

    uint64_t fileCount = 0;
    uint64_t byteTotal = 0;
    if (walkTree(path, nullptr, nullptr, &fileCount, &byteTotal) != 0) return 1;

    const long long bytes = static_cast<long long>(byteTotal);
    const long long files = static_cast<long long>(fileCount);
    if (double(byteTotal) > keyLeft) {
        reportError(L"'%ls' is a folder containing %lld bytes in %lld files.\n\n"
                    L"There are only %lld bytes of key remaining so\nfolder '%ls' cannot be encrypted.\n",
                    display, bytes, files, static_cast<long long>(keyLeft), display);
        return 1;
    }
    if (checkBeforeConverting(names) != 0) return 1;
    // Each file costs key beyond its bytes (its header, digest and tail
    // blocks, and the rounding to whole blocks), and each must be
    // encryptable and erasable: the folder is checked as a whole, the marker
    // file it will get included, before the question, so that a conversion
    // never stops halfway with part of the folder encrypted.
    WalkContext keepNames{-1};
    const uint64_t markerBlocks = plat::fileInfo(names.markerPath, nullptr) ? 0 : codec::reservationFor(0);
    if (checkFolderForEncrypt(path, &keepNames, markerBlocks) != 0) return 1;

    const wchar_t* question = formatText(
        L"'%ls' is a folder containing %lld bytes in %lld files.\n\n"
        L"Do you want to convert '%ls' into a Brannock Secure Workspace?\n\n"
        L"After conversion, folder '%ls' and all its contents will be securely erased.",
        display, bytes, files, display, display);
    if (!plat::messageBox(plat::BoxKind::Question, caption, question)) return 0;

    const uint64_t filesToArchive = fileCount + (createMarkerFile(names.markerPath) ? 1 : 0);

    if (walkTree(path, encryptAction, &keepNames, nullptr, nullptr) != 0) return 1;

    const std::wstring archiveTool = siblingPath(L"bkgui");
    const std::wstring source = names.folder + plat::kSep + L"*";
    if (exportWorkspacePassword() != 0) return 1;
    int result = plat::runChildAndWait(
        archiveTool, {L"u", L"-ttar", plat::childArgument(names.archiveName), plat::childArgument(source)});
    if (result != 0) {
        reportError(L"could not create archive %ls, error %d", quoted(names.archiveName).c_str(), result);
        return 1;
    }

    // The folder goes only when the archive holds it: the archive tool has
    // compared every member with its source, and the archive must now be
    // recognised as a workspace of this key.
    int32_t isEncrypted = 0;
    int32_t isArchive = 0;
    if (probeFile(names.archiveOnDisk.c_str(), &isEncrypted, &isArchive) != 0 || !isArchive) {
        reportError(L"could not create archive %ls: the archive tool ended without error, but the "
                    L"file is not recognised as a Secure Workspace; folder '%ls' was not removed",
                    quoted(names.archiveName).c_str(), names.folder.c_str());
        return 1;
    }

    // A file saved into the folder meanwhile may have come too late for the
    // archive: the folder is removed only while it holds what was counted.
    uint64_t filesNow = 0;
    if (walkTree(path, nullptr, nullptr, &filesNow, nullptr) != 0) return 1;
    if (filesNow != filesToArchive) {
        reportError(L"folder '%ls' changed while it was archived: it holds %llu files instead of %llu. "
                    L"Nothing was removed; the archive %ls may lack the changes",
                    names.folder.c_str(), static_cast<unsigned long long>(filesNow),
                    static_cast<unsigned long long>(filesToArchive), quoted(names.archiveName).c_str());
        return 1;
    }

    if (walkTree(path, removeAction, nullptr, nullptr, nullptr) != 0) return 1;

    if (exportWorkspacePassword() != 0) return 1;
    return openWorkspaceArchive(names.archiveName.c_str()) != 0 ? 1 : 0;
}

int openWorkspaceArchive(const wchar_t* archive) {
    const std::wstring fileManager = siblingPath(L"bkfm");
    plat::putEnv(formatWide(L"%ls=%ls", L"VKLIB_OPENER", programPath));
    const std::wstring name = archive;
    int result = plat::runChildAndWait(fileManager, {plat::childArgument(name)});
    if (result != 0) {
        reportError(L"could not open archive %ls, error %d", quoted(name).c_str(), result);
        return 1;
    }
    return 0;
}
