// Layout of an encrypted file, shared by the writer (encrypt) and the reader
// (decrypt).
//
//   offset 0            1024 bytes  stored header (plain header XOR header key block)
//   offset 1024         1024 * m    body: m chunks, each XORed with its own key block
//   offset 1024*(m+1)   t bytes     tail: raw key material, t = 0 ... 1023
//
// Key blocks of one file, in drawing order: header key block, digest key
// block, one per chunk, the tail-length block and (when t > 0) the tail block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace codec {

constexpr std::size_t kBlockSize = 1024;          // key block, chunk and header size
constexpr uint32_t kFormatVersion = 2;

// Plain header fields (all integers little-endian).
constexpr std::size_t kVersionOffset = 0;         // uint32
constexpr std::size_t kKeyIdOffset = 4;           // 260 bytes, zero in the plain header
constexpr std::size_t kKeyIdSize = 260;
constexpr std::size_t kPlainLengthOffset = 264;   // uint64
constexpr std::size_t kBaseNameOffset = 272;      // UTF-16LE, zero-terminated
constexpr std::size_t kBaseNameUnits = 256;       // field size in code units, terminator included
constexpr std::size_t kDigestOffset = 784;        // 64 bytes
constexpr std::size_t kDigestSize = 64;

// An archive carries a stored header this many bytes from its start.
constexpr std::size_t kArchiveHeaderOffset = 512;
// The tail-length block's first word AND this mask gives the tail length.
constexpr uint32_t kTailMask = 0x3FF;

// Result path buffers handed back to the callers.
constexpr std::size_t kEncryptResultSize = 512;
constexpr std::size_t kDecryptResultSize = 256;

// Suffix of the default encrypted name.
constexpr const wchar_t* kEncryptedSuffix = L" (encrypted)";

inline uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void putU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint64_t getU64(const uint8_t* p) {
    return static_cast<uint64_t>(getU32(p)) | static_cast<uint64_t>(getU32(p + 4)) << 32;
}

inline void putU64(uint8_t* p, uint64_t v) {
    putU32(p, static_cast<uint32_t>(v));
    putU32(p + 4, static_cast<uint32_t>(v >> 32));
}

inline void xorBlock(uint8_t* data, const uint8_t* key, std::size_t length = kBlockSize) {
    for (std::size_t i = 0; i < length; ++i) data[i] ^= key[i];
}

// Number of 1024-byte chunks of a plaintext of n bytes.
inline uint64_t chunkCount(uint64_t n) { return (n >> 10) + ((n & 1023) != 0 ? 1 : 0); }

// Key blocks an encryption of a plaintext of n bytes reserves: the header
// and digest key blocks, one per chunk, the tail-length and tail blocks.
inline uint64_t reservationFor(uint64_t n) { return chunkCount(n) + 4; }

// Size of the encrypted file of a plaintext of n bytes with the longest tail.
inline uint64_t largestEncryptedSize(uint64_t n) {
    return kBlockSize * (chunkCount(n) + 1) + (kBlockSize - 1);
}

// The base name that is stored: the part after the last separator of this
// build (plat::kSeparators), or the whole path when it has none. So it ends
// where the folder part of directoryOf ends: a folder dropped as Z:/data/work
// gives Z:/data/work\a.txt, whose base name is a.txt.
std::wstring baseNameOf(const std::wstring& path);

// Writes name as UTF-16LE with its terminator into the 512-byte field at
// header + kBaseNameOffset. False when it needs more than 255 code units or
// holds a value that is no Unicode character; the header is then unchanged.
bool storeBaseName(const std::wstring& name, uint8_t* header);

// Reads the stored base name from a decoded header. The name comes from the
// file and is untrusted: nullptr when it is safe to use as a file name in the
// output folder, otherwise the reason why it is refused ("is empty", ...).
// *name is set in both cases (as far as it could be read).
const wchar_t* loadBaseName(const uint8_t* header, std::wstring* name);

// Sees every fraction that encryption and decryption hand to the progress
// window (tests only; null otherwise).
extern void (*progressObserverForTest)(double fraction);

// progressUpdate, and the observer when one is set.
void reportProgress(double fraction);

}  // namespace codec
