// Whirlpool: message buffering, the length counter and padding. The
// compression function is one of the paths of whirlpoolcompress.h.

#include "digest/whirlpool.h"

#include <cstring>

#include "digest/whirlpoolcompress.h"

namespace {

void compress(uint64_t hash[8], const uint8_t* blocks, std::size_t count) {
    whirlpool_detail::activeCompressFunction()(hash, blocks, count);
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
