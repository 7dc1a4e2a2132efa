// Checking a key's index in bounded memory: the key file is read once, its
// pad blocks' records sorted into the ranges of their home slots, and the
// index read once, a range of slots at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "tools/keydrive/padindex.h"
#include "tools/keydrive/progress.h"

namespace keydrive {

struct IndexCheck {
    FILE* key = nullptr;          // the key file, open for reading
    uint32_t blocks = 0;          // N
    std::wstring indexPath;
    IndexBudget budget;
    ProgressOutput progress;
    std::function<void(const std::wstring&)> say;       // a line of the report
    std::function<void(const std::wstring&)> problem;   // a problem found
};

// Pad blocks the check picked, spread over the key, for the program's own
// key store to find.
constexpr int kSampleBlocks = 8;

// Checks that every pad block can be found through the index from its home
// slot, that no two pad blocks agree in bytes 4..259, and that every slot in
// use names a pad block that is found there. Fills sample[] with pad blocks
// (0 where none was picked).
void checkIndex(const IndexCheck& check, uint32_t sample[kSampleBlocks]);

}  // namespace keydrive
