// POSIX backend: acting on the very file that was checked, walking folders
// through their own descriptors, and lock files that are locked before they
// appear under their name.
//
// POSIX renames and removes by name only. Every step on a held file checks
// just before that the name still holds the file of the open descriptor,
// and a rename checks after it that the new name holds it; a rename that
// moved another file (swapped in between) is undone.
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/identity.h"
#include "platform/utf8.h"

namespace plat {

namespace {

std::string narrow(const std::wstring& path) { return utf8::pathFromWide(path); }

void syncFolderOfName(const std::string& path) {
    std::size_t cut = path.rfind('/');
    const std::string folder = cut == std::string::npos ? "." : (cut == 0 ? "/" : path.substr(0, cut));
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

struct Folder {
    int fd;
};

int folderFd(FolderHandle folder) { return static_cast<Folder*>(folder)->fd; }

FolderHandle heldFolder(int fd, FileId* id) {
    if (fd < 0) return nullptr;
    FileId held;
    if (!identityAt(fd, "", AT_EMPTY_PATH, &held)) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return nullptr;
    }
    if (id) *id = held;
    return new Folder{fd};
}

}  // namespace

FILE* openNoFollow(const std::wstring& path, bool write, FileId* id) {
    // Non-blocking, so that a pipe put in the file's place cannot hold the
    // open; cleared again for a regular file.
    int fd = ::open(narrow(path).c_str(),
                    (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FileId held;
    int problem = 0;
    if (!identityAt(fd, "", AT_EMPTY_PATH, &held)) problem = errno;
    else if (held.kind == FileKind::Folder) problem = EISDIR;
    else if (held.kind != FileKind::File) problem = EINVAL;
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) problem = errno;
    FILE* f = problem ? nullptr : ::fdopen(fd, write ? "r+b" : "rb");
    if (!f) {
        if (!problem) problem = errno;
        ::close(fd);
        errno = problem;
        return nullptr;
    }
    if (id) *id = held;
    return f;
}

HeldStep renameHeld(FILE* f, const std::wstring& from, const std::wstring& to) {
    if (!nameHolds(from, f)) return HeldStep::Elsewhere;
    if (renameNoReplace(from, to) != 0) return HeldStep::Failed;
    if (!nameHolds(to, f)) {
        // Another file was swapped in between the check and the rename: it
        // goes back where it stood.
        renameNoReplace(to, from);
        return HeldStep::Elsewhere;
    }
    return HeldStep::Done;
}

HeldStep removeHeld(FILE* f, const std::wstring& name, bool commitNow) {
    if (!nameHolds(name, f)) return HeldStep::Elsewhere;
    const std::string p = narrow(name);
    if (::unlink(p.c_str()) != 0) return HeldStep::Failed;
    if (commitNow) syncFolderOfName(p);
    return HeldStep::Done;
}

FolderHandle openFolder(const std::wstring& path, FileId* id) {
    std::string p = narrow(path);
    if (p.empty()) p = ".";
    return heldFolder(::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), id);
}

FolderHandle openSubfolder(FolderHandle parent, const std::wstring& name, const std::wstring& /*path*/,
                           FileId* id) {
    return heldFolder(
        ::openat(folderFd(parent), narrow(name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), id);
}

int listFolder(FolderHandle folder, const std::wstring& /*folderPath*/, std::vector<DirEntry>* entries) {
    // A listing of its own (own position), through the held folder.
    int fd = ::openat(folderFd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    for (;;) {
        errno = 0;
        dirent* d = ::readdir(dir);
        if (!d) break;
        const std::string name = d->d_name;
        if (name == "." || name == "..") continue;
        DirEntry entry;
        entry.name = utf8::pathToWide(name);
        if (identityAt(::dirfd(dir), d->d_name, AT_SYMLINK_NOFOLLOW, &entry.id)) {
            entry.isDirectory = entry.id.kind == FileKind::Folder;
            entry.isLink = entry.id.kind == FileKind::Link;
            entry.isSpecial = entry.id.kind == FileKind::Special;
            entry.size = entry.id.kind == FileKind::File ? entry.id.size : 0;
        } else {
            // Gone since it was listed: the walk finds it gone.
            entry.id = FileId();
            entry.isDirectory = d->d_type == DT_DIR;
            entry.isLink = d->d_type == DT_LNK;
        }
        entries->push_back(entry);
    }
    const int error = errno;
    ::closedir(dir);
    errno = error;
    return error == 0 ? 0 : -2;
}

bool entryIdentity(FolderHandle folder, const std::wstring& name, const std::wstring& /*path*/, FileId* id) {
    return identityAt(folderFd(folder), narrow(name).c_str(), AT_SYMLINK_NOFOLLOW, id);
}

void closeFolder(FolderHandle folder) {
    if (!folder) return;
    ::close(folderFd(folder));
    delete static_cast<Folder*>(folder);
}

FILE* createLockedFile(const std::wstring& path) {
    const std::string fresh = narrow(path + kLockingSuffix);
    int fd = ::open(fresh.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, "r+b");
    if (!f) {
        const int saved = errno;
        ::close(fd);
        ::unlink(fresh.c_str());
        errno = saved;
        return nullptr;
    }
    if (lockRange(f, 0, 1, true, false) != 0 || renameNoReplace(path + kLockingSuffix, path) != 0) {
        const int saved = errno;
        ::unlink(fresh.c_str());
        std::fclose(f);
        errno = saved == 0 ? EEXIST : saved;
        return nullptr;
    }
    // Not committed: after a crash no lock is held anyway, and a lock file
    // that is missing then says just that.
    return f;
}

FILE* openLockFile(const std::wstring& path) { return openFile(path, L"rb+"); }

}  // namespace plat
