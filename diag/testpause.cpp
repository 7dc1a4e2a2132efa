// The pause of end-to-end tests (see testpause.h).
#include "diag/testpause.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "platform/platform.h"

namespace {

constexpr uint32_t kLongestWaitMs = 60000;
constexpr uint32_t kPollMs = 20;

// The time the point pauses at ("point" the first, "point@n" the n-th time
// it is reached); 0 when it is not listed.
int listedTime(const std::wstring& list, const std::wstring& point) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(L',', start);
        if (end == std::wstring::npos) end = list.size();
        const std::wstring item = list.substr(start, end - start);
        const std::size_t at = item.find(L'@');
        if (item.compare(0, at, point) == 0 && (at == std::wstring::npos ? item.size() : at) == point.size())
            return at == std::wstring::npos ? 1 : std::max(1, std::stoi(item.substr(at + 1)));
        start = end + 1;
    }
    return 0;
}

}  // namespace

void testPause(const wchar_t* point) {
    static std::map<std::wstring, int> reached;
    std::wstring folder, points;
    if (!plat::getEnv(L"VELKIN_TEST_PAUSE_DIR", &folder) || folder.empty() ||
        !plat::getEnv(L"VELKIN_TEST_PAUSE_AT", &points))
        return;
    int time = 0;
    try {
        time = listedTime(points, point);
    } catch (...) {
        return;   // not a number after '@': no pause
    }
    if (time == 0 || ++reached[point] != time) return;
    if (folder.back() != plat::kSep && folder.back() != L'/') folder += plat::kSep;
    if (FILE* file = plat::createNewFile(folder + point + L".reached")) std::fclose(file);
    const std::wstring go = folder + point + L".go";
    for (uint32_t waited = 0; waited < kLongestWaitMs && !plat::fileInfo(go, nullptr); waited += kPollMs)
        plat::sleepMs(kPollMs);
}
