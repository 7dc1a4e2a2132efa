// Converting a folder into a Secure Workspace, and opening a workspace
// archive in the file manager.
//
// The conversion encrypts every file of the folder in place (each keeps its
// name), adds the marker file, has the archive tool pack the folder into
// "<folder> (Secure Workspace)" beside it, and, once the archive is complete
// and every member in it is an encrypted file of this key, removes the
// files that were archived, each only while it is still the very file that
// was archived. Whatever changed or appeared meanwhile stays and is named;
// the folder goes only when it is then empty.
#include "workspace/workspace.h"

#include <cwctype>
#include <set>
#include <vector>

#include "codec/decrypt.h"
#include "codec/expunge.h"
#include "codec/format.h"
#include "diag/error.h"
#include "diag/format.h"
#include "diag/log.h"
#include "drive/layout.h"
#include "drive/util.h"
#include "key/key.h"
#include "platform/platform.h"
#include "walk/dirtree.h"
#include "walk/foldercheck.h"
#include "workspace/folderscan.h"
#include "workspace/memberheader.h"
#include "workspace/tarformat.h"

namespace {

std::wstring quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

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
// are there, and the archive's name is free. An existing workspace of that
// name is not merged into: its members of the same names would be replaced
// without the user being asked.
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
        if (info.isDirectory || info.isSpecial ||
            probeFile(names.archiveOnDisk.c_str(), &isEncrypted, &isArchive) != 0 || !isArchive) {
            reportError(L"'%ls' exists already and is not a Secure Workspace of this key; "
                        L"folder '%ls' was not changed",
                        names.archiveOnDisk.c_str(), names.folder.c_str());
            return 1;
        }
        reportError(L"the Secure Workspace '%ls' exists already; folder '%ls' was not changed. Give the "
                    L"folder another name, or add its files to the workspace with the workspace's file manager",
                    names.archiveOnDisk.c_str(), names.folder.c_str());
        return 1;
    }
    return 0;
}

// The archive's largest size: every file encrypted with the longest tail,
// each member's headers (a pax header and a ustar header) and padding, the
// marker file and the end of the archive.
uint64_t largestArchive(const FolderScan& scan) {
    const uint64_t perMember = 3 * tar::kBlockSize + (tar::kBlockSize - 1);
    uint64_t size = 2 * tar::kBlockSize + codec::largestEncryptedSize(0) + perMember;
    for (const ScannedFile& f : scan.files) size += codec::largestEncryptedSize(f.id.size) + perMember;
    return size + scan.folders.size() * perMember;
}

// The files grow in place when they are encrypted, and the archive is
// written beside the folder: both must fit on the volume first.
int checkRoom(const WorkspaceNames& names, const FolderScan& scan) {
    uint64_t growth = 0;
    for (const ScannedFile& f : scan.files) growth += codec::largestEncryptedSize(f.id.size) - f.id.size;
    const uint64_t archive = largestArchive(scan);
    uint64_t freeBytes = 0;
    bool isFat = false;
    if (!plat::volumeSpace(names.archiveOnDisk, &freeBytes, &isFat)) return 0;   // cannot be known
    if (isFat && archive > 0xFFFFFFFFull) {
        reportError(L"the workspace of '%ls' would be about %llu bytes, more than one file can hold on this "
                    L"drive (FAT: 4 GiB); folder '%ls' was not changed",
                    names.displayName.c_str(), static_cast<unsigned long long>(archive), names.folder.c_str());
        return 1;
    }
    if (growth + archive > freeBytes) {
        reportError(L"there is not enough room on the drive for the workspace of '%ls': up to %llu bytes are "
                    L"needed and %llu are free; folder '%ls' was not changed",
                    names.displayName.c_str(), static_cast<unsigned long long>(growth + archive),
                    static_cast<unsigned long long>(freeBytes), names.folder.c_str());
        return 1;
    }
    return 0;
}

// Paths below the folder, one per line, for a box; a long list ends in a count.
std::wstring listed(const std::vector<std::wstring>& relative) {
    constexpr std::size_t kShown = 12;
    std::wstring text;
    for (std::size_t i = 0; i < relative.size() && i < kShown; ++i) text += L"\n    " + relative[i];
    if (relative.size() > kShown)
        text += formatWide(L"\n    and %llu more", static_cast<unsigned long long>(relative.size() - kShown));
    return text;
}

// Every member of the archive must be an encrypted file of this key before
// anything is removed: a plaintext saved into the folder after the
// encryption walk would otherwise rest in the workspace unencrypted. Such an
// archive, made by this conversion, is erased.
int checkArchiveMembers(const WorkspaceNames& names, std::vector<tar::Member>* members) {
    FILE* f = plat::openFile(names.archiveOnDisk, L"rb");
    std::wstring why;
    if (!f || tar::readMembers(f, members, &why) != 0) {
        if (f) std::fclose(f);
        reportError(L"could not read the archive \"%ls\" that was just made: %ls; folder '%ls' was not removed",
                    names.archiveName.c_str(), f ? why.c_str() : stdErrorText(), names.folder.c_str());
        return 1;
    }
    std::vector<std::wstring> plain;
    bool unknown = false;
    for (const tar::Member& m : *members) {
        uint64_t length = 0;
        if (m.kind != tar::Kind::File) continue;
        const HeaderFinding finding = readStoredLength(f, m.dataOffset, m.size, &length);
        if (finding == HeaderFinding::NotThisKey) plain.push_back(tar::relativeDiskPath(m.name));
        unknown = unknown || finding == HeaderFinding::Unknown;
    }
    std::fclose(f);
    if (unknown) {
        const std::wstring cause = lastErrorText;
        reportError(L"could not check the archive \"%ls\" that was just made: %ls; folder '%ls' was not removed",
                    names.archiveName.c_str(), cause.c_str(), names.folder.c_str());
        return 1;
    }
    if (plain.empty()) return 0;
    const bool erased = wipeAndRemove(names.archiveOnDisk, nullptr) == 0;
    reportError(L"files were saved into folder '%ls' while it was converted, and reached the archive "
                L"unencrypted:%ls\n\nThe archive %ls. The folder is left as it is (its other files encrypted "
                L"in place); drop it on the icon again to convert it.",
                names.folder.c_str(), listed(plain).c_str(),
                erased ? L"was erased" : formatWide(L"\"%ls\" could not be erased and holds them", names.archiveName.c_str()).c_str());
    return 1;
}

// Removes what was archived: each file only while it is the very file that
// was archived, then every folder that is empty. What is left is named.
void removeArchived(const WorkspaceNames& names, const FolderScan& archived, const std::vector<tar::Member>& members) {
    std::set<std::pair<std::string, uint64_t>> inArchive;
    for (const tar::Member& m : members)
        if (m.kind == tar::Kind::File) inArchive.insert({m.name, m.size});
    for (const ScannedFile& f : archived.files) {
        const std::wstring path = names.folder + plat::kSep + f.relative;
        if (inArchive.count({tar::memberName(f.relative), f.id.size}) != 0) removeScannedFile(path, f);
    }
    for (auto d = archived.folders.rbegin(); d != archived.folders.rend(); ++d)
        plat::removeDirectory(names.folder + plat::kSep + *d);
    if (plat::removeDirectory(names.folder)) return;

    FolderScan left;
    std::vector<std::wstring> paths;
    if (scanFolderTree(names.folder, &left) == 0) {
        for (const ScannedFile& f : left.files) paths.push_back(f.relative);
        paths.insert(paths.end(), left.skipped.begin(), left.skipped.end());
    }
    const std::wstring text = formatWide(
        L"The workspace %ls holds the files of folder '%ls', but the folder was not removed: it still holds "
        L"what is not in the workspace as it is now (links and special files, and files saved or added "
        L"during the conversion):%ls\n\nAdd what you want to keep to the workspace with its file manager.",
        quoted(names.archiveName).c_str(), names.folder.c_str(), listed(paths).c_str());
    logMessage(L"%ls", text.c_str());
    plat::messageBox(plat::BoxKind::Warning, caption, text);
}

// The marker file is created when missing; an existing file of that name is
// kept as it is (appending creates, and never empties).
void createMarkerFile(const std::wstring& markerPath) {
    if (plat::fileInfo(markerPath, nullptr)) return;
    FILE* f = plat::openFile(markerPath, L"a");
    if (f) std::fclose(f);
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
    FolderScan before;
    if (scanFolderTree(names.folder, &before) != 0 || checkRoom(names, before) != 0) return 1;
    // Each file costs key beyond its bytes (its header, digest and tail
    // blocks, and the rounding to whole blocks), and each must be
    // encryptable and erasable: the folder is checked as a whole, the marker
    // file it will get included, before the question, so that a conversion
    // never stops halfway with part of the folder encrypted.
    WalkContext keepNames{-1};
    const uint64_t markerBlocks = plat::fileInfo(names.markerPath, nullptr) ? 0 : codec::reservationFor(0);
    if (checkFolderForEncrypt(path, &keepNames, markerBlocks) != 0) return 1;

    std::wstring question = formatText(
        L"'%ls' is a folder containing %lld bytes in %lld files.\n\n"
        L"Do you want to convert '%ls' into a Brannock Secure Workspace?\n\n"
        L"After conversion, folder '%ls' and all its contents will be securely erased.",
        display, bytes, files, display, display);
    if (!before.skipped.empty())
        question += L"\n\nLinks and special files are not archived and stay in the folder:" + listed(before.skipped);
    if (!plat::messageBox(plat::BoxKind::Question, caption, question)) return 0;

    createMarkerFile(names.markerPath);

    if (walkTree(path, encryptAction, &keepNames, nullptr, nullptr) != 0) return 1;
    // What is archived: the files as they are now, encrypted in place.
    FolderScan archived;
    if (scanFolderTree(names.folder, &archived) != 0) return 1;

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
    // recognised as a workspace of this key, every member encrypted.
    int32_t isEncrypted = 0;
    int32_t isArchive = 0;
    if (probeFile(names.archiveOnDisk.c_str(), &isEncrypted, &isArchive) != 0 || !isArchive) {
        reportError(L"could not create archive %ls: the archive tool ended without error, but the "
                    L"file is not recognised as a Secure Workspace; folder '%ls' was not removed",
                    quoted(names.archiveName).c_str(), names.folder.c_str());
        return 1;
    }
    std::vector<tar::Member> members;
    if (checkArchiveMembers(names, &members) != 0) return 1;
    removeArchived(names, archived, members);

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
