// Whirlpool's constants, derived at compile time from the cipher's
// definition rather than typed in:
//
//  - the S-box, built from the 4-bit mini-boxes E, E^-1 and R;
//  - the eight lookup tables: entry x of table t is the row S[x] * C of the
//    circulant diffusion matrix C = cir(01, 01, 04, 01, 08, 05, 02, 09) over
//    GF(2^8) with the reduction polynomial x^8 + x^4 + x^3 + x^2 + 1, rotated
//    right by t bytes;
//  - the round constants: round r uses S-box entries 8(r-1) ... 8(r-1)+7 as
//    the first row of its key, the other rows zero.
//
// Words hold a row of the 8x8 byte state with column 0 in the most
// significant byte, as the digest is written.
#pragma once

#include <cstdint>

namespace whirlpool_detail {

constexpr int kRounds = 10;

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x^2 + 1 (0x11D).
constexpr uint8_t gfMul(uint8_t a, uint8_t b) {
    unsigned product = 0;
    unsigned x = a;
    for (int bit = 0; bit < 8; ++bit) {
        if (b & (1u << bit)) product ^= x;
        x <<= 1;
        if (x & 0x100) x ^= 0x11D;
    }
    return static_cast<uint8_t>(product);
}

// The 8x8 bit matrix, in the layout of the GF(2^8) affine instructions
// (GFNI), that multiplies a byte by 'factor': output bit i is the parity of
// the input bits selected by byte 7 - i of the matrix.
constexpr uint64_t gfMultiplyMatrix(uint8_t factor) {
    uint64_t matrix = 0;
    for (int out = 0; out < 8; ++out) {
        uint64_t row = 0;
        for (int in = 0; in < 8; ++in)
            if (gfMul(factor, static_cast<uint8_t>(1u << in)) & (1u << out)) row |= 1u << in;
        matrix |= row << (8 * (7 - out));
    }
    return matrix;
}

// The first row of the diffusion matrix; row i is this row rotated by i.
constexpr uint8_t kDiffusionRow[8] = {0x01, 0x01, 0x04, 0x01, 0x08, 0x05, 0x02, 0x09};

// The 4-bit mini-boxes of the S-box's three-layer structure: E, its inverse
// and R. The vector paths compute the S-box from them with nibble lookups.
struct MiniBoxes {
    uint8_t e[16];
    uint8_t eInverse[16];
    uint8_t r[16];
};

constexpr MiniBoxes makeMiniBoxes() {
    MiniBoxes m = {{0x1, 0xB, 0x9, 0xC, 0xD, 0x6, 0xF, 0x3, 0xE, 0x8, 0x7, 0x4, 0xA, 0x2, 0x5, 0x0},
                   {},
                   {0x7, 0xC, 0xB, 0xD, 0xE, 0x4, 0x9, 0xF, 0x6, 0x3, 0x8, 0xA, 0x2, 0x5, 0x1, 0x0}};
    for (int i = 0; i < 16; ++i) m.eInverse[m.e[i]] = static_cast<uint8_t>(i);
    return m;
}

inline constexpr MiniBoxes kMiniBoxes = makeMiniBoxes();

struct SBox {
    uint8_t value[256];
};

constexpr SBox makeSBox() {
    const MiniBoxes& m = kMiniBoxes;
    SBox box = {};
    for (int x = 0; x < 256; ++x) {
        const uint8_t high = m.e[x >> 4];
        const uint8_t low = m.eInverse[x & 0xF];
        const uint8_t mix = m.r[high ^ low];
        box.value[x] = static_cast<uint8_t>((m.e[high ^ mix] << 4) | m.eInverse[low ^ mix]);
    }
    return box;
}

inline constexpr SBox kSBox = makeSBox();

struct Tables {
    uint64_t table[8][256];
    uint64_t roundConstant[kRounds + 1];   // index 1 ... 10; index 0 unused
};

constexpr uint64_t rotateRight(uint64_t word, int bits) {
    return bits == 0 ? word : (word >> bits) | (word << (64 - bits));
}

constexpr Tables makeTables() {
    Tables t = {};
    for (int x = 0; x < 256; ++x) {
        uint64_t row = 0;
        for (int column = 0; column < 8; ++column)
            row = (row << 8) | gfMul(kSBox.value[x], kDiffusionRow[column]);
        for (int rotation = 0; rotation < 8; ++rotation)
            t.table[rotation][x] = rotateRight(row, 8 * rotation);
    }
    for (int round = 1; round <= kRounds; ++round) {
        uint64_t constant = 0;
        for (int column = 0; column < 8; ++column)
            constant = (constant << 8) | kSBox.value[8 * (round - 1) + column];
        t.roundConstant[round] = constant;
    }
    return t;
}

inline constexpr Tables kTables = makeTables();

static_assert(kTables.table[0][0] == 0x18186018C07830D8ull, "Whirlpool lookup table");
static_assert(kTables.roundConstant[1] == 0x1823C6E887B8014Full, "Whirlpool round constant");

}  // namespace whirlpool_detail
