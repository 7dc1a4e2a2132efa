// Whirlpool (the final 2003 form) with this product's length counter: a
// carry out of the highest nonzero byte of a piece's bit length is dropped.
// The counter rule is part of the encrypted file format.
#pragma once

#include <cstdint>

struct WhirlpoolState {
    uint8_t lengthCounter[32];   // bits added so far, big-endian
    uint8_t buffer[64];          // the message block being filled
    int32_t bufferBits;          // bits in the buffer
    int32_t bufferPos;           // byte that receives the next bits
    uint64_t hash[8];            // chaining value
};

void whirlpoolInit(WhirlpoolState* state);
// Adds 'bits' bits of data, most significant bit of each byte first.
void whirlpoolAdd(WhirlpoolState* state, const uint8_t* data, uint32_t bits);
void whirlpoolFinish(WhirlpoolState* state, uint8_t output[64]);
