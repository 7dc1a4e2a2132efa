// Small helpers shared by the benchmarks: a clock and the yardstick copy.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

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

}  // namespace bench
