// The digest of the pad, kept beside it in SETTINGS/KEYSUM.DAT, finds decay
// of the key drive: a stick whose cells lose their charge changes key
// blocks, and every file encrypted with a changed block then fails its
// tamper check although the file itself is intact.
//
// The pad is digested in spans of kPadSpanBlocks key blocks (4 MiB), each
// with the product's Whirlpool file digest (unkeyed), so that a damaged
// place can be named and a decryption can check just the blocks it drew.
// The file (all numbers little-endian):
//
//   0   8 bytes   "VKPADSUM"
//   8   4 bytes   format version, 1
//   12  4 bytes   key blocks per span
//   16  8 bytes   the key file's size in bytes when the digest was made
//   24  64 bytes per span, span 0 first: the digest of its whole key blocks
//       (the last span may be shorter; bytes past the last whole block of
//       the key file are never used and are not digested)
//   end 64 bytes: the digest of everything before it
//
// The key drive tool writes it when it makes, splits or backs up a drive;
// the program only reads it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

constexpr uint32_t kPadSpanBlocks = 4096;
constexpr std::size_t kPadDigestSize = 64;

struct PadDigest {
    uint32_t spanBlocks = kPadSpanBlocks;
    uint64_t keyBytes = 0;
    std::vector<uint8_t> spans;   // kPadDigestSize bytes per span

    uint64_t spanCount() const { return spans.size() / kPadDigestSize; }
    const uint8_t* span(uint64_t index) const { return spans.data() + index * kPadDigestSize; }
};

// The spans that a key file of keyBytes bytes has.
uint64_t padSpanCount(uint64_t keyBytes, uint32_t spanBlocks = kPadSpanBlocks);
// The first and last key block of a span (the last is cut at the key's last
// whole block).
void padSpanBlocks(const PadDigest& digest, uint64_t span, uint64_t* first, uint64_t* last);

// Digests spans [firstSpan, endSpan) of the key file read from `key` (a
// stream of the file of digest.keyBytes bytes, read in pieces through a
// buffer that is wiped) and hands each to `each`, which returns false to
// stop. 0 on success; 1 when the file cannot be read (errno set).
int digestPadSpans(FILE* key, uint64_t keyBytes, uint32_t spanBlocks, uint64_t firstSpan, uint64_t endSpan,
                   const std::function<bool(uint64_t span, const uint8_t* digest)>& each);

// The file's bytes for a digest.
std::vector<uint8_t> encodePadDigest(const PadDigest& digest);
// Reads and checks a digest file: 0 with *digest; 1 when there is none
// (*why says so); 2 when it is damaged or not a digest file (*why says
// what is wrong).
int readPadDigest(const std::wstring& path, PadDigest* digest, std::wstring* why);

// After a decryption failed its tamper check: checks the spans that hold
// the `count` key blocks drawn from `firstBlock` on (wrapping from the last
// block to block 1, as drawing does) against SETTINGS/KEYSUM.DAT. When they
// no longer match, the fault lies on the key drive and not in the file: the
// failure's text (lastErrorText) gets a warning that says so and what to
// do, which is also logged. Nothing happens when the drive keeps no digest
// or the blocks match it.
void notePadDecay(uint32_t firstBlock, uint64_t count);
