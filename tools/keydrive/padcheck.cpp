#include "tools/keydrive/padcheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "tools/keydrive/text.h"

namespace keydrive {

namespace {

// The size of the file that a stream reads; -1 when unknown.
int64_t streamSize(FILE* f) {
    if (plat::seekFile(f, 0, SEEK_END) != 0) return -1;
    return plat::tellFile(f);
}

}  // namespace

std::wstring spanText(const PadDigest& digest, uint64_t span) {
    uint64_t first = 0, last = 0;
    padSpanBlocks(digest, span, &first, &last);
    return format(L"key blocks %llu to %llu", (unsigned long long)first, (unsigned long long)last);
}

int writePadDigestFile(const std::wstring& keyPath, const std::wstring& digestPath, const PadDigest* expected,
                       const ProgressOutput& progress, std::wstring* error) {
    errno = 0;
    FILE* key = plat::openFile(keyPath, L"rb");
    if (key == nullptr) {
        *error = format(L"cannot open '%ls': %ls", keyPath.c_str(), errnoText().c_str());
        return 1;
    }
    std::setvbuf(key, nullptr, _IONBF, 0);
    PadDigest digest;
    const int64_t size = streamSize(key);
    digest.keyBytes = size < 0 ? 0 : uint64_t(size);
    if (expected != nullptr) digest.spanBlocks = expected->spanBlocks;
    if (size < 0 || (expected != nullptr && expected->keyBytes != digest.keyBytes)) {
        std::fclose(key);
        *error = size < 0 ? format(L"cannot read '%ls': %ls", keyPath.c_str(), errnoText().c_str())
                          : format(L"'%ls' holds %llu bytes, but the key it was copied from had %llu when its "
                                   L"digest was made",
                                   keyPath.c_str(), (unsigned long long)digest.keyBytes,
                                   (unsigned long long)expected->keyBytes);
        return 1;
    }
    const uint64_t spans = padSpanCount(digest.keyBytes, digest.spanBlocks);
    digest.spans.reserve(size_t(spans * kPadDigestSize));
    uint64_t mismatches = 0, firstMismatch = 0;
    ProgressLine line(progress, L"digesting the key", spans);
    const int failed = digestPadSpans(key, digest.keyBytes, digest.spanBlocks, 0, spans,
                                      [&](uint64_t span, const uint8_t* d) {
                                          line.update(span + 1);
                                          if (expected != nullptr &&
                                              std::memcmp(d, expected->span(span), kPadDigestSize) != 0 &&
                                              mismatches++ == 0)
                                              firstMismatch = span;
                                          digest.spans.insert(digest.spans.end(), d, d + kPadDigestSize);
                                          return true;
                                      });
    const std::wstring readError = errnoText();
    std::fclose(key);
    if (failed) {
        *error = format(L"cannot read '%ls': %ls", keyPath.c_str(), readError.c_str());
        return 1;
    }
    line.finish();
    if (mismatches > 0) {
        *error = format(L"the key in '%ls' does not match the digest that its source keeps of it, in %ls%ls: the "
                        L"source's key file has decayed, or the copy was not written as it was read",
                        keyPath.c_str(), spanText(digest, firstMismatch).c_str(),
                        mismatches > 1 ? format(L" and %llu more ranges", (unsigned long long)(mismatches - 1)).c_str()
                                       : L"");
        return 1;
    }
    const std::vector<uint8_t> bytes = encodePadDigest(digest);
    errno = 0;
    FILE* out = plat::createNewFile(digestPath);
    if (out == nullptr) {
        *error = format(L"cannot create '%ls': %ls", digestPath.c_str(), errnoText().c_str());
        return 1;
    }
    errno = 0;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size() && plat::commitFile(out) == 0;
    std::wstring reason = errnoText();
    if (std::fclose(out) != 0 && written) {
        written = false;
        reason = errnoText();
    }
    if (!written) {
        *error = format(L"cannot write '%ls': %ls", digestPath.c_str(), reason.c_str());
        return 1;
    }
    return 0;
}

int checkPadDigest(const std::wstring& folder, const ProgressOutput& progress, std::wstring* report) {
    const std::wstring settings = join(folder, L"SETTINGS");
    const std::wstring keyPath = join(settings, L"KEY.DAT");
    const std::wstring digestPath = join(settings, L"KEYSUM.DAT");
    PadDigest digest;
    std::wstring why;
    const int read = readPadDigest(digestPath, &digest, &why);
    if (read == 1) {
        *report += L"The drive keeps no digest of its key file (it was made by an older velkin-keydrive), so "
                   L"decay of the key file cannot be found.\n";
        return 0;
    }
    if (read != 0) {
        *report += L"PROBLEM: the digest of the key file cannot be used: " + why + L"\n";
        return 1;
    }
    errno = 0;
    FILE* key = plat::openFile(keyPath, L"rb");
    if (key == nullptr) return 0;   // the key file's own check says why
    std::setvbuf(key, nullptr, _IONBF, 0);
    const int64_t size = streamSize(key);
    if (size < 0 || uint64_t(size) != digest.keyBytes) {
        std::fclose(key);
        *report += format(L"PROBLEM: the key file holds %lld bytes, but held %llu when its digest was made: the "
                          L"key drive has lost part of its key or was changed\n",
                          (long long)size, (unsigned long long)digest.keyBytes);
        return 1;
    }
    uint64_t damaged = 0, firstDamaged = 0;
    ProgressLine line(progress, L"checking the key's digest", digest.spanCount());
    const int failed = digestPadSpans(key, digest.keyBytes, digest.spanBlocks, 0, digest.spanCount(),
                                      [&](uint64_t span, const uint8_t* d) {
                                          line.update(span + 1);
                                          if (std::memcmp(d, digest.span(span), kPadDigestSize) != 0 &&
                                              damaged++ == 0)
                                              firstDamaged = span;
                                          return true;
                                      });
    const std::wstring readError = errnoText();
    std::fclose(key);
    if (failed) {
        *report += format(L"PROBLEM: the key file cannot be read to its end for its digest: %ls\n",
                          readError.c_str());
        return 1;
    }
    line.finish();
    if (damaged == 0) {
        *report += format(L"The key file matches the digest made with it (%llu range%ls of up to %u key blocks).\n",
                          (unsigned long long)digest.spanCount(), digest.spanCount() == 1 ? L"" : L"s",
                          digest.spanBlocks);
        return 0;
    }
    *report += format(L"PROBLEM: the key file no longer matches the digest made with it, first in %ls%ls: the "
                      L"key drive is decaying. Files encrypted with those blocks fail their tamper check on this "
                      L"drive; decrypt them with a backup key drive (velkin-keydrive backup) and make a new key "
                      L"drive for new files\n",
                      spanText(digest, firstDamaged).c_str(),
                      damaged > 1 ? format(L" (%llu ranges in all)", (unsigned long long)damaged).c_str() : L"");
    return 1;
}

}  // namespace keydrive
