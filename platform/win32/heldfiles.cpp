// Windows backend: acting on the very file that was checked, walking folders
// that are held open, and lock files that are locked before they appear
// under their name.
//
// A held file is renamed and removed through its own handle
// (SetFileInformationByHandle), so the step reaches exactly that file
// whatever its name holds by then; the name is still checked first, so that
// a step is refused when the name now holds another file. Folders being
// walked are held without sharing their deletion: neither they nor their
// names can be replaced while they are held.
#include "platform/platform.h"
#include "platform/win32/handles.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace plat {

namespace {

using win32::errnoFromSystemError;
using win32::identityOfHandle;
using win32::osHandleOf;
using win32::streamOverHandle;

void failWith(DWORD error) {
    SetLastError(error);
    errno = errnoFromSystemError(error);
}

// Renames the file of an open handle (opened with DELETE access), never
// replacing a file under the new name. The new name is given as a full
// path, which the system turns into its own form.
bool renameByHandle(HANDLE h, const std::wstring& to) {
    const std::wstring name = absolutePath(to);
    const std::size_t bytes = sizeof(FILE_RENAME_INFO) + (name.size() + 1) * sizeof(wchar_t);
    std::vector<unsigned char> buffer(bytes, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    if (SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(bytes))) return true;
    failWith(GetLastError());
    return false;
}

bool deleteByHandle(HANDLE h) {
    FILE_DISPOSITION_INFO info;
    info.DeleteFile = TRUE;
    if (SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info)) return true;
    failWith(GetLastError());
    return false;
}

}  // namespace

FILE* openNoFollow(const std::wstring& path, bool write, FileId* id) {
    const DWORD access = GENERIC_READ | (write ? GENERIC_WRITE | DELETE : 0);
    HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A folder cannot be opened as a file at all.
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            SetLastError(error);
            errno = EISDIR;
        } else {
            failWith(error);
        }
        return nullptr;
    }
    FileId held;
    int problem = 0;
    if (!identityOfHandle(h, &held)) problem = errnoFromSystemError(GetLastError());
    else if (held.kind == FileKind::Folder) problem = EISDIR;
    else if (held.kind == FileKind::Link) problem = ELOOP;
    else if (held.kind != FileKind::File) problem = EINVAL;
    if (problem) {
        CloseHandle(h);
        SetLastError(problem == ELOOP ? ERROR_CANT_ACCESS_FILE : ERROR_ACCESS_DENIED);
        errno = problem;
        return nullptr;
    }
    FILE* f = streamOverHandle(h, write);
    if (f && id) *id = held;
    return f;
}

HeldStep renameHeld(FILE* f, const std::wstring& from, const std::wstring& to) {
    if (!nameHolds(from, f)) return HeldStep::Elsewhere;
    return renameByHandle(osHandleOf(f), to) ? HeldStep::Done : HeldStep::Failed;
}

HeldStep removeHeld(FILE* f, const std::wstring& name, bool /*commitNow*/) {
    if (!nameHolds(name, f)) return HeldStep::Elsewhere;
    // The name goes when the last handle of the file closes: the caller's.
    return deleteByHandle(osHandleOf(f)) ? HeldStep::Done : HeldStep::Failed;
}

namespace {

struct Folder {
    HANDLE handle;
};

FolderHandle holdFolder(const std::wstring& path, FileId* id) {
    // Without FILE_SHARE_DELETE: the folder cannot be renamed, removed or
    // replaced while it is held.
    HANDLE h = CreateFileW(path.empty() ? L"." : path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        failWith(GetLastError());
        return nullptr;
    }
    FileId held;
    if (!identityOfHandle(h, &held) || held.kind != FileKind::Folder) {
        const bool link = held.kind == FileKind::Link;
        CloseHandle(h);
        SetLastError(ERROR_DIRECTORY);
        errno = link ? ELOOP : ENOTDIR;
        return nullptr;
    }
    if (id) *id = held;
    return new Folder{h};
}

}  // namespace

FolderHandle openFolder(const std::wstring& path, FileId* id) { return holdFolder(path, id); }

FolderHandle openSubfolder(FolderHandle /*parent*/, const std::wstring& /*name*/, const std::wstring& path,
                           FileId* id) {
    // The parent is held: its path leads to it and nowhere else.
    return holdFolder(path, id);
}

int listFolder(FolderHandle /*folder*/, const std::wstring& folderPath, std::vector<DirEntry>* entries) {
    DirEntry entry;
    DirHandle listing = findFirst(folderPath, &entry);
    if (!listing) return -1;
    for (;;) {
        if (entry.name != L"." && entry.name != L"..") {
            if (!nameIdentity(folderPath + entry.name, &entry.id)) entry.id = FileId();
            entries->push_back(entry);
        }
        const int more = findNext(listing, &entry);
        if (more == 1) continue;
        const DWORD error = GetLastError();
        findClose(listing);
        SetLastError(error);
        return more == 0 ? 0 : -2;
    }
}

bool entryIdentity(FolderHandle /*folder*/, const std::wstring& /*name*/, const std::wstring& path, FileId* id) {
    return nameIdentity(path, id);
}

void closeFolder(FolderHandle folder) {
    if (!folder) return;
    CloseHandle(static_cast<Folder*>(folder)->handle);
    delete static_cast<Folder*>(folder);
}

FILE* createLockedFile(const std::wstring& path) {
    const std::wstring fresh = path + kLockingSuffix;
    HANDLE h = CreateFileW(fresh.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        failWith(GetLastError());
        return nullptr;
    }
    OVERLAPPED where = {};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where) ||
        !renameByHandle(h, path)) {
        const DWORD error = GetLastError();
        deleteByHandle(h);
        CloseHandle(h);
        failWith(error == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : error);
        return nullptr;
    }
    return streamOverHandle(h, true);
}

FILE* openLockFile(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        failWith(GetLastError());
        return nullptr;
    }
    return streamOverHandle(h, true);
}

}  // namespace plat
