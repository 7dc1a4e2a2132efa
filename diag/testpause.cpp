// The pause of end-to-end tests (see testpause.h).
#include "diag/testpause.h"

#include <cstdio>
#include <set>
#include <string>

#include "platform/platform.h"

namespace {

constexpr uint32_t kLongestWaitMs = 60000;
constexpr uint32_t kPollMs = 20;

bool pointListed(const std::wstring& list, const std::wstring& point) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(L',', start);
        if (end == std::wstring::npos) end = list.size();
        if (list.compare(start, end - start, point) == 0) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

void testPause(const wchar_t* point) {
    static std::set<std::wstring> passed;
    std::wstring folder, points;
    if (!plat::getEnv(L"VELKIN_TEST_PAUSE_DIR", &folder) || folder.empty() ||
        !plat::getEnv(L"VELKIN_TEST_PAUSE_AT", &points) || !pointListed(points, point) ||
        !passed.insert(point).second)
        return;
    if (folder.back() != plat::kSep && folder.back() != L'/') folder += plat::kSep;
    if (FILE* reached = plat::createNewFile(folder + point + L".reached")) std::fclose(reached);
    const std::wstring go = folder + point + L".go";
    for (uint32_t waited = 0; waited < kLongestWaitMs && !plat::fileInfo(go, nullptr); waited += kPollMs)
        plat::sleepMs(kPollMs);
}
