// POSIX backend: the single-instance guard, an exclusive lock on a file named
// after the mutex name.
//
// The lock files live in a folder that only this user can write to: the
// session's XDG_RUNTIME_DIR when it is the user's own and closed to others,
// otherwise the folder "velkin" in the user's cache folder, checked the same
// way. A shared folder such as /tmp would let another user create the
// folder or a lock file first and so block every path.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace plat {

namespace {

// The user's own folder, closed to group and others, open as a descriptor;
// -1 when path is anything else.
int openPrivateFolder(const std::string& path) {
    if (path.empty() || path[0] != '/') return -1;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    const passwd* entry = ::getpwuid(::geteuid());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}

// The fallback: $XDG_CACHE_HOME/velkin or ~/.cache/velkin, made with mode
// 0700 when missing.
std::string fallbackFolder() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    std::string base = cache && cache[0] == '/' ? std::string(cache) : homeFolder() + "/.cache";
    ::mkdir(base.c_str(), 0700);
    std::string folder = base + "/velkin";
    ::mkdir(folder.c_str(), 0700);
    return folder;
}

// The lock folder as a descriptor, or -1 with *why set.
int openLockFolder(std::wstring* why) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        int fd = openPrivateFolder(runtime);
        if (fd >= 0) return fd;
    }
    std::string folder = fallbackFolder();
    int fd = openPrivateFolder(folder);
    if (fd < 0 && why) {
        *why = L"there is no folder private to this user for the lock that keeps a second "
               L"instance off this path: '" +
               utf8::pathToWide(folder) +
               L"' is missing, belongs to another user or is open to others (it must have mode "
               L"0700); set XDG_RUNTIME_DIR to a folder of your own with mode 0700";
    }
    return fd;
}

std::string hashHex(const std::string& text) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char buffer[17];
    std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(hash));
    return buffer;
}

// The lock file's name: the mutex name's bytes with its separators replaced
// (the mutex name has no '_' of its own), or for a long one its start and a
// hash of the whole.
std::string lockFileName(const std::wstring& name) {
    std::string file = utf8::pathFromWide(name);
    for (char& c : file) {
        if (c == '/' || c == '\\') c = '_';
    }
    if (file.size() > 200) file = file.substr(0, 160) + "#" + hashHex(file);
    return file + ".lock";
}

struct HeldLock {
    int folder;
    int fd;
    std::string file;
};

std::vector<HeldLock*>& heldLocks() {
    static auto* locks = new std::vector<HeldLock*>;
    return *locks;
}

// At the end of the process the lock files go, each removed while its lock
// is still held; a file left by a killed process is simply reused.
void removeLockFiles() {
    for (const HeldLock* lock : heldLocks()) ::unlinkat(lock->folder, lock->file.c_str(), 0);
}

}  // namespace

int takeGuard(const std::wstring& name, GuardHandle* guard, std::wstring* why) {
    int folder = openLockFolder(why);
    if (folder < 0) return 2;
    const std::string file = lockFileName(name);
    for (int attempt = 0; attempt < 10; ++attempt) {
        int fd = ::openat(folder, file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            int error = errno;
            if (why) {
                *why = L"cannot create the lock file '" + utf8::pathToWide(file) + L"': " +
                       stdErrorMessage(error);
            }
            ::close(folder);
            errno = error;
            return 2;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            ::close(folder);
            return 1;
        }
        // The instance that held the lock may have removed the file just
        // before letting go: a lock on a removed file guards nothing.
        struct stat held, named;
        if (::fstat(fd, &held) == 0 && ::fstatat(folder, file.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            if (heldLocks().empty()) std::atexit(removeLockFiles);
            auto* lock = new HeldLock{folder, fd, file};
            heldLocks().push_back(lock);
            *guard = lock;
            return 0;   // fd stays open: the lock lasts until released
        }
        ::close(fd);
    }
    ::close(folder);
    if (why) *why = L"the lock file '" + utf8::pathToWide(file) + L"' keeps being replaced";
    return 2;
}

void releaseGuard(GuardHandle guard) {
    auto* lock = static_cast<HeldLock*>(guard);
    if (!lock) return;
    std::vector<HeldLock*>& locks = heldLocks();
    for (std::size_t i = 0; i < locks.size(); ++i) {
        if (locks[i] == lock) {
            locks.erase(locks.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    // Removed while still held: the next holder makes a new file.
    ::unlinkat(lock->folder, lock->file.c_str(), 0);
    ::close(lock->fd);
    ::close(lock->folder);
    delete lock;
}

int createNamedMutex(const std::wstring& name, std::wstring* why) {
    GuardHandle guard = nullptr;
    return takeGuard(name, &guard, why);   // held until the process ends
}

}  // namespace plat
