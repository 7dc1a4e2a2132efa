// Windows backend: streams on wide paths and the file system services.
#include "platform/platform.h"
#include "platform/win32/handles.h"
#include "platform/win32/reparse.h"

#include <windows.h>

#include <cerrno>
#include <cwctype>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace plat {

// ---------------------------------------------------------------- streams

FILE* openFile(const std::wstring& path, const wchar_t* mode) {
    // The runtime understands the hints S, T and c itself.
    return _wfopen(path.c_str(), mode);
}

int seekFile(FILE* f, int64_t offset, int whence) {
    return _fseeki64(f, offset, whence) == 0 ? 0 : -1;
}

int64_t tellFile(FILE* f) {
    return _ftelli64(f);
}

int commitFile(FILE* f) {
    if (fflush(f) != 0) return -1;
    return _commit(_fileno(f)) == 0 ? 0 : -1;
}

// The cache manager's lazy writer already writes dirty data out in the
// background; the commit does the rest.
void startWriteback(FILE*, uint64_t, uint64_t) {}

namespace win32 {

HANDLE osHandleOf(FILE* f) {
    int fd = _fileno(f);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

}  // namespace win32

using win32::osHandleOf;

// FlushFileBuffers on the handle itself: the runtime's _commit would hold
// the descriptor's lock for the whole flush and stall the writer's next
// write behind it.
int commitFileData(FILE* f) {
    HANDLE h = osHandleOf(f);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return 1;
    }
    if (FlushFileBuffers(h)) return 0;
    errno = EIO;
    return 1;
}

namespace {

// Locks or unlocks the whole file, now and whatever it grows to: offset 0,
// the largest length. Locking waits until the lock is granted.
int lockWholeFile(FILE* f, bool lock) {
    HANDLE h = osHandleOf(f);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED where = {};
    BOOL done = lock ? LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &where)
                     : UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &where);
    if (!done) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

}  // namespace

int lockFile(FILE* f) { return lockWholeFile(f, true); }

int unlockFile(FILE* f) { return lockWholeFile(f, false); }

namespace {

// Locks or unlocks [offset, offset + length) with LockFileEx's flags.
BOOL lockBytes(FILE* f, uint64_t offset, uint64_t length, bool lock, DWORD flags) {
    HANDLE h = osHandleOf(f);
    if (h == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD low = static_cast<DWORD>(length), high = static_cast<DWORD>(length >> 32);
    return lock ? LockFileEx(h, flags, 0, low, high, &where) : UnlockFileEx(h, 0, low, high, &where);
}

}  // namespace

int lockRange(FILE* f, uint64_t offset, uint64_t length, bool exclusive, bool wait) {
    DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (lockBytes(f, offset, length, true, flags)) return 0;
    return !wait && GetLastError() == ERROR_LOCK_VIOLATION ? 1 : -1;
}

int unlockRange(FILE* f, uint64_t offset, uint64_t length) {
    return lockBytes(f, offset, length, false, 0) ? 0 : -1;
}

int renameNoReplace(const std::wstring& from, const std::wstring& to) {
    // The runtime's rename refuses an existing target.
    return _wrename(from.c_str(), to.c_str()) == 0 ? 0 : -1;
}

int removeFile(const std::wstring& path) {
    return _wremove(path.c_str()) == 0 ? 0 : -1;
}

// ---------------------------------------------------------------- file system

namespace win32 {

ReparseKind reparseKindOf(unsigned long tag) {
    // Tags of the Linux subsystem, not in every SDK's headers.
    constexpr unsigned long kLxSymlink = 0xA000001DUL;
    constexpr unsigned long kAfUnix = 0x80000023UL;
    constexpr unsigned long kLxFifo = 0x80000024UL;
    constexpr unsigned long kLxCharDevice = 0x80000025UL;
    constexpr unsigned long kLxBlockDevice = 0x80000026UL;
    switch (tag) {
    case IO_REPARSE_TAG_SYMLINK:
    case IO_REPARSE_TAG_MOUNT_POINT:   // junctions and mounted volumes
    case kLxSymlink:
        return ReparseKind::Link;
    case kAfUnix:
    case kLxFifo:
    case kLxCharDevice:
    case kLxBlockDevice:
        return ReparseKind::Special;
    default:
        return ReparseKind::Ordinary;
    }
}

}  // namespace win32

namespace {

// The reparse tag of a path that carries FILE_ATTRIBUTE_REPARSE_POINT, asked
// of the reparse point itself, not of what it may lead to.
bool reparseTagOf(const std::wstring& path, DWORD* tag) {
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        FILE_ATTRIBUTE_TAG_INFO tagInfo;
        BOOL known = GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tagInfo, sizeof tagInfo);
        CloseHandle(h);
        if (known) {
            *tag = tagInfo.ReparseTag;
            return true;
        }
    }
    // The listing of the path itself gives the tag too.
    if (path.find_first_of(L"*?") != std::wstring::npos) return false;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    FindClose(find);
    *tag = data.dwReserved0;
    return true;
}

// Sets isLink and isSpecial from the attributes and, for a reparse point,
// its tag. A reparse point whose tag cannot be read is taken for a link:
// it is not followed.
template <typename Info>
void classifyReparse(DWORD attributes, bool tagKnown, DWORD tag, Info* info) {
    info->isLink = false;
    info->isSpecial = false;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return;
    win32::ReparseKind kind = tagKnown ? win32::reparseKindOf(tag) : win32::ReparseKind::Link;
    info->isLink = kind == win32::ReparseKind::Link;
    info->isSpecial = kind == win32::ReparseKind::Special;
}

}  // namespace

bool fileInfo(const std::wstring& path, FileInfo* info) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    if (info) {
        info->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        DWORD tag = 0;
        bool tagKnown = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && reparseTagOf(path, &tag);
        classifyReparse(data.dwFileAttributes, tagKnown, tag, info);
        info->isReadOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
        info->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return true;
}

bool modifiedTime(const std::wstring& path, int64_t* seconds) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    // 100-nanosecond steps since 1601-01-01 UTC.
    uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                     data.ftLastWriteTime.dwLowDateTime;
    *seconds = static_cast<int64_t>(ticks / 10000000ull) - 11644473600ll;
    return true;
}

bool finalPath(const std::wstring& path, std::wstring* target) {
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::vector<wchar_t> buffer(32768);
    DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    DWORD error = GetLastError();
    CloseHandle(h);
    if (n == 0 || n >= 32768) {
        SetLastError(n == 0 ? error : ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::wstring full(buffer.data(), n);
    // The system's own forms \\?\C:\... and \\?\UNC\server\share\... become the
    // forms every program reads.
    if (full.compare(0, 8, L"\\\\?\\UNC\\") == 0) full = L"\\" + full.substr(7);
    else if (full.compare(0, 4, L"\\\\?\\") == 0) full = full.substr(4);
    *target = full;
    return true;
}

bool moveReplace(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool moveNoReplace(const std::wstring& from, const std::wstring& to, bool /*commitNow*/) {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool deleteFile(const std::wstring& path) {
    return DeleteFileW(path.c_str()) != 0;
}

bool removeDirectory(const std::wstring& path) {
    return RemoveDirectoryW(path.c_str()) != 0;
}

bool createDirectory(const std::wstring& path) {
    if (CreateDirectoryW(path.c_str(), nullptr)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        // Only an existing folder will do; a file of that name is a failure.
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            SetLastError(0);
            return true;
        }
    }
    SetLastError(error);
    return false;
}

bool volumeSpace(const std::wstring& path, uint64_t* freeBytes, bool* isFat) {
    // The folder of the path: it exists even when the file does not yet.
    std::size_t cut = path.find_last_of(L"\\/");
    std::wstring folder = cut == std::wstring::npos ? std::wstring(L".\\") : path.substr(0, cut + 1);

    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;

    // The file system's name through a handle on the folder: this asks the
    // mounted file system and needs no access to the raw volume.
    bool fat = false;
    HANDLE h = CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        wchar_t fileSystem[MAX_PATH + 1] = {};
        if (GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                                          MAX_PATH + 1)) {
            // FAT, FAT12, FAT16, FAT32: files end at 4 GiB. exFAT has no such limit.
            fat = wcsncmp(fileSystem, L"FAT", 3) == 0;
        }
        CloseHandle(h);
    }
    if (freeBytes) *freeBytes = available.QuadPart;
    if (isFat) *isFat = fat;
    return true;
}

namespace {

void fillEntry(const WIN32_FIND_DATAW& data, DirEntry* entry) {
    if (!entry) return;
    entry->name = data.cFileName;
    entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A listing entry carries the reparse tag in dwReserved0.
    classifyReparse(data.dwFileAttributes, true, data.dwReserved0, entry);
    entry->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

DirHandle findFirst(const std::wstring& folderPath, DirEntry* entry) {
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW((folderPath + L"*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    fillEntry(data, entry);
    return static_cast<DirHandle>(h);
}

int findNext(DirHandle handle, DirEntry* entry) {
    WIN32_FIND_DATAW data;
    if (FindNextFileW(static_cast<HANDLE>(handle), &data)) {
        fillEntry(data, entry);
        return 1;
    }
    return GetLastError() == ERROR_NO_MORE_FILES ? 0 : -1;
}

void findClose(DirHandle handle) {
    if (handle) FindClose(static_cast<HANDLE>(handle));
}

// ---------------------------------------------------------------- file identity and durable steps

namespace win32 {

bool identityOfHandle(HANDLE h, FileId* id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    id->volume = info.dwVolumeSerialNumber;
    // NTFS file indexes carry a sequence number, so a reused one differs.
    // The creation time is left out: a file system emulation may report a
    // time that moves when the file or folder changes.
    id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id->created = 0;
    id->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    id->modified = static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                        info.ftLastWriteTime.dwLowDateTime);
    id->links = info.nNumberOfLinks;
    id->mode = 0;
    id->kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::Folder : FileKind::File;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // Asked of a handle opened on the reparse point itself.
        FILE_ATTRIBUTE_TAG_INFO tag;
        ReparseKind kind = ReparseKind::Link;
        if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag))
            kind = reparseKindOf(tag.ReparseTag);
        if (kind == ReparseKind::Link) id->kind = FileKind::Link;
        if (kind == ReparseKind::Special) id->kind = FileKind::Special;
    }
    return true;
}

int errnoFromSystemError(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    default:
        return EIO;
    }
}

FILE* streamOverHandle(HANDLE h, bool write) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), (write ? _O_RDWR : _O_RDONLY) | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
        return nullptr;
    }
    FILE* f = _wfdopen(fd, write ? L"r+b" : L"rb");
    if (!f) {
        int saved = errno;
        _close(fd);
        errno = saved;
    }
    return f;
}

}  // namespace win32

using win32::identityOfHandle;

namespace {

// Identity through a handle that asks for no access and allows every
// sharing: files that others hold open, and folders, can be asked too.
bool identityByName(const std::wstring& path, DWORD flags, FileId* id) {
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool known = identityOfHandle(h, id);
    DWORD error = GetLastError();
    CloseHandle(h);
    SetLastError(known ? 0 : error);
    return known;
}

}  // namespace

bool fileIdentity(const std::wstring& path, FileId* id) { return identityByName(path, 0, id); }

bool nameIdentity(const std::wstring& path, FileId* id) {
    return identityByName(path, FILE_FLAG_OPEN_REPARSE_POINT, id);
}

bool streamIdentity(FILE* f, FileId* id) {
    HANDLE h = osHandleOf(f);
    return h != INVALID_HANDLE_VALUE && identityOfHandle(h, id);
}

bool sameFile(const std::wstring& a, const std::wstring& b) {
    FileId x, y;
    return fileIdentity(a, &x) && fileIdentity(b, &y) && sameFileId(x, y);
}

std::wstring absolutePath(const std::wstring& path) {
    if (path.empty()) return currentDir();
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    DWORD n = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (n == 0 || n >= needed) return path;
    full.resize(n);
    return full;
}

FILE* createNewFile(const std::wstring& path) {
    // Shared for deletion: the new file can be renamed into place while it
    // is still open, which lets the writer check that it moves this file.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = win32::errnoFromSystemError(GetLastError());
        return nullptr;
    }
    return win32::streamOverHandle(h, true);
}

int setPermissions(FILE*, uint32_t) { return 0; }

std::vector<std::wstring> samePathOnOtherDrives(const std::wstring& path) {
    std::vector<std::wstring> found;
    if (path.size() < 3 || path[1] != L':' || (path[2] != L'\\' && path[2] != L'/')) return found;
    const wchar_t own = static_cast<wchar_t>(towupper(path[0]));
    // An empty removable drive must not stop the program with a prompt.
    DWORD previous = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
    const DWORD drives = GetLogicalDrives();
    for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
        if (letter == own || !(drives & (1u << (letter - L'A')))) continue;
        const wchar_t root[4] = {letter, L':', L'\\', 0};
        const UINT type = GetDriveTypeW(root);
        if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) continue;
        std::wstring moved = path;
        moved[0] = letter;
        found.push_back(moved);
    }
    SetThreadErrorMode(previous, nullptr);
    return found;
}

// Renames and removals here are made with write-through already; a folder
// itself cannot be flushed without administrator rights.
void commitFolderOf(const std::wstring& /*path*/) {}

bool folderWritable(const std::wstring& folder) {
    std::wstring prefix = folder.empty() ? std::wstring(L".\\") : folder;
    if (prefix.back() != L'\\' && prefix.back() != L'/') prefix += L'\\';
    for (int attempt = 0; attempt < 4; ++attempt) {
        uint8_t random[8];
        if (!cryptoRandom(random, sizeof random)) return false;
        wchar_t name[32];
        swprintf(name, 32, L"~velkin-%02x%02x%02x%02x%02x%02x%02x%02x.tmp", random[0], random[1],
                 random[2], random[3], random[4], random[5], random[6], random[7]);
        // Deleted by the system when the handle closes, also when the
        // process ends before that.
        HANDLE h = CreateFileW((prefix + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN |
                                   FILE_FLAG_DELETE_ON_CLOSE,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

}  // namespace plat
