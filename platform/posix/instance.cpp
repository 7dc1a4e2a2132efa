// POSIX backend: the single-instance guard, an exclusive lock on a file named
// after the mutex name.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace plat {

namespace {

std::string lockFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && ::access(runtime, W_OK) == 0) return std::string(runtime);
    std::string folder = "/tmp/velkin-" + std::to_string(::getuid());
    ::mkdir(folder.c_str(), 0700);
    return folder;
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

}  // namespace

int createNamedMutex(const std::wstring& name) {
    // The mutex is an exclusive lock on a file named after the mutex name,
    // held until the process ends.
    std::string file = utf8::pathFromWide(name);
    for (char& c : file) {
        if (c == '/' || c == '\\') c = '_';
    }
    if (file.size() > 200) file = file.substr(0, 160) + "#" + hashHex(file);
    std::string path = lockFolder() + "/" + file + ".lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return 1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return 1;
    }
    return 0;   // fd stays open: the lock lasts for the process's life
}

}  // namespace plat
