// The index's rule, shared by the units that build and check it.
//
// SETTINGS/INDEX.DAT holds 10 x N little-endian 32-bit slots for a key of N
// blocks. A pad block's home slot is its bytes 4..7 read big-endian, modulo
// 10 x N; the block is entered in the first empty slot at or after its home
// slot, wrapping from the last slot to slot 0. Bytes 4..259 identify a block.
//
// Neither the index nor the list of pad blocks is held in memory whole: the
// slots are worked through in ranges of at most `rangeSlots`, and the pad
// blocks' records are sorted into the ranges of their home slots on the way
// (see RecordBuckets), so memory stays the same whatever the key's size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "key/key.h"

namespace keydrive {

// Fills a buffer with random bytes; false on failure.
using RandomSource = bool (*)(void* buffer, std::size_t length);

constexpr uint32_t kBlock = kKeyBlockSize;
constexpr uint32_t kSlotsPerBlock = 10;
constexpr size_t kMatchFirst = 4;     // bytes 4..259 identify a block
constexpr size_t kMatchLength = 256;
constexpr uint32_t kChunkBlocks = 4096;   // 4 MiB of key per read or write

// How much memory the index work may take: a range of slots in memory at a
// time, and the records gathered before they go to the scratch file. Tests
// make both small to run the many-range paths on small keys.
struct IndexBudget {
    uint32_t rangeSlots = uint32_t(1) << 22;     // 16 MiB of slots
    size_t bufferedRecords = size_t(1) << 20;    // 12 MiB of records (twice while sorted)
};

// What the index needs to know of a pad block: its bytes 4..11 and number.
struct PadRecord {
    uint32_t key;     // bytes 4..7, big-endian: the home slot is key % slots
    uint32_t tail;    // bytes 8..11
    uint32_t block;
};

inline PadRecord padRecord(const uint8_t* block, uint32_t number) {
    PadRecord r;
    r.key = uint32_t(block[4]) << 24 | uint32_t(block[5]) << 16 | uint32_t(block[6]) << 8 | uint32_t(block[7]);
    r.tail = uint32_t(block[8]) | uint32_t(block[9]) << 8 | uint32_t(block[10]) << 16 | uint32_t(block[11]) << 24;
    r.block = number;
    return r;
}

inline bool samePrint(const PadRecord& a, const PadRecord& b) { return a.key == b.key && a.tail == b.tail; }

// The slots of an index cut into ranges.
struct SlotRanges {
    SlotRanges(uint32_t slotCount, uint32_t rangeSlots)
        : slots(slotCount), size(rangeSlots == 0 ? 1 : rangeSlots) {}
    uint32_t slots;
    uint32_t size;
    uint32_t count() const { return uint32_t((uint64_t(slots) + size - 1) / size); }
    uint32_t start(uint32_t range) const { return range * size; }
    uint32_t end(uint32_t range) const { return uint32_t(std::min<uint64_t>(uint64_t(range + 1) * size, slots)); }
    uint32_t home(const PadRecord& r) const { return r.key % slots; }
    uint32_t rangeOf(uint32_t slot) const { return slot / size; }
    uint32_t next(uint32_t slot) const { return slot + 1 == slots ? 0 : slot + 1; }
};

// Sorts the records of one range (home slots from `start` on) by home
// slot, and those of one home slot by print and block, so that blocks alike
// sit side by side.
void sortByHome(std::vector<PadRecord>* records, const SlotRanges& ranges, uint32_t start);

// Reads or writes exactly `length` bytes at `offset`; 0 on success (errno
// set on failure).
int readAt(FILE* f, uint64_t offset, void* buffer, size_t length);
int writeAt(FILE* f, uint64_t offset, const void* buffer, size_t length);

// Slots read (and written) one at a time through a small cache of the
// index file: for the few slots that lie outside the range in memory.
class SlotFile {
public:
    // `available`: how many slots the file holds (a short index ends early).
    SlotFile(FILE* f, uint64_t available) : file_(f), available_(available) {}
    uint64_t available() const { return available_; }
    // False when the slot lies beyond the file's end or cannot be read.
    bool get(uint64_t slot, uint32_t* value);
    bool put(uint64_t slot, uint32_t value);

private:
    static constexpr uint32_t kCacheSlots = 4096;
    FILE* file_;
    uint64_t available_;
    uint64_t cacheStart_ = 0;
    uint32_t cacheCount_ = 0;
    std::vector<uint8_t> cache_;
};

// The slots [start, end) of an index file, read into *slots (little-endian
// decoded); the part beyond the file's end stays 0 and is not counted.
// Returns the number of slots read, or -1 when reading failed.
int64_t readSlots(FILE* f, uint64_t start, uint64_t end, std::vector<uint32_t>* slots);
// Writes slots as little-endian words at the file's current position.
int writeSlots(FILE* f, const std::vector<uint32_t>& slots, size_t count);

}  // namespace keydrive
