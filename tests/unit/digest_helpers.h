// Small helpers shared by the digest tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace digest_test {

// Upper-case hexadecimal, byte 0 first.
inline std::string toHex(const uint8_t* bytes, std::size_t count) {
    std::string hex;
    char two[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        hex += two;
    }
    return hex;
}

inline std::vector<uint8_t> randomBytes(std::size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> data(count);
    for (uint8_t& byte : data) byte = static_cast<uint8_t>(generator());
    return data;
}

}  // namespace digest_test
