// POSIX backend: streams on wide paths, file system calls, listings.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/identity.h"
#include "platform/utf8.h"

namespace plat {

namespace {

// File names are bytes: those that are not UTF-8 travel through the core
// as byte escapes and come back unchanged.
std::string narrow(const std::wstring& path) { return utf8::pathFromWide(path); }

// The folder that holds 'path', for questions about its volume.
std::string folderOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return path;
    std::size_t cut = path.rfind('/');
    if (cut == std::string::npos) return ".";
    return cut == 0 ? "/" : path.substr(0, cut);
}

void syncFolderOf(const std::string& path) {
    int fd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool isSpecialMode(mode_t mode) {
    return !S_ISREG(mode) && !S_ISDIR(mode) && !S_ISLNK(mode);
}

struct Listing {
    DIR* dir;
    std::string folder;
};

int readEntry(Listing* listing, DirEntry* entry) {
    errno = 0;
    dirent* d = ::readdir(listing->dir);
    if (!d) return errno == 0 ? 0 : -1;
    entry->name = utf8::pathToWide(d->d_name);
    entry->isDirectory = false;
    entry->isLink = false;
    entry->isSpecial = false;
    entry->size = 0;
    struct stat st;
    if (::fstatat(::dirfd(listing->dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        entry->isDirectory = S_ISDIR(st.st_mode);
        entry->isLink = S_ISLNK(st.st_mode);
        entry->isSpecial = isSpecialMode(st.st_mode);
        entry->size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    } else {
        entry->isDirectory = d->d_type == DT_DIR;
        entry->isLink = d->d_type == DT_LNK;
        entry->isSpecial = d->d_type == DT_FIFO || d->d_type == DT_SOCK || d->d_type == DT_CHR ||
                           d->d_type == DT_BLK;
    }
    return 1;
}

}  // namespace

FILE* openFile(const std::wstring& path, const wchar_t* mode) {
    std::string m;
    for (const wchar_t* p = mode; *p; ++p) {
        // S, T and c are caching hints of the Windows runtime.
        if (*p == L'S' || *p == L'T' || *p == L'c') continue;
        m += static_cast<char>(*p);
    }
    // Close-on-exec, as the Windows build starts children without handles:
    // a child (a dialog, an editor, a sibling program) must neither see the
    // key files nor keep their locks after the program ends.
    m += 'e';
    return std::fopen(narrow(path).c_str(), m.c_str());
}

int seekFile(FILE* f, int64_t offset, int whence) {
    return ::fseeko(f, static_cast<off_t>(offset), whence) == 0 ? 0 : 1;
}

int64_t tellFile(FILE* f) { return static_cast<int64_t>(::ftello(f)); }

int commitFile(FILE* f) {
    if (std::fflush(f) != 0) return 1;
    return ::fsync(::fileno(f)) == 0 ? 0 : 1;
}

void startWriteback(FILE* f, uint64_t offset, uint64_t length) {
#ifdef SYNC_FILE_RANGE_WRITE
    // Only a head start: errors are ignored, the commit reports them.
    const int saved = errno;
    ::sync_file_range(::fileno(f), static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
    errno = saved;
#else
    (void)f;
    (void)offset;
    (void)length;
#endif
}

int commitFileData(FILE* f) {
    return ::fdatasync(::fileno(f)) == 0 ? 0 : 1;
}

namespace {
// Sets or clears a lock on [start, start + length) (length 0: to the end of
// any file). Returns 0 when done, 1 when `wait` is false and another holder
// keeps a conflicting lock, -1 on failure (errno set).
int setLock(FILE* f, short type, off_t start, off_t length, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    int fd = ::fileno(f);
    auto busy = [wait]() { return !wait && (errno == EAGAIN || errno == EACCES); };
#ifdef F_OFD_SETLKW
    // Open-file-description locks belong to the stream, not the process.
    for (;;) {
        if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return 0;
        if (errno == EINTR) continue;
        if (busy()) return 1;
        if (errno != EINVAL) return -1;
        break;
    }
#endif
    for (;;) {
        if (::fcntl(fd, wait ? F_SETLKW : F_SETLK, &lock) == 0) return 0;
        if (errno == EINTR) continue;
        return busy() ? 1 : -1;
    }
}
}  // namespace

int lockFile(FILE* f) { return setLock(f, F_WRLCK, 0, 0, true) == 0 ? 0 : 1; }
int unlockFile(FILE* f) { return setLock(f, F_UNLCK, 0, 0, true) == 0 ? 0 : 1; }

int lockRange(FILE* f, uint64_t offset, uint64_t length, bool exclusive, bool wait) {
    return setLock(f, exclusive ? F_WRLCK : F_RDLCK, off_t(offset), off_t(length), wait);
}

int unlockRange(FILE* f, uint64_t offset, uint64_t length) {
    return setLock(f, F_UNLCK, off_t(offset), off_t(length), true) == 0 ? 0 : 1;
}

int renameNoReplace(const std::wstring& from, const std::wstring& to) {
    std::string a = narrow(from), b = narrow(to);
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return 1;
    // File systems without the flag: a hard link fails on an existing target.
    if (::link(a.c_str(), b.c_str()) == 0) return ::unlink(a.c_str()) == 0 ? 0 : 1;
    if (errno == EEXIST) return 1;
    struct stat st;
    if (::lstat(b.c_str(), &st) == 0) {
        errno = EEXIST;
        return 1;
    }
    return std::rename(a.c_str(), b.c_str()) == 0 ? 0 : 1;
}

int removeFile(const std::wstring& path) { return std::remove(narrow(path).c_str()) == 0 ? 0 : 1; }

bool fileInfo(const std::wstring& path, FileInfo* info) {
    struct stat st;
    if (::lstat(narrow(path).c_str(), &st) != 0) return false;
    // Without a record the call only asks whether the path exists.
    if (!info) return true;
    info->isDirectory = S_ISDIR(st.st_mode);
    info->isLink = S_ISLNK(st.st_mode);
    info->isSpecial = isSpecialMode(st.st_mode);
    info->isReadOnly = (st.st_mode & 0222) == 0;
    info->size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

bool modifiedTime(const std::wstring& path, int64_t* seconds) {
    struct stat st;
    if (::lstat(narrow(path).c_str(), &st) != 0) return false;
    *seconds = static_cast<int64_t>(st.st_mtime);
    return true;
}

bool finalPath(const std::wstring& path, std::wstring* target) {
    char* resolved = ::realpath(narrow(path).c_str(), nullptr);
    if (!resolved) return false;
    *target = utf8::pathToWide(resolved);
    std::free(resolved);
    return true;
}

bool moveReplace(const std::wstring& from, const std::wstring& to) {
    std::string b = narrow(to);
    if (std::rename(narrow(from).c_str(), b.c_str()) != 0) return false;
    syncFolderOf(b);
    return true;
}

bool moveNoReplace(const std::wstring& from, const std::wstring& to, bool commitNow) {
    if (renameNoReplace(from, to) != 0) return false;
    if (commitNow) syncFolderOf(narrow(to));
    return true;
}

bool deleteFile(const std::wstring& path) { return ::unlink(narrow(path).c_str()) == 0; }
bool removeDirectory(const std::wstring& path) { return ::rmdir(narrow(path).c_str()) == 0; }

bool createDirectory(const std::wstring& path) {
    std::string p = narrow(path);
    if (::mkdir(p.c_str(), 0777) == 0) return true;
    struct stat st;
    return errno == EEXIST && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// A mount table field with its octal escapes ("\040" for a space) undone.
std::string unescapeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) && isOctal(field[i + 2]) &&
            isOctal(field[i + 3])) {
            out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// The file system type the mount table gives for the mount that holds
// folder (the longest mount point above it), such as "fuse.fusefat".
std::string mountedType(const std::string& folder) {
    char* real = ::realpath(folder.empty() ? "." : folder.c_str(), nullptr);
    if (!real) return std::string();
    const std::string path = real;
    std::free(real);
    FILE* table = std::fopen("/proc/self/mountinfo", "r");
    if (!table) return std::string();
    std::string best, type;
    char line[4096];
    while (std::fgets(line, sizeof line, table)) {
        // id parent major:minor root mountpoint options [optional...] - type source ...
        std::vector<std::string> fields;
        std::string field;
        for (const char* c = line; *c && *c != '\n'; ++c) {
            if (*c == ' ') {
                fields.push_back(field);
                field.clear();
            } else {
                field += *c;
            }
        }
        fields.push_back(field);
        if (fields.size() < 7) continue;
        const std::string point = unescapeMountField(fields[4]);
        const bool above = path == point || point == "/" ||
                           (path.compare(0, point.size(), point) == 0 && path[point.size()] == '/');
        if (!above || point.size() < best.size()) continue;
        std::size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (dash + 1 >= fields.size()) continue;
        best = point;
        type = fields[dash + 1];
    }
    std::fclose(table);
    return type;
}

}  // namespace

bool volumeSpace(const std::wstring& path, uint64_t* freeBytes, bool* isFat) {
    std::string folder = folderOf(narrow(path));
    struct statvfs vfs;
    if (::statvfs(folder.c_str(), &vfs) != 0) return false;
    *freeBytes = vfs.f_blocks == 0 ? UINT64_MAX : static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    struct statfs fs;
    const bool known = ::statfs(folder.c_str(), &fs) == 0;
    *isFat = known && fs.f_type == MSDOS_SUPER_MAGIC;
    // A FAT stick mounted through FUSE (fusefat) has the same 4 GiB limit;
    // only the mount table tells it apart from other FUSE file systems.
    if (known && fs.f_type == FUSE_SUPER_MAGIC) *isFat = mountedType(folder) == "fuse.fusefat";
    return true;
}

DirHandle findFirst(const std::wstring& folderPath, DirEntry* entry) {
    std::string folder = narrow(folderPath);
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return nullptr;
    auto* listing = new Listing{dir, folder};
    int got = readEntry(listing, entry);
    if (got != 1) {
        int saved = errno;
        ::closedir(dir);
        delete listing;
        errno = got == 0 ? ENOENT : saved;
        return nullptr;
    }
    return listing;
}

int findNext(DirHandle handle, DirEntry* entry) { return readEntry(static_cast<Listing*>(handle), entry); }

void findClose(DirHandle handle) {
    auto* listing = static_cast<Listing*>(handle);
    if (!listing) return;
    ::closedir(listing->dir);
    delete listing;
}

namespace {
FileKind kindOfMode(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::File;
    if (S_ISDIR(mode)) return FileKind::Folder;
    if (S_ISLNK(mode)) return FileKind::Link;
    return FileKind::Special;
}
}  // namespace

// statx gives the creation time where the file system keeps one.
bool identityAt(int dirfd, const char* path, int flags, FileId* id) {
    struct statx st;
    if (::statx(dirfd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) return false;
    id->volume = (static_cast<uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
    id->index = st.stx_ino;
    id->created = (st.stx_mask & STATX_BTIME)
                      ? static_cast<int64_t>(st.stx_btime.tv_sec) * 1000000000 + st.stx_btime.tv_nsec
                      : 0;
    id->size = st.stx_size;
    id->modified = static_cast<int64_t>(st.stx_mtime.tv_sec) * 1000000000 + st.stx_mtime.tv_nsec;
    id->links = st.stx_nlink;
    id->mode = st.stx_mode & 0777;
    id->kind = kindOfMode(st.stx_mode);
    return true;
}

bool fileIdentity(const std::wstring& path, FileId* id) {
    return identityAt(AT_FDCWD, narrow(path).c_str(), 0, id);
}

bool nameIdentity(const std::wstring& path, FileId* id) {
    return identityAt(AT_FDCWD, narrow(path).c_str(), AT_SYMLINK_NOFOLLOW, id);
}

bool streamIdentity(FILE* f, FileId* id) {
    return identityAt(::fileno(f), "", AT_EMPTY_PATH, id);
}

bool sameFile(const std::wstring& a, const std::wstring& b) {
    FileId x, y;
    return fileIdentity(a, &x) && fileIdentity(b, &y) && sameFileId(x, y);
}

std::wstring absolutePath(const std::wstring& path) {
    if (!path.empty() && path[0] == L'/') return path;
    std::wstring folder = currentDir();
    if (path.empty()) return folder;
    if (folder.empty() || folder.back() != L'/') folder += L'/';
    return folder + path;
}

FILE* createNewFile(const std::wstring& path) {
    int fd = ::open(narrow(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        int saved = errno;
        ::close(fd);
        errno = saved;
    }
    return f;
}

void commitFolderOf(const std::wstring& path) { syncFolderOf(narrow(path)); }

std::vector<std::wstring> samePathOnOtherDrives(const std::wstring&) { return {}; }

int setPermissions(FILE* f, uint32_t mode) {
    // The mask is read by setting it; only the main thread creates files.
    const mode_t mask = ::umask(077);
    ::umask(mask);
    return ::fchmod(::fileno(f), static_cast<mode_t>(mode & 0777 & ~mask)) == 0 ? 0 : 1;
}

bool folderWritable(const std::wstring& folder) {
    std::string p = narrow(folder);
    if (p.empty()) p = ".";
    // An unnamed file vanishes with its descriptor, whatever happens next.
    int fd = ::open(p.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
    return ::access(p.c_str(), W_OK | X_OK) == 0;
}

bool cryptoRandom(void* buffer, std::size_t length) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        ssize_t n = ::getrandom(p, length, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace plat
