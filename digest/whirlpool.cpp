// Whirlpool: message buffering, the length counter, padding, and the
// portable table-driven compression function.

#include "digest/whirlpool.h"

#include <atomic>
#include <cstring>

#include "digest/whirlpoolcompress.h"
#include "digest/whirlpooltables.h"

namespace whirlpool_detail {

namespace {

CompressFunction selectCompress(bool portable) {
    return !portable && vectorPathAvailable() ? compressVector : compressPortable;
}

void compressFirstUse(uint64_t hash[8], const uint8_t* blocks, std::size_t count);

// Constant-initialised, so that it is valid whenever the first digest runs;
// atomic because digests may run on any thread.
std::atomic<CompressFunction> activeCompress{compressFirstUse};

void compressFirstUse(uint64_t hash[8], const uint8_t* blocks, std::size_t count) {
    activeCompress = selectCompress(false);
    activeCompress.load()(hash, blocks, count);
}

inline uint64_t loadBigEndian(const uint8_t* p) {
    uint64_t word = 0;
    for (int i = 0; i < 8; ++i) word = (word << 8) | p[i];
    return word;
}

// Table t, indexed by byte t of a word (byte 0 the most significant).
#define WHIRLPOOL_LOOKUP(t, word) kTables.table[t][static_cast<uint8_t>((word) >> (56 - 8 * (t)))]

// One output row of a round: substitution, the cyclic shift of column j
// down by j rows, and diffusion, all by table lookup. Row i takes byte j from
// input row i - j, so the arguments are rows i, i-1, ..., i-7.
#define WHIRLPOOL_ROW(r0, r1, r2, r3, r4, r5, r6, r7)                         \
    (WHIRLPOOL_LOOKUP(0, r0) ^ WHIRLPOOL_LOOKUP(1, r1) ^ WHIRLPOOL_LOOKUP(2, r2) ^ \
     WHIRLPOOL_LOOKUP(3, r3) ^ WHIRLPOOL_LOOKUP(4, r4) ^ WHIRLPOOL_LOOKUP(5, r5) ^ \
     WHIRLPOOL_LOOKUP(6, r6) ^ WHIRLPOOL_LOOKUP(7, r7))

// A whole round from the eight words in0 ... in7 into out0 ... out7, adding
// the round key k0 ... k7. Plain local variables keep the state in
// registers.
#define WHIRLPOOL_ROUND(out, in, k0, k1, k2, k3, k4, k5, k6, k7)                                \
    out##0 = WHIRLPOOL_ROW(in##0, in##7, in##6, in##5, in##4, in##3, in##2, in##1) ^ (k0); \
    out##1 = WHIRLPOOL_ROW(in##1, in##0, in##7, in##6, in##5, in##4, in##3, in##2) ^ (k1); \
    out##2 = WHIRLPOOL_ROW(in##2, in##1, in##0, in##7, in##6, in##5, in##4, in##3) ^ (k2); \
    out##3 = WHIRLPOOL_ROW(in##3, in##2, in##1, in##0, in##7, in##6, in##5, in##4) ^ (k3); \
    out##4 = WHIRLPOOL_ROW(in##4, in##3, in##2, in##1, in##0, in##7, in##6, in##5) ^ (k4); \
    out##5 = WHIRLPOOL_ROW(in##5, in##4, in##3, in##2, in##1, in##0, in##7, in##6) ^ (k5); \
    out##6 = WHIRLPOOL_ROW(in##6, in##5, in##4, in##3, in##2, in##1, in##0, in##7) ^ (k6); \
    out##7 = WHIRLPOOL_ROW(in##7, in##6, in##5, in##4, in##3, in##2, in##1, in##0) ^ (k7)

}  // namespace

void compressPortable(uint64_t hash[8], const uint8_t* blocks, std::size_t count) {
    for (; count > 0; --count, blocks += 64) {
        const uint64_t m0 = loadBigEndian(blocks), m1 = loadBigEndian(blocks + 8),
                       m2 = loadBigEndian(blocks + 16), m3 = loadBigEndian(blocks + 24),
                       m4 = loadBigEndian(blocks + 32), m5 = loadBigEndian(blocks + 40),
                       m6 = loadBigEndian(blocks + 48), m7 = loadBigEndian(blocks + 56);
        uint64_t k0 = hash[0], k1 = hash[1], k2 = hash[2], k3 = hash[3],
                 k4 = hash[4], k5 = hash[5], k6 = hash[6], k7 = hash[7];
        uint64_t s0 = m0 ^ k0, s1 = m1 ^ k1, s2 = m2 ^ k2, s3 = m3 ^ k3,
                 s4 = m4 ^ k4, s5 = m5 ^ k5, s6 = m6 ^ k6, s7 = m7 ^ k7;
        for (int round = 1; round <= kRounds; ++round) {
            uint64_t n0, n1, n2, n3, n4, n5, n6, n7;
            WHIRLPOOL_ROUND(n, k, kTables.roundConstant[round], 0, 0, 0, 0, 0, 0, 0);
            k0 = n0, k1 = n1, k2 = n2, k3 = n3, k4 = n4, k5 = n5, k6 = n6, k7 = n7;
            WHIRLPOOL_ROUND(n, s, k0, k1, k2, k3, k4, k5, k6, k7);
            s0 = n0, s1 = n1, s2 = n2, s3 = n3, s4 = n4, s5 = n5, s6 = n6, s7 = n7;
        }
        hash[0] ^= s0 ^ m0, hash[1] ^= s1 ^ m1, hash[2] ^= s2 ^ m2, hash[3] ^= s3 ^ m3;
        hash[4] ^= s4 ^ m4, hash[5] ^= s5 ^ m5, hash[6] ^= s6 ^ m6, hash[7] ^= s7 ^ m7;
    }
}

#undef WHIRLPOOL_ROUND
#undef WHIRLPOOL_ROW
#undef WHIRLPOOL_LOOKUP

void forcePortable(bool portable) { activeCompress = selectCompress(portable); }

bool usingVectorPath() {
    if (activeCompress.load() == compressFirstUse) activeCompress = selectCompress(false);
    return activeCompress.load() == compressVector;
}

}  // namespace whirlpool_detail

namespace {

void compress(uint64_t hash[8], const uint8_t* blocks, std::size_t count) {
    whirlpool_detail::activeCompress.load(std::memory_order_relaxed)(hash, blocks, count);
}

// Adds a piece of 'bits' bits to the 256-bit length counter, least
// significant byte first. The update ends with the piece's highest nonzero
// byte and a carry still pending there is dropped: digests stored in
// encrypted files were computed this way.
void countLength(uint8_t counter[32], uint32_t bits) {
    unsigned carry = 0;
    for (int i = 31; i >= 0; --i) {
        const unsigned sum = counter[i] + carry + (bits & 0xFF);
        counter[i] = static_cast<uint8_t>(sum);
        carry = sum >> 8;
        bits >>= 8;
        if (bits == 0) break;
    }
}

// Appends bits one at a time: only used for pieces that are not whole bytes
// or that follow such a piece.
void addBits(WhirlpoolState* state, const uint8_t* data, uint32_t bits) {
    for (uint32_t i = 0; i < bits; ++i) {
        const unsigned bit = (data[i >> 3] >> (7 - (i & 7))) & 1;
        const int used = state->bufferBits & 7;
        uint8_t& target = state->buffer[state->bufferBits >> 3];
        if (used == 0) target = 0;
        target = static_cast<uint8_t>(target | (bit << (7 - used)));
        ++state->bufferBits;
        state->bufferPos = state->bufferBits >> 3;
        if (state->bufferBits == 512) {
            compress(state->hash, state->buffer, 1);
            state->bufferBits = 0;
            state->bufferPos = 0;
        }
    }
}

}  // namespace

void whirlpoolInit(WhirlpoolState* state) {
    std::memset(state->lengthCounter, 0, sizeof state->lengthCounter);
    state->bufferBits = 0;
    state->bufferPos = 0;
    state->buffer[0] = 0;
    for (uint64_t& word : state->hash) word = 0;
}

void whirlpoolAdd(WhirlpoolState* state, const uint8_t* data, uint32_t bits) {
    countLength(state->lengthCounter, bits);

    if ((bits & 7) != 0 || (state->bufferBits & 7) != 0) {
        addBits(state, data, bits);
        return;
    }

    // Whole bytes onto whole bytes: fill the buffer, then compress the
    // data's whole blocks straight from where they lie.
    uint32_t bytes = bits >> 3;
    if (state->bufferPos > 0) {
        const uint32_t room = 64 - static_cast<uint32_t>(state->bufferPos);
        const uint32_t take = bytes < room ? bytes : room;
        std::memcpy(state->buffer + state->bufferPos, data, take);
        state->bufferPos += static_cast<int32_t>(take);
        data += take;
        bytes -= take;
        if (state->bufferPos < 64) {
            state->bufferBits = state->bufferPos * 8;
            return;
        }
        compress(state->hash, state->buffer, 1);
        state->bufferPos = 0;
    }
    const uint32_t wholeBlocks = bytes / 64;
    if (wholeBlocks > 0) {
        compress(state->hash, data, wholeBlocks);
        data += 64 * wholeBlocks;
        bytes -= 64 * wholeBlocks;
    }
    std::memcpy(state->buffer, data, bytes);
    state->bufferPos = static_cast<int32_t>(bytes);
    state->bufferBits = state->bufferPos * 8;
}

void whirlpoolFinish(WhirlpoolState* state, uint8_t output[64]) {
    // The 1 bit right after the data. Unused bits of a partial byte are
    // already zero; a fresh byte may hold an earlier block's data.
    const int used = state->bufferBits & 7;
    uint8_t& last = state->buffer[state->bufferPos];
    last = static_cast<uint8_t>((used == 0 ? 0 : last) | (0x80 >> used));
    ++state->bufferPos;

    if (state->bufferPos > 32) {
        std::memset(state->buffer + state->bufferPos, 0, 64 - static_cast<size_t>(state->bufferPos));
        compress(state->hash, state->buffer, 1);
        state->bufferPos = 0;
    }
    std::memset(state->buffer + state->bufferPos, 0, 32 - static_cast<size_t>(state->bufferPos));
    std::memcpy(state->buffer + 32, state->lengthCounter, 32);
    compress(state->hash, state->buffer, 1);

    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            output[8 * i + j] = static_cast<uint8_t>(state->hash[i] >> (56 - 8 * j));
}
