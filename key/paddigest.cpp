#include "key/paddigest.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "diag/error.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/manufacture.h"
#include "digest/filedigest.h"
#include "drive/layout.h"
#include "key/key.h"
#include "key/keybytes.h"
#include "platform/platform.h"
#include "platform/wipe.h"

namespace {

constexpr char kMagic[8] = {'V', 'K', 'P', 'A', 'D', 'S', 'U', 'M'};
constexpr uint32_t kFormatVersion = 1;
constexpr std::size_t kHeaderSize = 24;
// The key is read in pieces of this size.
constexpr std::size_t kPieceSize = 256 * 1024;

void writeLe64(uint8_t* p, uint64_t v) {
    writeLe32(p, uint32_t(v));
    writeLe32(p + 4, uint32_t(v >> 32));
}

uint64_t readLe64(const uint8_t* p) {
    return uint64_t(readLe32(p)) | uint64_t(readLe32(p + 4)) << 32;
}

// The unkeyed digest of a run of bytes, as the product digests a file.
void digestOf(const uint8_t* data, std::size_t length, uint8_t out[kPadDigestSize]) {
    FileDigestStream stream;
    stream.begin(nullptr);
    stream.add(data, length);
    stream.finish(out);
}

}  // namespace

uint64_t padSpanCount(uint64_t keyBytes, uint32_t spanBlocks) {
    const uint64_t blocks = keyBytes / kKeyBlockSize;
    return spanBlocks == 0 ? 0 : (blocks + spanBlocks - 1) / spanBlocks;
}

void padSpanBlocks(const PadDigest& digest, uint64_t span, uint64_t* first, uint64_t* last) {
    const uint64_t blocks = digest.keyBytes / kKeyBlockSize;
    *first = span * digest.spanBlocks;
    const uint64_t end = *first + digest.spanBlocks < blocks ? *first + digest.spanBlocks : blocks;
    *last = end == 0 ? 0 : end - 1;
}

int digestPadSpans(FILE* key, uint64_t keyBytes, uint32_t spanBlocks, uint64_t firstSpan, uint64_t endSpan,
                   const std::function<bool(uint64_t span, const uint8_t* digest)>& each) {
    const uint64_t blocks = keyBytes / kKeyBlockSize;
    std::vector<uint8_t> piece(kPieceSize);
    uint8_t digest[kPadDigestSize];
    FileDigestStream stream;
    int failed = 0;
    for (uint64_t span = firstSpan; span < endSpan && !failed; ++span) {
        const uint64_t from = span * spanBlocks * kKeyBlockSize;
        const uint64_t to = (span + 1) * spanBlocks < blocks ? (span + 1) * spanBlocks * kKeyBlockSize
                                                             : blocks * kKeyBlockSize;
        errno = 0;
        if (from >= to || plat::seekFile(key, int64_t(from), SEEK_SET) != 0) {
            failed = 1;
            break;
        }
        stream.begin(nullptr);
        for (uint64_t at = from; at < to;) {
            const std::size_t want = to - at < piece.size() ? std::size_t(to - at) : piece.size();
            if (std::fread(piece.data(), 1, want, key) != want) {
                if (errno == 0) errno = EIO;   // a file shorter than its size said
                failed = 1;
                break;
            }
            stream.add(piece.data(), want);
            at += want;
        }
        if (failed) break;
        stream.finish(digest);
        if (!each(span, digest)) break;
    }
    stream.wipe();
    wipeSecret(piece.data(), piece.size());
    return failed;
}

std::vector<uint8_t> encodePadDigest(const PadDigest& digest) {
    const std::size_t covered = kHeaderSize + digest.spans.size();
    std::vector<uint8_t> bytes(covered + kPadDigestSize);
    std::memcpy(bytes.data(), kMagic, sizeof kMagic);
    writeLe32(bytes.data() + 8, kFormatVersion);
    writeLe32(bytes.data() + 12, digest.spanBlocks);
    writeLe64(bytes.data() + 16, digest.keyBytes);
    if (!digest.spans.empty()) std::memcpy(bytes.data() + kHeaderSize, digest.spans.data(), digest.spans.size());
    digestOf(bytes.data(), covered, bytes.data() + covered);
    return bytes;
}

int readPadDigest(const std::wstring& path, PadDigest* digest, std::wstring* why) {
    errno = 0;
    FILE* f = plat::openFile(path, L"rb");
    if (f == nullptr) {
        const bool missing = errno == ENOENT;
        *why = missing ? formatWide(L"'%ls' does not exist", path.c_str())
                       : formatWide(L"cannot open '%ls': %ls", path.c_str(), stdErrorText());
        return missing ? 1 : 2;
    }
    uint8_t header[kHeaderSize];
    int64_t size = -1;
    if (plat::seekFile(f, 0, SEEK_END) == 0) size = plat::tellFile(f);
    const bool headerRead = size >= int64_t(kHeaderSize) && plat::seekFile(f, 0, SEEK_SET) == 0 &&
                            std::fread(header, 1, kHeaderSize, f) == kHeaderSize;
    if (!headerRead || std::memcmp(header, kMagic, sizeof kMagic) != 0 ||
        readLe32(header + 8) != kFormatVersion || readLe32(header + 12) == 0) {
        std::fclose(f);
        *why = formatWide(L"'%ls' is not a digest of a key file that this program knows", path.c_str());
        return 2;
    }
    PadDigest read;
    read.spanBlocks = readLe32(header + 12);
    read.keyBytes = readLe64(header + 16);
    const uint64_t spans = padSpanCount(read.keyBytes, read.spanBlocks);
    const uint64_t expected = kHeaderSize + (spans + 1) * kPadDigestSize;
    if (uint64_t(size) != expected) {
        std::fclose(f);
        *why = formatWide(L"'%ls' holds %lld bytes where the digest of a key file of %llu bytes has %llu",
                          path.c_str(), static_cast<long long>(size),
                          static_cast<unsigned long long>(read.keyBytes), static_cast<unsigned long long>(expected));
        return 2;
    }
    std::vector<uint8_t> rest(std::size_t(expected - kHeaderSize));
    const bool restRead = std::fread(rest.data(), 1, rest.size(), f) == rest.size();
    std::fclose(f);
    if (!restRead) {
        *why = formatWide(L"cannot read '%ls'", path.c_str());
        return 2;
    }
    // The file's own digest covers its header and every span's digest.
    std::vector<uint8_t> covered(header, header + kHeaderSize);
    covered.insert(covered.end(), rest.begin(), rest.end() - kPadDigestSize);
    uint8_t whole[kPadDigestSize];
    digestOf(covered.data(), covered.size(), whole);
    if (std::memcmp(whole, rest.data() + rest.size() - kPadDigestSize, kPadDigestSize) != 0) {
        *why = formatWide(L"'%ls' is damaged: it does not match its own digest", path.c_str());
        return 2;
    }
    rest.resize(rest.size() - kPadDigestSize);
    read.spans.swap(rest);
    *digest = std::move(read);
    return 0;
}

void notePadDecay(uint32_t firstBlock, uint64_t count) {
    PadDigest digest;
    std::wstring why;
    if (readPadDigest(kPadDigestFileName, &digest, &why) != 0) {
        debugMessage(L"the key file's digest cannot be used: %ls", why.c_str());
        return;
    }
    FILE* key = plat::openFile(kKeyFileName, L"rb");
    if (key == nullptr) return;
    // Unbuffered: the stream keeps no copy of the key blocks.
    std::setvbuf(key, nullptr, _IONBF, 0);
    int64_t size = -1;
    if (plat::seekFile(key, 0, SEEK_END) == 0) size = plat::tellFile(key);
    std::wstring note;
    const wchar_t* const advice =
        L"The file is probably intact: decrypt it with a backup of this key drive (made with "
        L"'velkin-keydrive backup'), and run 'velkin-keydrive check' on this drive";
    if (size >= 0 && uint64_t(size) != digest.keyBytes) {
        note = formatWide(L"The key drive itself is damaged: its key file holds %lld bytes, but held %llu "
                          L"when its digest was made. %ls.",
                          static_cast<long long>(size), static_cast<unsigned long long>(digest.keyBytes), advice);
    } else if (size >= 0) {
        // The spans of the blocks drawn: from firstBlock on, and from block 1
        // on for what wrapped past the last block.
        const uint64_t blocks = digest.keyBytes / kKeyBlockSize;
        const uint64_t spans = digest.spanCount();
        std::vector<bool> wanted(spans, false);
        auto want = [&](uint64_t from, uint64_t n) {
            const uint64_t end = n < blocks - from ? from + n : blocks;
            for (uint64_t span = from / digest.spanBlocks; span * digest.spanBlocks < end; ++span)
                wanted[span] = true;
        };
        if (firstBlock < blocks) {
            const uint64_t beforeWrap = blocks - firstBlock;
            want(firstBlock, count < beforeWrap ? count : beforeWrap);
            if (count > beforeWrap) want(1, count - beforeWrap);
        }
        uint64_t damaged = 0, firstDamaged = 0;
        for (uint64_t span = 0; span < spans; ++span) {
            if (!wanted[span]) continue;
            digestPadSpans(key, digest.keyBytes, digest.spanBlocks, span, span + 1,
                           [&](uint64_t s, const uint8_t* d) {
                               if (std::memcmp(d, digest.span(s), kPadDigestSize) != 0 && damaged++ == 0)
                                   firstDamaged = s;
                               return true;
                           });
        }
        if (damaged > 0) {
            uint64_t from = 0, to = 0;
            padSpanBlocks(digest, firstDamaged, &from, &to);
            note = formatWide(L"The key drive itself is damaged: its key file no longer matches the digest "
                              L"kept with it in key blocks %llu to %llu, which this file was encrypted with. %ls.",
                              static_cast<unsigned long long>(from), static_cast<unsigned long long>(to), advice);
        }
    }
    std::fclose(key);
    if (note.empty()) return;
    logMessage(L"%ls", note.c_str());
    copyCut(lastErrorText, kLastErrorTextSize, std::wstring(lastErrorText) + L"\n\n" + note);
}
