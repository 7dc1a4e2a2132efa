#include "tools/keydrive/filecopy.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/platform.h"
#include "tools/keydrive/text.h"

namespace keydrive {

namespace {
constexpr size_t kCopyChunk = size_t(4) << 20;
}

int copyFileCommitted(const FileCopy& copy, std::wstring* error) {
    auto fail = [error](const wchar_t* what, const std::wstring& path) {
        *error = format(L"%ls '%ls': %ls", what, path.c_str(), errnoText().c_str());
        return 1;
    };
    errno = 0;
    FILE* in = plat::openFile(copy.from, L"rb");
    if (in == nullptr) return fail(L"cannot open", copy.from);
    int64_t total = -1;
    if (plat::seekFile(in, 0, SEEK_END) == 0) total = plat::tellFile(in);
    if (total < 0 || plat::seekFile(in, 0, SEEK_SET) != 0) {
        int failed = fail(L"cannot read", copy.from);
        std::fclose(in);
        return failed;
    }
    errno = 0;
    FILE* out = plat::openFile(copy.to, L"wb");
    if (out == nullptr) {
        int failed = fail(L"cannot create", copy.to);
        std::fclose(in);
        return failed;
    }
    ProgressOutput shown = copy.progress;
    shown.enabled = shown.enabled && !copy.label.empty();
    ProgressLine line(shown, copy.label, uint64_t(total));
    std::vector<uint8_t> buffer(kCopyChunk);
    uint64_t done = 0;
    int failed = 0;
    for (;;) {
        errno = 0;
        size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
        if (got == 0) {
            if (std::ferror(in)) failed = fail(L"cannot read", copy.from);
            break;
        }
        if (copy.onBytes) copy.onBytes(buffer.data(), got);
        errno = 0;
        if (std::fwrite(buffer.data(), 1, got, out) != got) {
            failed = fail(L"cannot write", copy.to);
            break;
        }
        done += got;
        line.update(done);
    }
    std::fclose(in);
    errno = 0;
    if (!failed && plat::commitFile(out) != 0) failed = fail(L"cannot write", copy.to);
    if (std::fclose(out) != 0 && !failed) failed = fail(L"cannot write", copy.to);
    if (!failed && done != uint64_t(total)) {
        *error = format(L"'%ls' changed while it was copied", copy.from.c_str());
        failed = 1;
    }
    if (!failed) line.finish();
    return failed;
}

}  // namespace keydrive
