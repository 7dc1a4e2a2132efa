// A range of slots is filled in memory and written out in order. Its pad
// blocks are entered in the order of their home slots, each in the first
// empty slot at or after its home: blocks that run past the range's end go
// first into the next range, and those that run past the last slot wrap to
// slot 0, where they (and any block drawn again for a range already
// written) are entered through the file once every range is written.

#include "tools/keydrive/indexbuild.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "tools/keydrive/text.h"

namespace keydrive {

namespace {

class Builder {
public:
    Builder(const IndexBuild& build, uint64_t* redrawn, std::wstring* error)
        : b_(build), redrawn_(redrawn), error_(error) {}
    int run();

private:
    int fail(const wchar_t* what) {
        *error_ = format(L"%ls: %ls", what, errnoText().c_str());
        return 1;
    }
    bool sameBytes(uint32_t a, uint32_t b, bool* same);
    int drawAgain(PadRecord* record);
    int dropAlike(std::vector<PadRecord>* records, uint32_t range);
    int enterThroughFile(PadRecord record, bool checkAlike);

    const IndexBuild& b_;
    uint64_t* redrawn_;
    std::wstring* error_;
    std::vector<PadRecord> late_;      // entered through the file at the end
    std::vector<bool> lateCheck_;      // whether a late record still needs comparing
};

bool Builder::sameBytes(uint32_t a, uint32_t b, bool* same) {
    uint8_t x[kMatchLength], y[kMatchLength];
    if (readAt(b_.key, uint64_t(a) * kBlock + kMatchFirst, x, kMatchLength) != 0 ||
        readAt(b_.key, uint64_t(b) * kBlock + kMatchFirst, y, kMatchLength) != 0)
        return false;
    *same = std::memcmp(x, y, kMatchLength) == 0;
    return true;
}

int Builder::drawAgain(PadRecord* record) {
    uint8_t block[kBlock];
    if (!b_.random(block, kBlock)) {
        *error_ = L"cannot obtain random bytes from the system";
        return 1;
    }
    if (writeAt(b_.key, uint64_t(record->block) * kBlock, block, kBlock) != 0)
        return fail(L"cannot write the key file");
    *record = padRecord(block, record->block);
    ++*redrawn_;
    return 0;
}

// Records sorted by home, so blocks alike sit side by side: each that agrees
// with a lower-numbered one is drawn again and leaves this range.
int Builder::dropAlike(std::vector<PadRecord>* records, uint32_t range) {
    std::vector<PadRecord>& r = *records;
    size_t kept = 0;
    for (size_t i = 0; i < r.size(); ++i) {
        bool alike = false;
        for (size_t j = kept; j-- > 0 && samePrint(r[j], r[i]);) {
            if (!sameBytes(r[j].block, r[i].block, &alike)) return fail(L"cannot read back the key file");
            if (alike) break;
        }
        if (!alike) {
            r[kept++] = r[i];
            continue;
        }
        PadRecord again = r[i];
        if (drawAgain(&again) != 0) return 1;
        if (b_.ranges.rangeOf(b_.ranges.home(again)) > range) {
            if (!b_.records->add(again)) {
                *error_ = b_.records->error();
                return 1;
            }
        } else {
            late_.push_back(again);
            lateCheck_.push_back(true);
        }
    }
    r.resize(kept);
    return 0;
}

// Enters a record through the index file, which holds every range by now.
int Builder::enterThroughFile(PadRecord record, bool checkAlike) {
    SlotFile slots(b_.index, b_.ranges.slots);
    uint32_t slot = b_.ranges.home(record);
    for (uint64_t steps = 0; steps <= b_.ranges.slots; ++steps) {
        uint32_t value = 0;
        if (!slots.get(slot, &value)) return fail(L"cannot read back the index");
        if (value == 0) {
            if (!slots.put(slot, record.block)) return fail(L"cannot write the index");
            return 0;
        }
        if (checkAlike) {
            uint8_t other[kBlock];
            if (readAt(b_.key, uint64_t(value) * kBlock, other, kBlock) != 0)
                return fail(L"cannot read back the key file");
            bool alike = false;
            if (samePrint(padRecord(other, value), record) && !sameBytes(value, record.block, &alike))
                return fail(L"cannot read back the key file");
            if (alike) {
                if (drawAgain(&record) != 0) return 1;
                slot = b_.ranges.home(record);
                steps = 0;
                continue;
            }
        }
        slot = b_.ranges.next(slot);
    }
    *error_ = L"the index has no empty slot left";
    return 1;
}

int Builder::run() {
    const SlotRanges& ranges = b_.ranges;
    std::vector<uint32_t> table;
    std::vector<PadRecord> records, carry, carryNext;
    errno = 0;
    if (plat::seekFile(b_.index, 0, SEEK_SET) != 0) return fail(L"cannot write the index");
    for (uint32_t range = 0; range < ranges.count(); ++range) {
        const uint32_t start = ranges.start(range), length = ranges.end(range) - start;
        if (!b_.records->read(range, &records)) {
            *error_ = b_.records->error();
            return 1;
        }
        sortByHome(&records, ranges, start);
        if (dropAlike(&records, range) != 0) return 1;
        table.assign(length, 0);
        // Blocks carried over from the range before come first: every slot
        // from their home slots to this range's start is taken. Then this
        // range's own, in the order of their home slots.
        uint64_t free = 0;
        carryNext.clear();
        auto enter = [&](const PadRecord& r, uint64_t home) {
            uint64_t at = std::max(home, free);
            if (at >= length) {
                carryNext.push_back(r);
                return;
            }
            table[size_t(at)] = r.block;
            free = at + 1;
        };
        for (const PadRecord& r : carry) enter(r, 0);
        for (const PadRecord& r : records) enter(r, ranges.home(r) - start);
        carry.swap(carryNext);
        errno = 0;
        if (plat::seekFile(b_.index, int64_t(start) * 4, SEEK_SET) != 0 || writeSlots(b_.index, table, length) != 0)
            return fail(L"cannot write the index");
        if (b_.progress != nullptr) b_.progress->update(ranges.end(range));
    }
    // Past the last slot: on from slot 0.
    for (const PadRecord& r : carry) {
        late_.push_back(r);
        lateCheck_.push_back(false);
    }
    for (size_t i = 0; i < late_.size(); ++i)
        if (enterThroughFile(late_[i], lateCheck_[i]) != 0) return 1;
    return 0;
}

}  // namespace

int buildIndex(const IndexBuild& build, uint64_t* redrawn, std::wstring* error) {
    *redrawn = 0;
    Builder builder(build, redrawn, error);
    return builder.run();
}

}  // namespace keydrive
