#include "tools/keydrive/text.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cwchar>

#include "key/key.h"
#include "platform/platform.h"

namespace keydrive {

std::wstring format(const wchar_t* fmt, ...) {
    wchar_t buffer[2048];
    va_list args;
    va_start(args, fmt);
    int n = std::vswprintf(buffer, sizeof buffer / sizeof buffer[0], fmt, args);
    va_end(args);
    if (n < 0) buffer[sizeof buffer / sizeof buffer[0] - 1] = L'\0';
    return buffer;
}

std::wstring join(const std::wstring& folder, const wchar_t* name) {
    if (!folder.empty() && (folder.back() == L'/' || folder.back() == plat::kSep)) return folder + name;
    return folder + plat::kSep + name;
}

std::wstring errnoText() {
    return plat::stdErrorMessage(errno);
}

std::wstring blocksText(uint64_t blocks) {
    return format(L"%llu block%ls (%llu bytes)", (unsigned long long)blocks, blocks == 1 ? L"" : L"s",
                  (unsigned long long)(blocks * kKeyBlockSize));
}

std::wstring sizeText(uint64_t bytes) {
    if (bytes < 1024) return format(L"%llu bytes", (unsigned long long)bytes);
    const wchar_t* units[] = {L"KiB", L"MiB", L"GiB", L"TiB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return format(L"%.1f %ls", value, units[unit]);
}

}  // namespace keydrive
