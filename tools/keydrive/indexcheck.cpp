#include "tools/keydrive/indexcheck.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "tools/keydrive/chunkreader.h"
#include "tools/keydrive/recordbuckets.h"
#include "tools/keydrive/text.h"

namespace keydrive {

namespace {

constexpr int kNamed = 5;                      // problems of a kind named one by one
constexpr uint32_t kMaxProbe = uint32_t(1) << 16;   // a sound index has runs far shorter
constexpr size_t kCandidates = 64;             // slots kept to name among the unreached

class Checker {
public:
    Checker(const IndexCheck& check, uint32_t* sample)
        : c_(check), sample_(sample), ranges_(check.blocks * kSlotsPerBlock, check.budget.rangeSlots) {}
    void run();

private:
    void note(uint64_t* count, std::vector<std::wstring>* named, const std::wstring& text) {
        if (++*count <= kNamed) named->push_back(text);
    }
    bool openIndex();
    bool readKey(RecordBuckets* records);
    bool checkRange(uint32_t range, RecordBuckets* records);
    void compareAlike(const std::vector<PadRecord>& records);
    bool probe(const PadRecord& record, uint32_t range);
    void mark(uint32_t slot, uint32_t range);
    bool slotValue(uint32_t slot, uint32_t* value);
    std::wstring describeUnreached(uint32_t slot, uint32_t block);
    void report();

    const IndexCheck& c_;
    uint32_t* sample_;
    SlotRanges ranges_;
    FILE* index_ = nullptr;
    uint64_t have_ = 0;              // slots the index file holds, at most 10 x N
    bool longer_ = false;
    std::unique_ptr<SlotFile> slotFile_;
    std::vector<uint32_t> window_;   // the current range's slots
    uint32_t windowStart_ = 0;
    std::vector<bool> reached_;      // slots of the window where a block was found
    std::vector<uint32_t> pending_;  // found slots beyond the range that searched them
    std::vector<uint32_t> wrapped_;  // found slots behind it, past the last slot
    std::vector<std::pair<uint32_t, uint32_t>> candidates_;   // slot, block: in use, not reached
    bool keyRead_ = false;

    uint64_t entries_ = 0, outside_ = 0, found_ = 0, lost_ = 0, alike_ = 0, longRuns_ = 0;
    std::vector<std::wstring> outsideNamed_, lostNamed_, alikeNamed_;
};

bool Checker::openIndex() {
    errno = 0;
    index_ = plat::openFile(c_.indexPath, L"rb");
    if (index_ == nullptr) {
        c_.problem(format(L"the index '%ls' cannot be opened: %ls", c_.indexPath.c_str(), errnoText().c_str()));
        return false;
    }
    int64_t size = -1;
    if (plat::seekFile(index_, 0, SEEK_END) == 0) size = plat::tellFile(index_);
    if (size < 0) {
        c_.problem(format(L"the size of the index cannot be read: %ls", errnoText().c_str()));
        return false;
    }
    const uint64_t fileSlots = uint64_t(size) / 4;
    have_ = std::min<uint64_t>(fileSlots, ranges_.slots);
    longer_ = uint64_t(size) > uint64_t(ranges_.slots) * 4;
    slotFile_.reset(new SlotFile(index_, have_));
    if (have_ < ranges_.slots)
        c_.problem(format(L"the index holds %llu slots, but a key of %u blocks needs %u", (unsigned long long)have_,
                          c_.blocks, ranges_.slots));
    else if (longer_)
        c_.say(L"The index is longer than the key needs; the bytes after its last slot are never read.");
    return have_ > 0;
}

// One pass over the key file: every pad block's record, sorted into ranges.
// The file is read on a second thread while the records are made.
bool Checker::readKey(RecordBuckets* records) {
    ProgressLine line(c_.progress, L"checking the key", c_.blocks);
    errno = 0;
    if (plat::seekFile(c_.key, 0, SEEK_SET) != 0) {
        c_.problem(format(L"the key file cannot be read: %ls", errnoText().c_str()));
        return false;
    }
    ChunkReader reader(c_.key, uint64_t(c_.blocks) * kBlock, size_t(kChunkBlocks) * kBlock);
    uint32_t start = 0;
    for (;;) {
        const uint8_t* chunk = nullptr;
        size_t length = 0;
        if (!reader.next(&chunk, &length)) {
            c_.problem(format(L"the key file cannot be read: %ls", plat::stdErrorMessage(reader.errorNumber()).c_str()));
            return false;
        }
        if (length == 0) break;
        const uint32_t count = uint32_t(length / kBlock);
        for (uint32_t i = start == 0 ? 1 : 0; i < count; ++i) {
            const uint32_t b = start + i;
            if (!records->add(padRecord(chunk + size_t(i) * kBlock, b))) {
                c_.problem(L"the check cannot go on: " + records->error());
                return false;
            }
            uint32_t pick = (b * 2654435761u) >> 29;   // a spread of blocks for the store to find
            if (sample_[pick] == 0) sample_[pick] = b;
        }
        start += count;
        line.update(start);
    }
    line.finish();
    return true;
}

bool Checker::slotValue(uint32_t slot, uint32_t* value) {
    if (slot >= windowStart_ && slot - windowStart_ < window_.size()) {
        if (slot >= have_) return false;
        *value = window_[slot - windowStart_];
        return true;
    }
    return slotFile_->get(slot, value);
}

void Checker::mark(uint32_t slot, uint32_t range) {
    if (slot >= windowStart_ && slot - windowStart_ < window_.size())
        reached_[slot - windowStart_] = true;
    else if (slot >= ranges_.end(range))
        pending_.push_back(slot);
    else
        wrapped_.push_back(slot);
}

// The search the key store makes: from the home slot on until the block, an
// empty slot, a slot that names no block of the key, or the index's end.
bool Checker::probe(const PadRecord& record, uint32_t range) {
    uint32_t slot = ranges_.home(record);
    for (uint32_t steps = 0; steps < kMaxProbe; ++steps) {
        uint32_t value = 0;
        if (!slotValue(slot, &value) || value == 0 || value >= c_.blocks) return false;
        if (value == record.block) {
            mark(slot, range);
            return true;
        }
        slot = ranges_.next(slot);
    }
    ++longRuns_;
    return false;
}

// Records sorted by home: blocks alike sit side by side.
void Checker::compareAlike(const std::vector<PadRecord>& records) {
    uint8_t a[kMatchLength], b[kMatchLength];
    for (size_t i = 1; i < records.size(); ++i) {
        for (size_t j = i; j-- > 0 && samePrint(records[j], records[i]);) {
            if (readAt(c_.key, uint64_t(records[j].block) * kBlock + kMatchFirst, a, kMatchLength) != 0 ||
                readAt(c_.key, uint64_t(records[i].block) * kBlock + kMatchFirst, b, kMatchLength) != 0) {
                c_.problem(format(L"the key file cannot be read: %ls", errnoText().c_str()));
                return;
            }
            if (std::equal(a, a + kMatchLength, b))
                note(&alike_, &alikeNamed_,
                     format(L"pad blocks %u and %u agree in bytes 4 to 259, so the index cannot tell them apart",
                            std::min(records[j].block, records[i].block), std::max(records[j].block, records[i].block)));
        }
    }
}

bool Checker::checkRange(uint32_t range, RecordBuckets* records) {
    const uint32_t start = ranges_.start(range), end = ranges_.end(range);
    windowStart_ = start;
    const uint64_t readable = start < have_ ? std::min<uint64_t>(end, have_) : start;
    if (readSlots(index_, start, readable, &window_) < int64_t(readable - start)) {
        c_.problem(format(L"the index cannot be read: %ls", errnoText().c_str()));
        return false;
    }
    window_.resize(end - start, 0);
    for (uint64_t s = start; s < readable; ++s) {
        const uint32_t v = window_[size_t(s - start)];
        if (v == 0) continue;
        if (v >= c_.blocks) {
            note(&outside_, &outsideNamed_,
                 format(L"index slot %llu names block %u, outside the key (0 < block < %u)", (unsigned long long)s,
                        v, c_.blocks));
            continue;
        }
        ++entries_;
    }
    reached_.assign(end - start, false);
    std::vector<uint32_t> later;
    for (uint32_t slot : pending_) {
        if (slot >= start && slot < end) reached_[slot - start] = true;
        else later.push_back(slot);
    }
    pending_.swap(later);

    std::vector<PadRecord> mine;
    if (!records->read(range, &mine)) {
        c_.problem(L"the check cannot go on: " + records->error());
        return false;
    }
    sortByHome(&mine, ranges_, start);
    compareAlike(mine);
    for (const PadRecord& r : mine) {
        if (probe(r, range)) {
            ++found_;
        } else {
            note(&lost_, &lostNamed_, format(L"pad block %u cannot be found through the index", r.block));
        }
    }
    for (uint64_t s = start; s < readable && candidates_.size() < kCandidates; ++s) {
        const uint32_t v = window_[size_t(s - start)];
        if (v != 0 && v < c_.blocks && !reached_[size_t(s - start)]) candidates_.emplace_back(uint32_t(s), v);
    }
    return true;
}

// Why a slot in use is not where its block is found: the block is entered
// twice, or the search from its home slot stops before it.
std::wstring Checker::describeUnreached(uint32_t slot, uint32_t block) {
    uint8_t bytes[kBlock];
    if (readAt(c_.key, uint64_t(block) * kBlock, bytes, kBlock) != 0)
        return format(L"index slot %u names pad block %u, which cannot be read", slot, block);
    const PadRecord record = padRecord(bytes, block);
    uint32_t at = ranges_.home(record);
    for (uint32_t steps = 0; steps < kMaxProbe; ++steps) {
        uint32_t value = 0;
        if (!slotFile_->get(at, &value) || value == 0 || value >= c_.blocks) break;
        if (value == block && at != slot)
            return format(L"block %u is entered in the index more than once (slots %u and %u)", block, at, slot);
        at = ranges_.next(at);
    }
    return format(L"index slot %u names pad block %u, but the search from the block's home slot %u never "
                  L"reaches it there",
                  slot, block, ranges_.home(record));
}

void Checker::report() {
    for (const std::wstring& line : outsideNamed_) c_.problem(line);
    if (outside_ > kNamed)
        c_.problem(format(L"%llu index slots in all point outside the key", (unsigned long long)outside_));
    c_.say(format(L"Index: %u slots, %llu of them in use.", ranges_.slots, (unsigned long long)(entries_ + outside_)));
    if (outside_ == 0) c_.say(L"No index slot points outside the key.");
    if (!keyRead_) return;

    for (const std::wstring& line : lostNamed_) c_.problem(line);
    if (lost_ > kNamed)
        c_.problem(format(L"%llu pad blocks in all cannot be found through the index", (unsigned long long)lost_));
    if (longRuns_ > 0)
        c_.problem(format(L"the index has runs of more than %u taken slots, which a sound index never has", kMaxProbe));
    if (lost_ == 0) c_.say(format(L"Every one of the %u pad blocks can be found through the index.", c_.blocks - 1));

    // Each block found takes one slot in use; the slots in use beyond those
    // name a block twice, or one where the search never reaches it.
    const uint64_t unreached = entries_ - std::min(entries_, found_);
    int named = 0;
    std::sort(wrapped_.begin(), wrapped_.end());
    for (const auto& candidate : candidates_) {
        if (named == kNamed || uint64_t(named) == unreached) break;
        if (std::binary_search(wrapped_.begin(), wrapped_.end(), candidate.first)) continue;
        c_.problem(describeUnreached(candidate.first, candidate.second));
        ++named;
    }
    if (unreached > uint64_t(named))
        c_.problem(format(L"%llu index slots in all name a pad block that is not found there",
                          (unsigned long long)unreached));

    for (const std::wstring& line : alikeNamed_) c_.problem(line);
    if (alike_ > kNamed)
        c_.problem(format(L"%llu pad blocks in all agree with another in bytes 4 to 259", (unsigned long long)alike_));
    if (alike_ == 0) c_.say(L"No two pad blocks agree in bytes 4 to 259.");
}

void Checker::run() {
    if (!openIndex()) {
        if (index_ != nullptr) std::fclose(index_);
        return;
    }
    RecordBuckets records(ranges_, c_.budget.bufferedRecords, std::wstring());
    keyRead_ = readKey(&records);
    {
        ProgressLine line(c_.progress, L"checking the index", ranges_.slots);
        for (uint32_t range = 0; range < ranges_.count(); ++range) {
            if (!checkRange(range, &records)) {
                keyRead_ = false;
                break;
            }
            line.update(ranges_.end(range));
        }
        if (keyRead_) line.finish();
    }
    report();
    std::fclose(index_);
}

}  // namespace

void checkIndex(const IndexCheck& check, uint32_t sample[kSampleBlocks]) {
    std::fill(sample, sample + kSampleBlocks, 0u);
    Checker checker(check, sample);
    checker.run();
}

}  // namespace keydrive
