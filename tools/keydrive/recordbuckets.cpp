#include "tools/keydrive/recordbuckets.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"
#include "tools/keydrive/text.h"

namespace keydrive {

RecordBuckets::RecordBuckets(const SlotRanges& ranges, size_t bufferedRecords, std::wstring scratchFolder)
    : ranges_(ranges), capacity_(bufferedRecords < 1 ? 1 : bufferedRecords), folder_(std::move(scratchFolder)) {
    buffer_.reserve(capacity_);
}

RecordBuckets::~RecordBuckets() {
    if (scratch_ == nullptr) return;
    std::fclose(scratch_);
#ifdef _WIN32
    plat::removeFile(scratchPath_);   // normally gone with the handle already
#endif
}

bool RecordBuckets::fail(const std::wstring& what) {
    error_ = format(L"%ls '%ls': %ls", what.c_str(), scratchPath_.c_str(), errnoText().c_str());
    return false;
}

bool RecordBuckets::openScratch() {
    std::wstring folder = folder_;
    if (folder.empty()) {
        std::error_code ec;
        folder = std::filesystem::temp_directory_path(ec).wstring();
        if (ec || folder.empty()) folder = L".";
    }
    uint32_t unique = 0;
    plat::cryptoRandom(&unique, sizeof unique);
    scratchPath_ = join(folder, format(L"velkin-index-sort-%08x.tmp", unique).c_str());
    errno = 0;
#ifdef _WIN32
    scratch_ = plat::openFile(scratchPath_, L"w+bTD");   // deleted when closed, also by a kill
#else
    scratch_ = plat::openFile(scratchPath_, L"w+b");
    if (scratch_ != nullptr) plat::removeFile(scratchPath_);   // lives on until closed
#endif
    if (scratch_ == nullptr) return fail(L"cannot create the scratch file");
    return true;
}

// Sorts the records by range in place (counting sort); returns where each
// range begins, with one more entry for the end.
std::vector<uint64_t> RecordBuckets::sortByRange(std::vector<PadRecord>* records) const {
    const uint32_t count = ranges_.count();
    std::vector<uint64_t> offsets(size_t(count) + 1, 0);
    for (const PadRecord& r : *records) ++offsets[ranges_.rangeOf(ranges_.home(r)) + 1];
    for (uint32_t i = 0; i < count; ++i) offsets[i + 1] += offsets[i];
    std::vector<uint64_t> at(offsets.begin(), offsets.end() - 1);
    std::vector<PadRecord> sorted(records->size());
    for (const PadRecord& r : *records) sorted[at[ranges_.rangeOf(ranges_.home(r))]++] = r;
    records->swap(sorted);
    return offsets;
}

bool RecordBuckets::add(const PadRecord& record) {
    if (sealed_) {
        aside_.push_back(record);
        return true;
    }
    buffer_.push_back(record);
    if (buffer_.size() < capacity_) return true;
    // A full buffer goes to the scratch file as one run.
    if (scratch_ == nullptr && !openScratch()) return false;
    return writeRun();
}

bool RecordBuckets::writeRun() {
    Run run{written_, sortByRange(&buffer_)};
    errno = 0;
    if (plat::seekFile(scratch_, int64_t(written_ * sizeof(PadRecord)), SEEK_SET) != 0 ||
        std::fwrite(buffer_.data(), sizeof(PadRecord), buffer_.size(), scratch_) != buffer_.size())
        return fail(L"cannot write the scratch file");
    written_ += buffer_.size();
    runs_.push_back(std::move(run));
    buffer_.clear();
    return true;
}

bool RecordBuckets::seal() {
    if (sealed_) return true;
    if (scratch_ != nullptr) {
        // The last, partial run joins the others in the file.
        if (!buffer_.empty() && !writeRun()) return false;
        if (std::fflush(scratch_) != 0) return fail(L"cannot write the scratch file");
        std::vector<PadRecord>().swap(buffer_);
    } else {
        memoryOffsets_ = sortByRange(&buffer_);
        memory_.swap(buffer_);
        std::vector<PadRecord>().swap(buffer_);
    }
    sealed_ = true;
    return true;
}

bool RecordBuckets::read(uint32_t range, std::vector<PadRecord>* records) {
    records->clear();
    if (!sealed_ && !seal()) return false;
    if (!memoryOffsets_.empty())
        records->insert(records->end(), memory_.begin() + ptrdiff_t(memoryOffsets_[range]),
                        memory_.begin() + ptrdiff_t(memoryOffsets_[range + 1]));
    for (const Run& run : runs_) {
        uint64_t first = run.base + run.offsets[range];
        size_t count = size_t(run.offsets[range + 1] - run.offsets[range]);
        if (count == 0) continue;
        size_t at = records->size();
        records->resize(at + count);
        if (readAt(scratch_, first * sizeof(PadRecord), records->data() + at, count * sizeof(PadRecord)) != 0)
            return fail(L"cannot read the scratch file");
    }
    for (const PadRecord& r : aside_)
        if (ranges_.rangeOf(ranges_.home(r)) == range) records->push_back(r);
    return true;
}

}  // namespace keydrive
