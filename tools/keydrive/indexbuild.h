// Building a new key's index in bounded memory: a range of slots at a time,
// from the pad blocks' records sorted into ranges as the key was written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/keydrive/padindex.h"
#include "tools/keydrive/progress.h"
#include "tools/keydrive/recordbuckets.h"

namespace keydrive {

struct IndexBuild {
    FILE* key = nullptr;      // the complete key file, open for reading and writing
    FILE* index = nullptr;    // the new index file, empty, open for reading and writing
    uint32_t blocks = 0;      // N
    SlotRanges ranges{0, 1};
    RecordBuckets* records = nullptr;   // one record for every pad block
    RandomSource random = nullptr;      // draws a pad block again
    ProgressLine* progress = nullptr;   // counts slots written
};

// Writes every slot of the index. A pad block that agrees in bytes 4..259
// with one of a lower number could not be told apart from it by the index;
// it is drawn again and written over in the key file (*redrawn counts them).
// 0 on success; 1 with the reason in *error.
int buildIndex(const IndexBuild& build, uint64_t* redrawn, std::wstring* error);

}  // namespace keydrive
