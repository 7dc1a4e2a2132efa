// Files of a small key drive for tests, fuzzing and benchmarks: random
// SETTINGS/KEY.DAT, an INDEX.DAT holding every pad block (home slot = the
// block's bytes 4..7 big-endian modulo 10 N, linear probing) and a
// STATUS.DAT with highWaterMark 1, firstBlock 1 and lastBlock N - 1.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace keydrive {

using Bytes = std::vector<uint8_t>;

inline void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline Bytes randomBytes(std::size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes data(n);
    for (auto& b : data) b = static_cast<uint8_t>(gen());
    return data;
}

// Writes a whole file; false on failure.
inline bool saveFile(const std::filesystem::path& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    out.close();
    return !out.fail();
}

inline Bytes statusRecord(uint32_t highWaterMark, uint32_t firstBlock, uint32_t lastBlock) {
    Bytes status(12);
    putLe32(&status[0], highWaterMark);
    putLe32(&status[4], firstBlock);
    putLe32(&status[8], lastBlock);
    return status;
}

// Builds the three key files under folder/SETTINGS; returns the key file's
// content (the blocks).
inline Bytes build(const std::filesystem::path& folder, uint32_t blocks, uint32_t seed) {
    std::filesystem::create_directories(folder / "SETTINGS");
    Bytes key = randomBytes(std::size_t(blocks) * 1024, seed);
    const uint32_t slots = 10 * blocks;
    std::vector<uint32_t> index(slots, 0);
    for (uint32_t b = 1; b < blocks; ++b) {
        const uint8_t* p = &key[std::size_t(b) * 1024 + 4];
        uint32_t home = (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]) % slots;
        while (index[home] != 0) home = (home + 1) % slots;
        index[home] = b;
    }
    Bytes indexBytes(std::size_t(slots) * 4);
    for (uint32_t s = 0; s < slots; ++s) putLe32(&indexBytes[std::size_t(s) * 4], index[s]);
    saveFile(folder / "SETTINGS" / "KEY.DAT", key);
    saveFile(folder / "SETTINGS" / "INDEX.DAT", indexBytes);
    saveFile(folder / "SETTINGS" / "STATUS.DAT", statusRecord(1, 1, blocks - 1));
    return key;
}

}  // namespace keydrive
