// Small helpers shared by the benchmarks: a clock, the yardstick copy and
// the removal of a benchmark's key drive.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "codec/pending.h"
#include "key/key.h"
#include "platform/platform.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A copy through 1 MiB pieces, committed to the disk as the program's
// outputs are.
inline bool copyFile(const std::wstring& from, const std::wstring& to) {
    FILE* in = plat::openFile(from, L"rb");
    FILE* out = plat::openFile(to, L"wb");
    if (!in || !out) {
        if (in) std::fclose(in);
        if (out) std::fclose(out);
        return false;
    }
    std::vector<char> buffer(1 << 20);
    bool ok = true;
    for (;;) {
        std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
        if (n == 0) break;
        if (std::fwrite(buffer.data(), 1, n, out) != n) ok = false;
    }
    if (plat::commitFile(out) != 0) ok = false;
    std::fclose(in);
    return std::fclose(out) == 0 && ok;
}

// Removes the key drive a benchmark made in 'drive', after a failure too:
// files this size fill the folder they were given. Windows removes no file
// that is still open, so the pending-work lock and the key store are closed
// first, and the current folder leaves the drive.
inline void removeDrive(const std::filesystem::path& base, const std::filesystem::path& drive) {
    closePending();
    closeKeyStoreForTest();
    plat::setCurrentDir(base.wstring());
    std::error_code ec;
    std::filesystem::remove_all(drive, ec);
}

}  // namespace bench
