// The digest of a file, optionally keyed with a 1024-byte key block that is
// hashed before the file's bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/whirlpool.h"

// 0 with the digest in output; 1 after reporting. Shows a "Scanning" phase.
// Fails, before opening the file, when VELKIN_DIGEST_PATH asks for a
// compression path that this processor cannot run (see digestpath.h).
int digestFile(const wchar_t* path, const uint8_t* keyBlock, uint8_t output[64]);

// The digest digestFile gives, fed from memory: the key block (or none),
// then the bytes in runs of any length. The bytes reach Whirlpool in pieces
// of 4096, as digestFile adds a file's bytes, so the length counter (whose
// rule depends on the pieces) ends as it does there: the same bytes give
// the same digest however the runs split them. Its copies of the bytes are
// wiped by finish and by the destructor.
class FileDigestStream {
public:
    static constexpr std::size_t kPieceSize = 4096;

    FileDigestStream() = default;
    FileDigestStream(const FileDigestStream&) = delete;
    FileDigestStream& operator=(const FileDigestStream&) = delete;
    ~FileDigestStream() { wipe(); }

    void begin(const uint8_t* keyBlock);
    void add(const uint8_t* data, std::size_t length);
    // Writes the digest; begin again before the next one.
    void finish(uint8_t output[64]);
    void wipe();

private:
    WhirlpoolState state_;
    uint8_t piece_[kPieceSize];
    std::size_t pieceFill_ = 0;
};
