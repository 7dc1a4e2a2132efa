// The Whirlpool compression function on runs of whole 64-byte blocks, in a
// portable table-driven form and, where the processor has it, a vector form
// (AVX-512 with byte permutes and GF(2^8) affine instructions). Both give
// identical results; whirlpoolAdd picks one at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace whirlpool_detail {

// hash: the chaining value, one row per word, column 0 most significant.
// blocks: count consecutive 64-byte message blocks.
using CompressFunction = void (*)(uint64_t hash[8], const uint8_t* blocks, std::size_t count);

void compressPortable(uint64_t hash[8], const uint8_t* blocks, std::size_t count);

// True when this processor and OS can run compressVector.
bool vectorPathAvailable();
// Only to be called when vectorPathAvailable() is true.
void compressVector(uint64_t hash[8], const uint8_t* blocks, std::size_t count);

// The path whirlpoolAdd and whirlpoolFinish use. By default the vector path
// when available; forcePortable(true) selects the portable path (tests and
// benchmarks compare the two).
void forcePortable(bool portable);
bool usingVectorPath();

}  // namespace whirlpool_detail
