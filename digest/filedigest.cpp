// The digest of a file: Whirlpool of an optional 1024-byte key block
// followed by the file's bytes, read in 4096-byte pieces under a "Scanning"
// progress phase.

#include "digest/filedigest.h"

#include <cstdio>

#include "diag/error.h"
#include "digest/digestpath.h"
#include "digest/whirlpool.h"
#include "key/wipe.h"
#include "platform/platform.h"
#include "ui/progress.h"

namespace {

constexpr uint32_t kKeyBlockBits = 1024 * 8;
constexpr std::size_t kReadSize = 4096;

}  // namespace

int digestFile(const wchar_t* path, const uint8_t* keyBlock, uint8_t output[64]) {
    // A digest path forced through the environment that this processor
    // cannot run fails the digest before anything else happens.
    if (checkDigestPath() != 0) return 1;

    FILE* file = plat::openFile(path, L"rb");
    if (file == nullptr) {
        reportError(L"cannot open file '%ls': %ls", path, stdErrorText());
        return 1;
    }
    // Unbuffered: the reads below fill a buffer of their own, which is
    // wiped, and the stream keeps no copy of the file's bytes.
    std::setvbuf(file, nullptr, _IONBF, 0);

    // The size only scales the progress bar; the file is read to its end
    // whatever it says.
    int64_t size = 0;
    if (plat::seekFile(file, 0, SEEK_END) == 0) size = plat::tellFile(file);
    plat::seekFile(file, 0, SEEK_SET);

    progressBegin(L"Scanning file\n%ls", path, L"Scanning");

    WhirlpoolState state;
    whirlpoolInit(&state);
    if (keyBlock != nullptr) whirlpoolAdd(&state, keyBlock, kKeyBlockBits);

    // Each piece is added on its own, so the length counter follows the
    // pieces (see whirlpoolAdd); the progress fraction lags one read behind.
    // The count of bytes done is 64-bit so that files of 4 GiB and more do
    // not make the bar jump back.
    uint8_t buffer[kReadSize];
    uint64_t done = 0;
    for (;;) {
        const std::size_t count = std::fread(buffer, 1, kReadSize, file);
        if (count == 0) {
            if (std::feof(file)) break;
            reportError(L"error reading file '%ls': %ls", path, stdErrorText());
            std::fclose(file);
            wipeSecret(buffer, sizeof buffer);
            wipeSecret(&state, sizeof state);
            progressEnd();
            return 1;
        }
        whirlpoolAdd(&state, buffer, static_cast<uint32_t>(count * 8));
        double fraction = size > 0 ? static_cast<double>(done) / static_cast<double>(size) : 1.0;
        if (fraction > 1.0) fraction = 1.0;   // the file grew while it was read
        progressUpdate(fraction);
        done += kReadSize;
        if (std::feof(file)) break;
    }

    std::fclose(file);
    wipeSecret(buffer, sizeof buffer);
    whirlpoolFinish(&state, output);
    wipeSecret(&state, sizeof state);
    progressEnd();
    return 0;
}
