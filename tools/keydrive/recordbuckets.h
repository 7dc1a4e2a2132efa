// The pad blocks' records sorted into the ranges of their home slots, in
// bounded memory: records gather in a buffer; a full buffer is sorted by
// range and written to a scratch file as one run, and reading a range takes
// its part of every run. Records that fit the buffer never touch a file.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/keydrive/padindex.h"

namespace keydrive {

class RecordBuckets {
public:
    // scratchFolder: where a scratch file goes when the records outgrow the
    // buffer; empty: the system's temporary folder. The file has no name
    // left on the disk once open (POSIX), or goes when it is closed
    // (Windows), so a run that is killed leaves none behind.
    RecordBuckets(const SlotRanges& ranges, size_t bufferedRecords, std::wstring scratchFolder);
    ~RecordBuckets();
    RecordBuckets(const RecordBuckets&) = delete;
    RecordBuckets& operator=(const RecordBuckets&) = delete;

    // false when the scratch file failed; error() says why.
    bool add(const PadRecord& record);
    // Ends the gathering. Records added later (a few redrawn blocks) are
    // kept aside and read with their range.
    bool seal();
    // The records whose home slot lies in `range`, in no particular order.
    bool read(uint32_t range, std::vector<PadRecord>* records);
    const std::wstring& error() const { return error_; }
    // Bytes the scratch file may take for `records` records.
    static uint64_t scratchBytes(uint64_t records) { return records * sizeof(PadRecord); }

private:
    struct Run {
        uint64_t base;                  // first record of the run in the file
        std::vector<uint64_t> offsets;  // per range, ranges + 1 entries
    };
    bool openScratch();
    bool writeRun();
    std::vector<uint64_t> sortByRange(std::vector<PadRecord>* records) const;
    bool fail(const std::wstring& what);

    SlotRanges ranges_;
    size_t capacity_;
    std::wstring folder_;
    std::wstring scratchPath_;
    FILE* scratch_ = nullptr;
    uint64_t written_ = 0;              // records in the scratch file
    std::vector<PadRecord> buffer_;
    std::vector<Run> runs_;
    bool sealed_ = false;
    std::vector<PadRecord> memory_;     // the only run when no file was needed
    std::vector<uint64_t> memoryOffsets_;
    std::vector<PadRecord> aside_;
    std::wstring error_;
};

}  // namespace keydrive
