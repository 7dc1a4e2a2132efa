// A preloaded shim for benchmarks: makes every flush of a file under one
// folder (the key drive) cost what a USB stick's does, and counts the
// flushes on that folder and elsewhere.
//
//   VELKIN_FLUSH_PREFIX=/path/to/keydrive    the folder whose flushes are slow
//   VELKIN_FLUSH_DELAY_MS=20                 the delay added to each of them
//   VELKIN_FLUSH_LOG=/path/to/counts.txt     at exit, one line is appended:
//       <flushes on the prefix> <flushes elsewhere>
//
//   LD_PRELOAD=build/native/bench/libvelkin_flushdelay.so COMMAND...
//
// Flushes are fsync and fdatasync, of files and of folders. (Writes through
// the C library's streams reach the system inside the library, where a shim
// cannot see them; folder_bench.sh counts them with strace instead.)
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

std::atomic<unsigned long> prefixFlushes{0}, otherFlushes{0};

const std::string& prefix() {
    static const std::string value = [] {
        const char* p = std::getenv("VELKIN_FLUSH_PREFIX");
        std::string s = p ? p : "";
        while (s.size() > 1 && s.back() == '/') s.pop_back();
        return s;
    }();
    return value;
}

long delayMs() {
    static const long value = [] {
        const char* d = std::getenv("VELKIN_FLUSH_DELAY_MS");
        return d ? std::strtol(d, nullptr, 10) : 0L;
    }();
    return value;
}

bool onPrefix(int fd) {
    if (prefix().empty()) return false;
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    const std::string& p = prefix();
    return std::strncmp(target, p.c_str(), p.size()) == 0 &&
           (target[p.size()] == '/' || target[p.size()] == '\0');
}

void flushed(int fd) {
    if (onPrefix(fd)) {
        ++prefixFlushes;
        if (delayMs() > 0) {
            timespec t{delayMs() / 1000, (delayMs() % 1000) * 1000000L};
            while (::nanosleep(&t, &t) != 0) {
            }
        }
    } else {
        ++otherFlushes;
    }
}

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

struct Report {
    ~Report() {
        const char* log = std::getenv("VELKIN_FLUSH_LOG");
        if (!log) return;
        if (FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%lu %lu\n", prefixFlushes.load(), otherFlushes.load());
            std::fclose(f);
        }
    }
} report;

}  // namespace

extern "C" {

int fsync(int fd) {
    static auto next = real<int (*)(int)>("fsync");
    flushed(fd);
    return next(fd);
}

int fdatasync(int fd) {
    static auto next = real<int (*)(int)>("fdatasync");
    flushed(fd);
    return next(fd);
}

}  // extern "C"
