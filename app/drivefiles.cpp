// Recognising the key drive's own files by identity, so that no spelling
// of their names (letter case, a short name, a link, "..") gets past.

#include "app/drivefiles.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "app/util.h"

namespace {

bool contains(const std::vector<plat::FileId>& ids, const plat::FileId& id) {
    for (const plat::FileId& known : ids)
        if (plat::sameFileId(known, id)) return true;
    return false;
}

// Whether two files hold the same bytes.
bool sameContent(const std::wstring& a, const std::wstring& b) {
    FILE* fa = plat::openFile(a, L"rb");
    FILE* fb = fa ? plat::openFile(b, L"rb") : nullptr;
    bool same = fa && fb;
    static char x[65536], y[65536];
    while (same) {
        std::size_t na = std::fread(x, 1, sizeof x, fa);
        std::size_t nb = std::fread(y, 1, sizeof y, fb);
        if (na != nb || std::memcmp(x, y, na) != 0) same = false;
        else if (na == 0) break;
    }
    if (fa) std::fclose(fa);
    if (fb) std::fclose(fb);
    return same;
}

bool isSeparator(wchar_t c) { return std::wcschr(plat::kSeparators, c) != nullptr; }

}  // namespace

void loadDriveFiles(DriveFiles* drive) {
    *drive = DriveFiles();
    plat::FileId id;
    for (const wchar_t* folder : {L"SETTINGS", L"LOG", L"TEMP"}) {
        if (plat::fileIdentity(folder, &id)) drive->folders.push_back(id);
    }
    for (const wchar_t* file : {L"SETTINGS/KEY.DAT", L"SETTINGS/INDEX.DAT", L"SETTINGS/STATUS.DAT"}) {
        if (plat::fileIdentity(file, &id)) drive->files.push_back(id);
    }
    drive->program = programPath;
    if (plat::fileIdentity(drive->program, &id)) {
        drive->files.push_back(id);
        drive->programSize = id.size;
    }
    drive->knowsProgramFolder = plat::fileIdentity(plat::absolutePath(L""), &drive->programFolder);
}

bool isDriveFolder(const DriveFiles& drive, const plat::FileId& folder) {
    return contains(drive.folders, folder);
}

namespace {

// The program itself or a copy of it in the program's folder.
bool isProgramCopy(const DriveFiles& drive, const std::wstring& path, const plat::FileId& file) {
    return drive.programSize > 0 && file.size == drive.programSize && sameContent(path, drive.program);
}

const wchar_t kLauncherSuffix[] = L".desktop";

}  // namespace

bool isDriveFile(const DriveFiles& drive, const std::wstring& path, const plat::FileId& file,
                 const plat::FileId& folder) {
    if (contains(drive.files, file)) return true;
    if (!drive.knowsProgramFolder || !plat::sameFileId(folder, drive.programFolder)) return false;
    if (isProgramCopy(drive, path, file)) return true;
    // The desktop launcher of a copy: "<copy>.desktop" beside it.
    const std::size_t suffix = std::wcslen(kLauncherSuffix);
    if (path.size() <= suffix || path.compare(path.size() - suffix, suffix, kLauncherSuffix) != 0)
        return false;
    const std::wstring copy = path.substr(0, path.size() - suffix);
    plat::FileId copyId;
    return plat::fileIdentity(copy, &copyId) && isProgramCopy(drive, copy, copyId);
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
