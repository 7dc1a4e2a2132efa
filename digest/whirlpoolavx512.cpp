// The Whirlpool compression function with AVX-512 (F, BW, VBMI) and GFNI.
//
// The whole 8x8 byte state sits in one 512-bit register, row i in 64-bit
// lane i with column j in byte j (the message block's own byte order), so a
// round is a handful of instructions with no table lookups in memory:
//   - the cyclic shift of the columns is one byte permute (vpermb);
//   - the S-box is two 128-entry byte permutes (vpermi2b) and a blend on the
//     index's top bit;
//   - the diffusion row * C is a sum of the row rotated by 0..7 bytes, each
//     term multiplied by its coefficient of C; multiplication by a constant
//     of GF(2^8) is a linear map of bits, i.e. one affine instruction.
//     Some rotations are 64-bit rotates and some byte shuffles: the two
//     kinds use different execution units, and the mix runs about 10% faster
//     than either kind alone.
// Only this file's functions are compiled for these instructions (a
// per-function target), and they only run after digestpath has checked the
// processor.

#include "digest/whirlpoolcompress.h"

#if defined(__x86_64__) && defined(__GNUC__)

// GCC 12 warns about the deliberately undefined pass-through operand inside
// its own AVX-512 intrinsics; the warning is about the header, not this code.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "digest/whirlpooltables.h"

namespace whirlpool_detail {

namespace {

struct VectorConstants {
    alignas(64) uint8_t columnShift[64];    // byte permute for the column shift
    alignas(64) uint8_t byteSwap[64];       // reverses the bytes of each 64-bit lane
    alignas(64) uint8_t rotate1[64];        // rotate each lane by 1, 5, 6 bytes
    alignas(64) uint8_t rotate5[64];        // (towards higher columns)
    alignas(64) uint8_t rotate6[64];
    alignas(64) uint8_t roundKeyRow[kRounds][64];   // round constants, row 0 only
};

constexpr VectorConstants makeVectorConstants() {
    VectorConstants c = {};
    for (int row = 0; row < 8; ++row)
        for (int column = 0; column < 8; ++column) {
            // Column j moves down j rows: row i takes it from row i - j.
            c.columnShift[8 * row + column] = static_cast<uint8_t>(8 * ((row - column) & 7) + column);
            // vpshufb indexes within each 128-bit lane, which holds two rows.
            const int rowStart = 8 * (row & 1);
            c.byteSwap[8 * row + column] = static_cast<uint8_t>(rowStart + 7 - column);
            c.rotate1[8 * row + column] = static_cast<uint8_t>(rowStart + ((column - 1) & 7));
            c.rotate5[8 * row + column] = static_cast<uint8_t>(rowStart + ((column - 5) & 7));
            c.rotate6[8 * row + column] = static_cast<uint8_t>(rowStart + ((column - 6) & 7));
        }
    for (int round = 0; round < kRounds; ++round)
        for (int column = 0; column < 8; ++column)
            c.roundKeyRow[round][column] = kSBox.value[8 * round + column];
    return c;
}

constexpr VectorConstants kVector = makeVectorConstants();
constexpr uint64_t kTimes2 = gfMultiplyMatrix(2);
constexpr uint64_t kTimes4 = gfMultiplyMatrix(4);
constexpr uint64_t kTimes8 = gfMultiplyMatrix(8);

}  // namespace

// Every function that uses the vector instructions carries this target, so
// the rest of the program never does (GCC and clang alike).
#define VECTOR_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi,gfni")))

namespace {

struct RoundTools {
    __m512i columnShift;
    __m512i sbox0, sbox1, sbox2, sbox3;   // S-box entries 0-63, 64-127, 128-191, 192-255
    __m512i times2, times4, times8;
    __m512i rotate1, rotate5, rotate6;
};

VECTOR_TARGET __attribute__((always_inline)) inline __m512i xor3(__m512i a, __m512i b, __m512i c) {
    return _mm512_ternarylogic_epi64(a, b, c, 0x96);
}

// Substitution, column shift, diffusion and the key.
VECTOR_TARGET __attribute__((always_inline)) inline __m512i roundFunction(__m512i state, __m512i key, const RoundTools& t) {
    const __m512i shifted = _mm512_permutexvar_epi8(t.columnShift, state);
    const __m512i low = _mm512_permutex2var_epi8(t.sbox0, shifted, t.sbox1);
    const __m512i high = _mm512_permutex2var_epi8(t.sbox2, shifted, t.sbox3);
    const __m512i s = _mm512_mask_blend_epi8(_mm512_movepi8_mask(shifted), low, high);

    // Column j of the result is the sum over d of C[d] * column j - d, with
    // C = (1, 1, 4, 1, 8, 5, 2, 9); moving column j - d to j is a rotation
    // of each lane by d bytes. 5 = 4 + 1 and 9 = 8 + 1.
    const __m512i r1 = _mm512_shuffle_epi8(s, t.rotate1);
    const __m512i r2 = _mm512_rol_epi64(s, 16);
    const __m512i r3 = _mm512_rol_epi64(s, 24);
    const __m512i r4 = _mm512_shuffle_epi32(s, _MM_PERM_CDAB);   // swap the halves
    const __m512i r5 = _mm512_shuffle_epi8(s, t.rotate5);
    const __m512i r6 = _mm512_shuffle_epi8(s, t.rotate6);
    const __m512i r7 = _mm512_rol_epi64(s, 56);
    const __m512i times4 = _mm512_gf2p8affine_epi64_epi8(_mm512_xor_si512(r2, r5), t.times4, 0);
    const __m512i times8 = _mm512_gf2p8affine_epi64_epi8(_mm512_xor_si512(r4, r7), t.times8, 0);
    const __m512i times2 = _mm512_gf2p8affine_epi64_epi8(r6, t.times2, 0);
    const __m512i ones = xor3(xor3(s, r1, r3), r5, r7);
    return xor3(ones, times4, xor3(times8, times2, key));
}

}  // namespace

VECTOR_TARGET void compressAvx512(uint64_t hash[8], const uint8_t* blocks, std::size_t count) {
    const RoundTools tools = {
        _mm512_load_si512(kVector.columnShift),
        _mm512_loadu_si512(kSBox.value),
        _mm512_loadu_si512(kSBox.value + 64),
        _mm512_loadu_si512(kSBox.value + 128),
        _mm512_loadu_si512(kSBox.value + 192),
        _mm512_set1_epi64(static_cast<long long>(kTimes2)),
        _mm512_set1_epi64(static_cast<long long>(kTimes4)),
        _mm512_set1_epi64(static_cast<long long>(kTimes8)),
        _mm512_load_si512(kVector.rotate1),
        _mm512_load_si512(kVector.rotate5),
        _mm512_load_si512(kVector.rotate6),
    };
    const __m512i byteSwap = _mm512_load_si512(kVector.byteSwap);

    // The chaining words hold column 0 in their top byte; in the register
    // column 0 is the lane's first byte in memory.
    __m512i h = _mm512_shuffle_epi8(_mm512_loadu_si512(hash), byteSwap);
    for (; count > 0; --count, blocks += 64) {
        const __m512i block = _mm512_loadu_si512(blocks);
        __m512i key = h;
        __m512i state = _mm512_xor_si512(block, key);
        for (int round = 0; round < kRounds; ++round) {
            key = roundFunction(key, _mm512_load_si512(kVector.roundKeyRow[round]), tools);
            state = roundFunction(state, key, tools);
        }
        h = xor3(h, state, block);
    }
    _mm512_storeu_si512(hash, _mm512_shuffle_epi8(h, byteSwap));
}

#undef VECTOR_TARGET

}  // namespace whirlpool_detail

#else  // no AVX-512 on this target: digestpath never chooses this path

namespace whirlpool_detail {

void compressAvx512(uint64_t hash[8], const uint8_t* blocks, std::size_t count) {
    compressPortable(hash, blocks, count);
}

}  // namespace whirlpool_detail

#endif
