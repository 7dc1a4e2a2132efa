#include "tools/bkfm/addpaths.h"

#include "tools/bkfm/workspacefile.h"

namespace bkfm {

int addPaths(const std::wstring& archive, const std::vector<std::wstring>& paths, std::wstring* message) {
    int failed = 0;
    std::wstring all;
    for (const std::wstring& path : paths) {
        std::wstring one;
        failed |= addPath(archive, path, &one);
        all += (all.empty() ? L"" : L"\n") + one;
    }
    *message = all;
    return failed;
}

}  // namespace bkfm
