#include "tools/keydrive/padindex.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "key/keybytes.h"
#include "platform/platform.h"

namespace keydrive {

void sortByHome(std::vector<PadRecord>* records, const SlotRanges& ranges, uint32_t start) {
    // A radix sort on the home slot's offset in the range (each key holds
    // it above the record's place), 11 bits a pass: no comparison, and the
    // home slot worked out once per record.
    const size_t n = records->size();
    std::vector<uint64_t> keys(n), other(n);
    uint32_t largest = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t offset = ranges.home((*records)[i]) - start;
        largest = std::max(largest, offset);
        keys[i] = uint64_t(offset) << 32 | i;
    }
    constexpr int kBits = 11;
    for (int shift = 32; shift < 64 && (shift == 32 || (largest >> (shift - 32)) != 0); shift += kBits) {
        size_t counts[(1 << kBits) + 1] = {};
        for (uint64_t k : keys) ++counts[((k >> shift) & ((1 << kBits) - 1)) + 1];
        for (int d = 0; d < (1 << kBits); ++d) counts[d + 1] += counts[d];
        for (uint64_t k : keys) other[counts[(k >> shift) & ((1 << kBits) - 1)]++] = k;
        keys.swap(other);
    }
    std::vector<PadRecord> sorted(n);
    for (size_t i = 0; i < n; ++i) sorted[i] = (*records)[uint32_t(keys[i])];
    // Records of one home slot (rarely more than two): by print, then block.
    for (size_t from = 0, to; from < n; from = to) {
        to = from + 1;
        while (to < n && keys[to] >> 32 == keys[from] >> 32) ++to;
        if (to - from > 1)
            std::sort(sorted.begin() + ptrdiff_t(from), sorted.begin() + ptrdiff_t(to),
                      [](const PadRecord& a, const PadRecord& b) {
                          if (a.key != b.key) return a.key < b.key;
                          if (a.tail != b.tail) return a.tail < b.tail;
                          return a.block < b.block;
                      });
    }
    records->swap(sorted);
}

int readAt(FILE* f, uint64_t offset, void* buffer, size_t length) {
    errno = 0;
    if (plat::seekFile(f, int64_t(offset), SEEK_SET) != 0) return 1;
    if (std::fread(buffer, 1, length, f) == length) return 0;
    if (errno == 0) errno = EIO;   // the file ends early
    return 1;
}

int writeAt(FILE* f, uint64_t offset, const void* buffer, size_t length) {
    errno = 0;
    if (plat::seekFile(f, int64_t(offset), SEEK_SET) != 0) return 1;
    return std::fwrite(buffer, 1, length, f) == length ? 0 : 1;
}

bool SlotFile::get(uint64_t slot, uint32_t* value) {
    if (slot >= available_) return false;
    if (slot < cacheStart_ || slot >= cacheStart_ + cacheCount_) {
        cache_.resize(size_t(kCacheSlots) * 4);
        uint64_t start = slot - slot % kCacheSlots;
        uint32_t count = uint32_t(std::min<uint64_t>(kCacheSlots, available_ - start));
        cacheCount_ = 0;
        if (readAt(file_, start * 4, cache_.data(), size_t(count) * 4) != 0) return false;
        cacheStart_ = start;
        cacheCount_ = count;
    }
    *value = readLe32(cache_.data() + (slot - cacheStart_) * 4);
    return true;
}

bool SlotFile::put(uint64_t slot, uint32_t value) {
    uint8_t bytes[4];
    writeLe32(bytes, value);
    if (writeAt(file_, slot * 4, bytes, 4) != 0) return false;
    if (slot >= cacheStart_ && slot < cacheStart_ + cacheCount_)
        std::memcpy(cache_.data() + (slot - cacheStart_) * 4, bytes, 4);
    if (slot >= available_) available_ = slot + 1;
    return true;
}

int64_t readSlots(FILE* f, uint64_t start, uint64_t end, std::vector<uint32_t>* slots) {
    slots->assign(size_t(end - start), 0);
    std::vector<uint8_t> bytes(size_t(1) << 20);
    const size_t per = bytes.size() / 4;
    errno = 0;
    if (plat::seekFile(f, int64_t(start * 4), SEEK_SET) != 0) return -1;
    size_t have = 0;
    while (have < slots->size()) {
        size_t want = std::min(per, slots->size() - have);
        size_t got = std::fread(bytes.data(), 4, want, f);
        for (size_t i = 0; i < got; ++i) (*slots)[have + i] = readLe32(bytes.data() + 4 * i);
        have += got;
        if (got < want) {
            if (std::ferror(f)) return -1;
            break;
        }
    }
    return int64_t(have);
}

int writeSlots(FILE* f, const std::vector<uint32_t>& slots, size_t count) {
    std::vector<uint8_t> bytes(size_t(1) << 20);
    const size_t per = bytes.size() / 4;
    for (size_t start = 0; start < count; start += per) {
        size_t n = std::min(per, count - start);
        for (size_t i = 0; i < n; ++i) writeLe32(bytes.data() + 4 * i, slots[start + i]);
        errno = 0;
        if (std::fwrite(bytes.data(), 4, n, f) != n) return 1;
    }
    return 0;
}

}  // namespace keydrive
