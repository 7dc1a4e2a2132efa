// Recognising the key drive's own files by identity, so that no spelling
// of their names (letter case, a short name, a link, "..") gets past.

#include "walk/drivefiles.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "drive/layout.h"
#include "drive/util.h"

namespace {

bool contains(const std::vector<plat::FileId>& ids, const plat::FileId& id) {
    for (const plat::FileId& known : ids)
        if (plat::sameFileId(known, id)) return true;
    return false;
}

// Whether a file is a program of either build: a Windows executable
// ("MZ") or a Linux one ("\x7fELF"). A key drive used on both systems
// carries both builds' copies.
bool isProgramFile(const std::wstring& path) {
    FILE* f = plat::openFile(path, L"rb");
    if (!f) return false;
    unsigned char start[4] = {0, 0, 0, 0};
    const std::size_t got = std::fread(start, 1, sizeof start, f);
    std::fclose(f);
    return (got >= 2 && start[0] == 'M' && start[1] == 'Z') ||
           (got == 4 && start[0] == 0x7F && start[1] == 'E' && start[2] == 'L' && start[3] == 'F');
}

bool isSeparator(wchar_t c) { return std::wcschr(plat::kSeparators, c) != nullptr; }

const wchar_t kLauncherSuffix[] = L".desktop";

}  // namespace

void loadDriveFiles(DriveFiles* drive) {
    *drive = DriveFiles();
    plat::FileId id;
    for (const wchar_t* folder : {kSettingsFolder, kLogFolder, kTempFolder}) {
        if (plat::fileIdentity(folder, &id)) drive->folders.push_back(id);
    }
    for (const wchar_t* file : {kKeyFileName, kIndexFileName, kStatusFileName}) {
        if (plat::fileIdentity(file, &id)) drive->files.push_back(id);
    }
    if (plat::fileIdentity(programPath, &id)) drive->files.push_back(id);
    drive->knowsProgramFolder = plat::fileIdentity(plat::absolutePath(L""), &drive->programFolder);
}

bool isDriveFolder(const DriveFiles& drive, const plat::FileId& folder) {
    return contains(drive.folders, folder);
}

bool isDriveFile(const DriveFiles& drive, const std::wstring& path, const plat::FileId& file,
                 const plat::FileId& folder) {
    if (contains(drive.files, file)) return true;
    if (!drive.knowsProgramFolder || !plat::sameFileId(folder, drive.programFolder)) return false;
    if (isProgramFile(path)) return true;
    // The desktop launcher of a program: "<program>.desktop" beside it.
    const std::size_t suffix = std::wcslen(kLauncherSuffix);
    if (path.size() <= suffix || path.compare(path.size() - suffix, suffix, kLauncherSuffix) != 0)
        return false;
    return isProgramFile(path.substr(0, path.size() - suffix));
}

bool liesOnDriveFiles(const DriveFiles& drive, const std::wstring& path) {
    std::wstring current = plat::absolutePath(path);
    plat::FileId id;
    if (plat::fileIdentity(current, &id) && contains(drive.files, id)) return true;
    for (;;) {
        if (plat::fileIdentity(current, &id) && isDriveFolder(drive, id)) return true;
        // One folder up: cut the last name (and the separators before it).
        while (!current.empty() && isSeparator(current.back())) current.pop_back();
        std::size_t cut = current.find_last_of(plat::kSeparators);
        if (cut == std::wstring::npos || current.empty()) return false;
        current.resize(cut + 1);
        if (current.size() <= 1 || (current.size() <= 3 && current[1] == L':')) {
            return plat::fileIdentity(current, &id) && isDriveFolder(drive, id);
        }
    }
}
