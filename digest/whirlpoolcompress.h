// The Whirlpool compression function on runs of whole 64-byte blocks, in
// one portable table-driven form and in vector forms for processors that
// have the instructions. All give identical results; whirlpoolAdd and
// whirlpoolFinish use the one digestpath chose.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/digestpath.h"

namespace whirlpool_detail {

// hash: the chaining value, one row per word, column 0 most significant.
// blocks: count consecutive 64-byte message blocks.
using CompressFunction = void (*)(uint64_t hash[8], const uint8_t* blocks, std::size_t count);

void compressPortable(uint64_t hash[8], const uint8_t* blocks, std::size_t count);

// The vector forms may only be called when digestPathRuns says their path
// runs here (compressAvx2Gfni also needs CpuFeatures::gfni). Builds for
// other processors fall back to the portable form.
void compressAvx2(uint64_t hash[8], const uint8_t* blocks, std::size_t count);
void compressAvx2Gfni(uint64_t hash[8], const uint8_t* blocks, std::size_t count);
void compressAvx512(uint64_t hash[8], const uint8_t* blocks, std::size_t count);

// The function that runs 'path' on a processor with 'features'.
CompressFunction compressFunctionFor(DigestPath path, const CpuFeatures& features);

// The function of the path chosen for this run (decided at the first call).
CompressFunction activeCompressFunction();

// Benchmarks and tests: run 'path' with 'compress' from now on, e.g. the
// AVX2 form without GFNI on a processor that has GFNI.
void forceCompressFunction(DigestPath path, CompressFunction compress);

}  // namespace whirlpool_detail
