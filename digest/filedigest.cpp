// The digest of a file: Whirlpool of an optional 1024-byte key block
// followed by the file's bytes, added in 4096-byte pieces, under a
// "Scanning" progress phase.

#include "digest/filedigest.h"

#include <cstdio>
#include <cstring>

#include "diag/error.h"
#include "digest/digestpath.h"
#include "platform/platform.h"
#include "platform/wipe.h"
#include "ui/progress.h"

namespace {

constexpr uint32_t kKeyBlockBits = 1024 * 8;
// The file is read in runs of this many bytes (few system calls); its bytes
// are still added in pieces of 4096.
constexpr std::size_t kReadSize = 64 * 1024;

}  // namespace

void FileDigestStream::begin(const uint8_t* keyBlock) {
    whirlpoolInit(&state_);
    pieceFill_ = 0;
    if (keyBlock != nullptr) whirlpoolAdd(&state_, keyBlock, kKeyBlockBits);
}

void FileDigestStream::add(const uint8_t* data, std::size_t length) {
    if (pieceFill_ > 0) {
        const std::size_t take = length < kPieceSize - pieceFill_ ? length : kPieceSize - pieceFill_;
        std::memcpy(piece_ + pieceFill_, data, take);
        pieceFill_ += take;
        data += take;
        length -= take;
        if (pieceFill_ < kPieceSize) return;
        whirlpoolAdd(&state_, piece_, kPieceSize * 8);
        pieceFill_ = 0;
    }
    // Whole pieces straight from where they lie.
    while (length >= kPieceSize) {
        whirlpoolAdd(&state_, data, kPieceSize * 8);
        data += kPieceSize;
        length -= kPieceSize;
    }
    if (length > 0) {
        std::memcpy(piece_, data, length);
        pieceFill_ = length;
    }
}

void FileDigestStream::finish(uint8_t output[64]) {
    if (pieceFill_ > 0) whirlpoolAdd(&state_, piece_, static_cast<uint32_t>(pieceFill_ * 8));
    whirlpoolFinish(&state_, output);
    wipe();
}

void FileDigestStream::wipe() {
    wipeSecret(&state_, sizeof state_);
    wipeSecret(piece_, sizeof piece_);
    pieceFill_ = 0;
}

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

    FileDigestStream digest;
    digest.begin(keyBlock);

    // The progress fraction lags one read behind. The count of bytes done is
    // 64-bit so that files of 4 GiB and more do not make the bar jump back.
    uint8_t buffer[kReadSize];
    uint64_t done = 0;
    int failed = 0;
    for (;;) {
        const std::size_t count = std::fread(buffer, 1, kReadSize, file);
        if (count == 0) {
            if (std::feof(file)) break;
            reportError(L"error reading file '%ls': %ls", path, stdErrorText());
            failed = 1;
            break;
        }
        digest.add(buffer, count);
        double fraction = size > 0 ? static_cast<double>(done) / static_cast<double>(size) : 1.0;
        if (fraction > 1.0) fraction = 1.0;   // the file grew while it was read
        progressUpdate(fraction);
        done += count;
        if (std::feof(file)) break;
    }

    std::fclose(file);
    wipeSecret(buffer, sizeof buffer);
    if (!failed) digest.finish(output);
    progressEnd();
    return failed;
}
