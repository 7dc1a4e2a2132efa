#include "diag/sizetext.h"

#include <cwchar>

std::wstring sizeText(uint64_t bytes, bool roundUp) {
    wchar_t text[64];
    if (bytes < 1024) {
        std::swprintf(text, 64, L"%llu byte%ls", static_cast<unsigned long long>(bytes),
                      bytes == 1 ? L"" : L"s");
        return text;
    }
    static const wchar_t* const kUnits[] = {L"KB", L"MB", L"GB", L"TB"};
    constexpr int kUnitCount = 4;
    int unit = 0;
    uint64_t unitBytes = 1024;
    while (unit + 1 < kUnitCount && bytes / unitBytes >= 1024) {
        unitBytes *= 1024;
        ++unit;
    }
    // Tenths of the unit, in whole numbers so that an exact amount stays exact.
    auto tenthsOf = [bytes, roundUp](uint64_t per) {
        const uint64_t rest = bytes % per * 10;
        uint64_t tenths = bytes / per * 10 + rest / per;
        if (roundUp && rest % per != 0) ++tenths;
        return tenths;
    };
    uint64_t tenths = tenthsOf(unitBytes);
    // 1023.96 KB rounded up is 1.0 MB, not 1024.0 KB.
    if (tenths >= 10240 && unit + 1 < kUnitCount) {
        unitBytes *= 1024;
        ++unit;
        tenths = tenthsOf(unitBytes);
    }
    std::swprintf(text, 64, L"%llu.%u %ls", static_cast<unsigned long long>(tenths / 10),
                  static_cast<unsigned>(tenths % 10), kUnits[unit]);
    return text;
}
