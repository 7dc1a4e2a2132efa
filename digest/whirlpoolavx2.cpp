// The Whirlpool compression function with AVX2, in two forms: one that
// multiplies in GF(2^8) by doubling, and one for processors that also have
// GFNI, which multiplies, and takes each byte's high nibble for the S-box,
// with GFNI's 256-bit affine instruction.
//
// The 8x8 byte state is held by columns in two 256-bit registers: 64-bit
// lane m of 'even' holds column 2m and of 'odd' column 2m + 1, row i in
// byte i. Then:
//   - the cyclic shift of column j down by j rows moves bytes within their
//     lane: one byte shuffle per register;
//   - the S-box is built from its 4-bit mini-boxes E, E^-1 and R, each a
//     16-entry byte shuffle indexed by a nibble;
//   - the diffusion makes column j the sum over d of C[d] * column (j - d),
//     C = (1, 1, 4, 1, 8, 5, 2, 9). Column j - d sits in the same register
//     as column j for even d and in the other one for odd d, rotated by a
//     whole number of lanes; so each output register is a sum of both
//     registers' multiples rotated by 0 to 3 lanes (three lane permutes).
// Only this file's functions are compiled for these instructions (a
// per-function target), and they only run after digestpath has checked the
// processor.

#include "digest/whirlpoolcompress.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#include "digest/whirlpooltables.h"
#include "platform/wipe.h"

// Every function that uses the vector instructions carries this target, so
// the rest of the program never does. The GFNI instruction appears only in
// inline assembly (GfniAffine below): the form without GFNI is compiled for
// AVX2 alone, so the compiler can never place a GFNI instruction in it.
#define AVX2_TARGET __attribute__((target("avx2")))
#define AVX2_INLINE AVX2_TARGET __attribute__((always_inline)) inline

namespace whirlpool_detail {

namespace {

// The doubling without GFNI (see Doubling) is off by 0x1D in every byte,
// and so is the diffusion's sum of its multiples. An S-box whose outputs
// are all off by b moves that sum by (1 + 1 + 4 + 1 + 8 + 5 + 2 + 9) * b
// = 3 * b. With b chosen so that 3 * b = 0x1D, the two offsets cancel and
// every round comes out exact. b is 0x0B: it lies in the low nibble, which
// the S-box's last lookup (E^-1) gives, so that lookup's table carries it.
constexpr uint8_t kDoublingOffset = 0x1D;

constexpr uint8_t offsetCancelling(uint8_t sumOffset) {
    uint8_t rowSum = 0;
    for (uint8_t factor : kDiffusionRow) rowSum ^= factor;
    for (unsigned b = 0; b < 256; ++b)
        if (gfMul(rowSum, static_cast<uint8_t>(b)) == sumOffset) return static_cast<uint8_t>(b);
    return 0;
}

constexpr uint8_t kSBoxOffset = offsetCancelling(kDoublingOffset);
static_assert(kSBoxOffset != 0 && kSBoxOffset < 16, "the S-box's offset must lie in its low nibble");

struct Avx2Constants {
    alignas(32) uint8_t e[32];             // the mini-boxes, in both 128-bit halves
    alignas(32) uint8_t eInverse[32];
    alignas(32) uint8_t eInverseOffset[32];   // E^-1 plus kSBoxOffset, for the last lookup
    alignas(32) uint8_t r[32];
    alignas(32) uint8_t eHigh[32];         // E shifted into the high nibble
    alignas(32) uint8_t shiftEven[32];     // the column shift, per register
    alignas(32) uint8_t shiftOdd[32];
    alignas(32) uint8_t roundKeyEven[kRounds][32];   // round constants (row 0)
    alignas(32) uint8_t roundKeyOdd[kRounds][32];
    alignas(32) uint8_t pairRows[32];      // transposition steps, see loadColumns
    alignas(32) uint8_t joinRows[32];
};

constexpr Avx2Constants makeAvx2Constants() {
    Avx2Constants c = {};
    const MiniBoxes& m = kMiniBoxes;
    for (int i = 0; i < 32; ++i) {
        c.e[i] = m.e[i & 15];
        c.eInverse[i] = m.eInverse[i & 15];
        c.eInverseOffset[i] = static_cast<uint8_t>(m.eInverse[i & 15] ^ kSBoxOffset);
        c.r[i] = m.r[i & 15];
        c.eHigh[i] = static_cast<uint8_t>(m.e[i & 15] << 4);
    }
    for (int lane = 0; lane < 4; ++lane)
        for (int row = 0; row < 8; ++row) {
            // Byte shuffles index within a 128-bit half, which holds two lanes.
            const int start = 8 * (lane & 1);
            // Column j moves down j rows: row i takes it from row i - j.
            c.shiftEven[8 * lane + row] = static_cast<uint8_t>(start + ((row - 2 * lane) & 7));
            c.shiftOdd[8 * lane + row] = static_cast<uint8_t>(start + ((row - 2 * lane - 1) & 7));
        }
    for (int round = 0; round < kRounds; ++round)
        for (int lane = 0; lane < 4; ++lane) {
            c.roundKeyEven[round][8 * lane] = kSBox.value[8 * round + 2 * lane];
            c.roundKeyOdd[round][8 * lane] = kSBox.value[8 * round + 2 * lane + 1];
        }
    for (int half = 0; half < 2; ++half) {
        // A half holding rows a and b (a0 ... a7 b0 ... b7) becomes the pairs
        // (a_j, b_j) of the even columns, then those of the odd columns.
        for (int k = 0; k < 4; ++k) {
            c.pairRows[16 * half + 2 * k] = static_cast<uint8_t>(2 * k);
            c.pairRows[16 * half + 2 * k + 1] = static_cast<uint8_t>(8 + 2 * k);
            c.pairRows[16 * half + 8 + 2 * k] = static_cast<uint8_t>(2 * k + 1);
            c.pairRows[16 * half + 8 + 2 * k + 1] = static_cast<uint8_t>(8 + 2 * k + 1);
        }
        // A half holding two columns x and y as rows (0 1 4 5) of x, of y,
        // then rows (2 3 6 7) of x, of y becomes column x then column y.
        for (int column = 0; column < 2; ++column) {
            const int first = 4 * column, second = 8 + 4 * column;
            const int from[8] = {first, first + 1, second, second + 1,
                                 first + 2, first + 3, second + 2, second + 3};
            for (int row = 0; row < 8; ++row)
                c.joinRows[16 * half + 8 * column + row] = static_cast<uint8_t>(from[row]);
        }
    }
    return c;
}

constexpr Avx2Constants kAvx2 = makeAvx2Constants();

struct Columns {
    __m256i even, odd;
};

AVX2_INLINE __m256i load(const uint8_t* bytes) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(bytes));
}

// 64 bytes of rows (row i at 8i) as columns: pair the rows' bytes, gather
// each column's pairs into one half, then put its rows in order.
AVX2_INLINE Columns loadColumns(const uint8_t* rows) {
    const __m256i pair = load(kAvx2.pairRows);
    const __m256i low = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows)), pair);
    const __m256i high = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows + 32)), pair);
    const __m256i join = load(kAvx2.joinRows);
    return {_mm256_shuffle_epi8(_mm256_permute4x64_epi64(_mm256_unpacklo_epi16(low, high), 0xD8), join),
            _mm256_shuffle_epi8(_mm256_permute4x64_epi64(_mm256_unpackhi_epi16(low, high), 0xD8), join)};
}

AVX2_INLINE Columns xorColumns(Columns a, Columns b) {
    return {_mm256_xor_si256(a.even, b.even), _mm256_xor_si256(a.odd, b.odd)};
}

struct Tools {
    // eInverseLast: the table of the S-box's last lookup, E^-1 or E^-1 plus
    // the offset that cancels the doubling's (see kSBoxOffset).
    __m256i e, eInverse, eInverseLast, r, eHigh, lowNibble, shiftEven, shiftOdd, polynomial;
};

template <class Form>
AVX2_INLINE __m256i substitute(__m256i x, const Tools& t) {
    const __m256i low = _mm256_and_si256(x, t.lowNibble);
    const __m256i high = Form::highNibble(x, t.lowNibble);
    const __m256i u = _mm256_shuffle_epi8(t.e, high);
    const __m256i l = _mm256_shuffle_epi8(t.eInverse, low);
    const __m256i mix = _mm256_shuffle_epi8(t.r, _mm256_xor_si256(u, l));
    return _mm256_or_si256(_mm256_shuffle_epi8(t.eHigh, _mm256_xor_si256(u, mix)),
                           _mm256_shuffle_epi8(t.eInverseLast, _mm256_xor_si256(l, mix)));
}

// 2x, 4x and 8x a register in GF(2^8).
struct Multiples {
    __m256i times2, times4, times8;
};

// Doubling: shift left and add the polynomial where the top bit was set.
// The polynomial is looked up with a byte shuffle of a table that holds
// 0x1D everywhere: the shuffle gives 0 where the index's top bit is set and
// 0x1D where it is clear, that is the reduction plus 0x1D. Each doubling is
// therefore off by kDoublingOffset in every byte; doubling is linear over
// XOR, so 4x and 8x are off by constants too, and the diffusion's sum of
// the multiples is off by kDoublingOffset in every byte of both registers
// (worked out in roundFunction), which the S-box's own offset cancels. The
// shuffle takes the place of the exact form's compare and mask: one
// instruction fewer per doubling, and a shorter chain from 2x to 8x.
struct Doubling {
    static constexpr bool kOffset = true;
    static AVX2_INLINE __m256i highNibble(__m256i x, __m256i lowNibble) {
        return _mm256_and_si256(_mm256_srli_epi16(x, 4), lowNibble);
    }
    static AVX2_INLINE __m256i twice(__m256i x, __m256i polynomial) {
        return _mm256_xor_si256(_mm256_add_epi8(x, x), _mm256_shuffle_epi8(polynomial, x));
    }
    static AVX2_INLINE Multiples of(__m256i x, __m256i polynomial) {
        const __m256i times2 = twice(x, polynomial);
        const __m256i times4 = twice(times2, polynomial);
        return {times2, times4, twice(times4, polynomial)};
    }
};

// The matrix, in gfMultiplyMatrix's layout, that moves a byte's high nibble
// into its low nibble and clears the high one: output bit i (i < 4) is
// input bit i + 4.
constexpr uint64_t highNibbleMatrix() {
    uint64_t matrix = 0;
    for (int out = 0; out < 4; ++out) matrix |= uint64_t{1} << (out + 4) << (8 * (7 - out));
    return matrix;
}

// One affine instruction per factor, and one that takes the high nibble in
// place of a shift and a mask (only run when the processor has GFNI).
struct GfniAffine {
    static constexpr bool kOffset = false;
    static AVX2_INLINE __m256i highNibble(__m256i x, __m256i) { return multiply(x, highNibbleMatrix()); }
    static AVX2_INLINE __m256i multiply(__m256i x, uint64_t matrix) {
        __m256i product;
        __asm__("vgf2p8affineqb $0, %2, %1, %0"
                : "=x"(product)
                : "x"(x), "xm"(_mm256_set1_epi64x(static_cast<long long>(matrix))));
        return product;
    }
    static AVX2_INLINE Multiples of(__m256i x, __m256i) {
        return {multiply(x, gfMultiplyMatrix(2)), multiply(x, gfMultiplyMatrix(4)),
                multiply(x, gfMultiplyMatrix(8))};
    }
};

// Lane m of the result is lane m - lanes of x.
template <int lanes>
AVX2_INLINE __m256i rotateLanes(__m256i x) {
    constexpr int order = ((0 - lanes) & 3) | (((1 - lanes) & 3) << 2) | (((2 - lanes) & 3) << 4) |
                          (((3 - lanes) & 3) << 6);
    return _mm256_permute4x64_epi64(x, order);
}

// Substitution, column shift, diffusion and the key.
template <class Form>
AVX2_INLINE Columns roundFunction(Columns x, Columns key, const Tools& t) {
    const __m256i even = substitute<Form>(_mm256_shuffle_epi8(x.even, t.shiftEven), t);
    const __m256i odd = substitute<Form>(_mm256_shuffle_epi8(x.odd, t.shiftOdd), t);
    const Multiples e = Form::of(even, t.polynomial);
    const Multiples o = Form::of(odd, t.polynomial);
    // Even output column 2m takes, for d = 0 ... 7, C[d] times column
    // 2m - d: even columns rotated by d/2 lanes for even d, odd columns
    // rotated by (d + 1)/2 lanes for odd d. Likewise for the odd output
    // columns. 5 = 4 + 1 and 9 = 8 + 1.
    // With multiples off by constants (2x by b2, 4x by b4, 8x by b8), the
    // even sum takes 8x of odd, 4x and 8x of even, 4x of odd and 2x of even:
    // off by b8 + b4 + b8 + b4 + b2 = b2; the odd sum takes 4x of odd, 8x of
    // odd and 4x of even, 2x of odd and 8x of even: off by b2 as well. b2 is
    // the doubling's own offset.
    const __m256i both = _mm256_xor_si256(even, odd);
    const __m256i evenBy1 = _mm256_xor_si256(odd, e.times4);
    const __m256i evenBy2 = _mm256_xor_si256(odd, e.times8);
    const __m256i evenBy3 = _mm256_xor_si256(_mm256_xor_si256(o.times4, odd), e.times2);
    const __m256i oddBy1 = _mm256_xor_si256(o.times4, even);
    const __m256i oddBy2 = _mm256_xor_si256(_mm256_xor_si256(o.times8, e.times4), even);
    const __m256i oddBy3 = _mm256_xor_si256(_mm256_xor_si256(o.times2, e.times8), even);
    return {_mm256_xor_si256(
                _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(both, o.times8), key.even), rotateLanes<1>(evenBy1)),
                _mm256_xor_si256(rotateLanes<2>(evenBy2), rotateLanes<3>(evenBy3))),
            _mm256_xor_si256(
                _mm256_xor_si256(_mm256_xor_si256(both, key.odd), rotateLanes<1>(oddBy1)),
                _mm256_xor_si256(rotateLanes<2>(oddBy2), rotateLanes<3>(oddBy3)))};
}

template <class Form>
AVX2_INLINE void compressColumns(uint64_t hash[8], const uint8_t* blocks, std::size_t count) {
    const Tools tools = {load(kAvx2.e),
                         load(kAvx2.eInverse),
                         load(Form::kOffset ? kAvx2.eInverseOffset : kAvx2.eInverse),
                         load(kAvx2.r),
                         load(kAvx2.eHigh),
                         _mm256_set1_epi8(0x0F),
                         load(kAvx2.shiftEven),
                         load(kAvx2.shiftOdd),
                         _mm256_set1_epi8(static_cast<char>(kDoublingOffset))};

    // The chaining words hold column 0 in their top byte.
    alignas(32) uint8_t bytes[64];
    for (int row = 0; row < 8; ++row)
        for (int column = 0; column < 8; ++column)
            bytes[8 * row + column] = static_cast<uint8_t>(hash[row] >> (56 - 8 * column));
    Columns h = loadColumns(bytes);

    for (; count > 0; --count, blocks += 64) {
        const Columns block = loadColumns(blocks);
        Columns key = h;
        Columns state = xorColumns(block, key);
        for (int round = 0; round < kRounds; ++round) {
            key = roundFunction<Form>(key, {load(kAvx2.roundKeyEven[round]), load(kAvx2.roundKeyOdd[round])}, tools);
            state = roundFunction<Form>(state, key, tools);
        }
        h = xorColumns(h, xorColumns(state, block));
    }

    _mm256_store_si256(reinterpret_cast<__m256i*>(bytes), h.even);
    _mm256_store_si256(reinterpret_cast<__m256i*>(bytes + 32), h.odd);
    for (int row = 0; row < 8; ++row) {
        uint64_t word = 0;
        for (int column = 0; column < 8; ++column)
            word = (word << 8) | bytes[32 * (column & 1) + 8 * (column >> 1) + row];
        hash[row] = word;
    }
    // The copy is derived from the message.
    wipeSecret(bytes, sizeof bytes);
}

}  // namespace

AVX2_TARGET void compressAvx2(uint64_t hash[8], const uint8_t* blocks, std::size_t count) {
    compressColumns<Doubling>(hash, blocks, count);
}

AVX2_TARGET void compressAvx2Gfni(uint64_t hash[8], const uint8_t* blocks, std::size_t count) {
    compressColumns<GfniAffine>(hash, blocks, count);
}

}  // namespace whirlpool_detail

#undef AVX2_INLINE
#undef AVX2_TARGET

#else  // no AVX2 on this target: digestpath never chooses this path

namespace whirlpool_detail {

void compressAvx2(uint64_t hash[8], const uint8_t* blocks, std::size_t count) {
    compressPortable(hash, blocks, count);
}

void compressAvx2Gfni(uint64_t hash[8], const uint8_t* blocks, std::size_t count) {
    compressPortable(hash, blocks, count);
}

}  // namespace whirlpool_detail

#endif
