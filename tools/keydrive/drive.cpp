// Making and checking key drives.
//
// A key drive holds SETTINGS/KEY.DAT (N blocks of 1024 random bytes; block 0
// identifies the key, blocks 1 to N-1 are pad), SETTINGS/INDEX.DAT (10 x N
// little-endian 32-bit slots: a pad block is entered in the first empty slot
// at or after its home slot, bytes 4..7 of the block read big-endian modulo
// 10 x N, wrapping from the last slot to slot 0) and SETTINGS/STATUS.DAT
// (highWaterMark, firstBlock, lastBlock, little-endian 32-bit each).

#include "tools/keydrive/drive.h"
#include "tools/keydrive/launchers.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <filesystem>
#include <future>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "diag/error.h"
#include "diag/log.h"
#include "drive/util.h"
#include "key/key.h"
#include "key/keybytes.h"
#include "platform/platform.h"
#include "tools/keydrive/indexbuild.h"
#include "tools/keydrive/indexcheck.h"
#include "tools/keydrive/progress.h"
#include "tools/keydrive/durable.h"
#include "tools/keydrive/padcheck.h"
#include "tools/keydrive/range.h"
#include "tools/keydrive/recordbuckets.h"
#include "tools/keydrive/text.h"

namespace keydrive {
namespace {

bool exists(const std::wstring& path) {
    plat::FileInfo info;
    return plat::fileInfo(path, &info);
}

void stopsAfter(const MakeOptions& options, int step) {
    if (options.stopAfterStep == step) std::_Exit(kMakeStopped);
}

// Fills the first `count` blocks of *buffer. With `parallel` (the system's
// source, which may be asked from several threads at once) in the background
// and split over the processors; otherwise in order when the result is asked
// for.
std::future<bool> drawChunk(RandomSource random, bool parallel, std::vector<uint8_t>* buffer,
                            uint32_t count) {
    auto policy = parallel ? std::launch::async : std::launch::deferred;
    return std::async(policy, [random, parallel, buffer, count]() {
        uint8_t* data = buffer->data();
        size_t length = size_t(count) * kBlock;
        unsigned parts = parallel ? std::max(1u, std::min(8u, std::thread::hardware_concurrency())) : 1;
        if (parts == 1 || count < parts) return random(data, length);
        size_t part = (count / parts) * size_t(kBlock);
        std::vector<std::future<bool>> others;
        for (unsigned i = 1; i < parts; ++i) {
            size_t from = part * i, to = i + 1 == parts ? length : part * (i + 1);
            others.push_back(std::async(std::launch::async,
                                        [random, data, from, to]() { return random(data + from, to - from); }));
        }
        bool ok = random(data, part);
        for (auto& f : others) ok = f.get() && ok;
        return ok;
    });
}

// Writes the key file a chunk at a time, the next chunk drawn while this one
// is written, and hands every pad block's record to *records.
int writeKey(FILE* key, uint32_t blocks, RandomSource random, bool parallel, ProgressLine* progress,
             RecordBuckets* records, std::wstring* error) {
    std::vector<uint8_t> chunk(size_t(kChunkBlocks) * kBlock);
    std::vector<uint8_t> ahead(size_t(kChunkBlocks) * kBlock);
    std::future<bool> drawing = drawChunk(random, parallel, &ahead, std::min(kChunkBlocks, blocks));
    for (uint32_t start = 0; start < blocks; start += kChunkBlocks) {
        uint32_t count = std::min(kChunkBlocks, blocks - start);
        bool drawn = drawing.get();
        chunk.swap(ahead);
        if (!drawn) {
            *error = L"cannot obtain random bytes from the system";
            return 1;
        }
        uint32_t nextStart = start + count;
        if (nextStart < blocks)
            drawing = drawChunk(random, parallel, &ahead, std::min(kChunkBlocks, blocks - nextStart));
        // Block 0 identifies the key and is never entered.
        for (uint32_t i = start == 0 ? 1 : 0; i < count; ++i) {
            if (!records->add(padRecord(chunk.data() + size_t(i) * kBlock, start + i))) {
                *error = records->error();
                return 1;
            }
        }
        errno = 0;
        if (std::fwrite(chunk.data(), kBlock, count, key) != count) {
            *error = format(L"cannot write the key file: %ls", errnoText().c_str());
            return 1;
        }
        progress->update(uint64_t(start) + count);
    }
    return 0;
}

int writeStatus(FILE* f, uint32_t blocks, std::wstring* error) {
    uint8_t record[12];
    writeLe32(record, 1);               // highWaterMark: the first pad block
    writeLe32(record + 4, 1);           // firstBlock
    writeLe32(record + 8, blocks - 1);  // lastBlock: the last pad block
    errno = 0;
    if (std::fwrite(record, 1, sizeof record, f) != sizeof record) {
        *error = format(L"cannot write the usage record: %ls", errnoText().c_str());
        return 1;
    }
    return 0;
}

// Programs for Windows: every program on this build, and a program named
// *.exe whatever build copies it.
bool endsWithExe(const std::wstring& path) {
#ifdef _WIN32
    return true;
#endif
    if (path.size() < 4) return false;
    std::wstring end = path.substr(path.size() - 4);
    for (wchar_t& c : end) c = static_cast<wchar_t>(std::towlower(c));
    return end == L".exe";
}

const wchar_t* const kCommandNames[] = {L"Decrypt", L"Encrypt", L"Open", L"Status"};

// The folder of a program's path, with its separator; empty without one.
std::wstring programFolderOf(const std::wstring& program) {
    std::size_t cut = program.find_last_of(L"/\\");
    return cut == std::wstring::npos ? std::wstring() : program.substr(0, cut + 1);
}

int copyProgram(const std::wstring& program, const std::wstring& folder, std::wstring* error) {
    for (const wchar_t* name : kCommandNames) {
        std::wstring target = join(folder, name);
        std::wstring source = program;
        // A Windows program keeps its extension, also when copied on Linux.
        // Beside it the Windows build has the same program under each
        // command's name with that command's own icon: those are copied.
        if (endsWithExe(program)) {
            target += L".exe";
            std::wstring named = programFolderOf(program) + name + L".exe";
            if (exists(named)) source = named;
        }
        std::error_code ec;
        std::filesystem::copy_file(std::filesystem::path(source), std::filesystem::path(target),
                                   std::filesystem::copy_options::overwrite_existing, ec);
        if (ec) {
            *error = format(L"cannot copy '%ls' to '%ls'", source.c_str(), target.c_str());
            return 1;
        }
    }
    return 0;
}

// ---- Secure Workspace siblings: the archive tool and the file manager,
// copied from beside the program into SETTINGS.

int copySiblings(const std::wstring& program, const std::wstring& folder, std::wstring* error) {
    for (const SiblingCopy& sibling : workspaceSiblings(program)) {
        if (!exists(sibling.source)) continue;
        std::wstring target = join(join(folder, L"SETTINGS"), sibling.name.c_str());
        std::error_code ec;
        std::filesystem::copy_file(std::filesystem::path(sibling.source), std::filesystem::path(target),
                                   std::filesystem::copy_options::overwrite_existing, ec);
        if (ec) {
            *error = format(L"cannot copy '%ls' to '%ls'", sibling.source.c_str(), target.c_str());
            return 1;
        }
    }
    return 0;
}

// A stream closed when it goes out of scope, unless closed before.
struct OpenFile {
    FILE* f = nullptr;
    ~OpenFile() {
        if (f != nullptr) std::fclose(f);
    }
    // Commits and closes; false (errno set) when either fails.
    bool commitAndClose() {
        bool ok = plat::commitFile(f) == 0;
        ok = std::fclose(f) == 0 && ok;
        f = nullptr;
        return ok;
    }
};

class KeyFileMaker {
public:
    KeyFileMaker(const MakeOptions& options, uint32_t blocks, const std::wstring& settings,
                 MakeResult* result, std::wstring* error)
        : options_(options), blocks_(blocks), settings_(settings), result_(result), error_(error) {
        keyPath_ = join(settings, L"KEY.DAT");
        indexPath_ = join(settings, L"INDEX.DAT");
        statusPath_ = join(settings, L"STATUS.DAT");
        digestPath_ = join(settings, L"KEYSUM.DAT");
    }
    int run();

private:
    int write();
    int create(OpenFile* file, const std::wstring& path) {
        errno = 0;
        file->f = plat::openFile(path, L"wb+");
        if (file->f == nullptr) {
            *error_ = format(L"cannot create '%ls': %ls", path.c_str(), errnoText().c_str());
            return 1;
        }
        made_.push_back(path);
        return 0;
    }
    int failWriting(const wchar_t* what) {
        *error_ = format(L"cannot write %ls: %ls", what, errnoText().c_str());
        return 1;
    }

    const MakeOptions& options_;
    uint32_t blocks_;
    std::wstring settings_, keyPath_, indexPath_, statusPath_, digestPath_;
    MakeResult* result_;
    std::wstring* error_;
    std::vector<std::wstring> made_;   // what a failure takes back
};

// The key file, the index and the usage record under temporary names.
int KeyFileMaker::write() {
    const SlotRanges ranges(blocks_ * kSlotsPerBlock, options_.budget.rangeSlots);
    // The records go to a scratch file beside the key when they outgrow the
    // memory set aside for them: its room is counted before anything is made.
    RecordBuckets records(ranges, options_.budget.bufferedRecords, settings_);
    const ProgressOutput output = consoleProgress(options_.showProgress);
    // A given source is asked in order, from one thread.
    const bool parallel = options_.random == nullptr;
    const RandomSource random = parallel ? plat::cryptoRandom : options_.random;

    OpenFile key, index, status;
    if (create(&key, keyPath_ + L".tmp") != 0) return 1;
    {
        ProgressLine line(output, L"writing the key", blocks_);
        if (writeKey(key.f, blocks_, random, parallel, &line, &records, error_) != 0) return 1;
        line.finish();
    }
    stopsAfter(options_, kMakeStepKeyWritten);
    if (create(&index, indexPath_ + L".tmp") != 0) return 1;
    {
        ProgressLine line(output, L"building the index", ranges.slots);
        IndexBuild build;
        build.key = key.f;
        build.index = index.f;
        build.blocks = blocks_;
        build.ranges = ranges;
        build.records = &records;
        build.random = random;
        build.progress = &line;
        if (buildIndex(build, &result_->redrawnBlocks, error_) != 0) return 1;
        line.finish();
    }
    if (!key.commitAndClose()) return failWriting(L"the key file");
    if (!index.commitAndClose()) return failWriting(L"the index");
    stopsAfter(options_, kMakeStepIndexWritten);
    if (create(&status, statusPath_ + L".tmp") != 0) return 1;
    if (writeStatus(status.f, blocks_, error_) != 0) return 1;
    if (!status.commitAndClose()) return failWriting(L"the usage record");
    // The key file's digest, read back from the disk's copy, finds decay later.
    made_.push_back(digestPath_ + L".tmp");
    if (writePadDigestFile(keyPath_ + L".tmp", digestPath_ + L".tmp", nullptr, output, error_) != 0) return 1;
    stopsAfter(options_, kMakeStepRecordWritten);
    return 0;
}

// The key files get their names only when all three are complete and on
// the disk, and the key file last: a folder counts as a drive only with it.
// A failure takes back what was made and names what it could not remove.
int KeyFileMaker::run() {
    // The key files are for the user alone.
    OwnerOnlyFiles ownerOnly;
    int failed = write();
    if (!failed) {
        // 0: no stop of its own.
        const std::pair<const std::wstring*, int> names[] = {{&indexPath_, kMakeStepIndexNamed},
                                                             {&digestPath_, 0},
                                                             {&statusPath_, kMakeStepRecordNamed},
                                                             {&keyPath_, kMakeStepKeyNamed}};
        for (const auto& name : names) {
            const std::wstring* path = name.first;
            const std::wstring temp = *path + L".tmp";
            if (plat::renameNoReplace(temp, *path) != 0) {
                *error_ = format(L"cannot rename '%ls' to '%ls': %ls", temp.c_str(), path->c_str(),
                                 errnoText().c_str());
                failed = 1;
                break;
            }
            made_.erase(std::find(made_.begin(), made_.end(), temp));
            made_.push_back(*path);
            if (name.second != 0) stopsAfter(options_, name.second);
        }
    }
    std::wstring why;
    if (!failed && !syncFolder(settings_, &why)) {
        *error_ = format(L"the key drive is made, but the names of its key files in '%ls' could not be committed "
                         L"to the disk: %ls. Do not unplug the drive yet, and check it with 'velkin-keydrive check'",
                         settings_.c_str(), why.c_str());
        return 1;
    }
    if (!failed) return 0;
    std::vector<std::wstring> left;
    for (const std::wstring& path : made_)
        if (plat::removeFile(path) != 0 && exists(path)) left.push_back(path);
    if (left.empty()) {
        *error_ += format(L". '%ls' holds no key; nothing of the key was left behind.", options_.folder.c_str());
    } else {
        std::wstring names;
        for (const std::wstring& path : left) names += (names.empty() ? L"'" : L", '") + path + L"'";
        *error_ += format(L". '%ls' holds no key, but %ls could not be removed: remove %ls by hand, or run "
                          L"make again, which replaces %ls.",
                          options_.folder.c_str(), names.c_str(), left.size() == 1 ? L"it" : L"them",
                          left.size() == 1 ? L"it" : L"them");
    }
    return 1;
}

// Runs fn with the key drive's folder as the current directory and the key
// store closed before and after, as the program sees the drive.
template <typename Fn>
int withKeyStore(const std::wstring& folder, std::wstring* report, Fn fn) {
    std::wstring saved = plat::currentDir();
    if (plat::setCurrentDir(folder) != 0) {
        *report += format(L"Cannot enter the folder '%ls'.\n", folder.c_str());
        return 1;
    }
    std::wcsncpy(keyDriveRoot, L".", kPathSize);
    closeKeyStoreForTest();
    int result = fn();
    closeKeyStoreForTest();
    // What the key store logged went to this drive's log; the next drive's
    // goes to its own.
    closeLog();
    plat::setCurrentDir(saved);
    return result;
}

// The key number and usage through the key store, as the status command
// shows them.
int describeThroughStore(std::wstring* report) {
    const wchar_t* number = keyNumberText();
    if (std::wcscmp(number, L"?") == 0) {
        *report += format(L"The key number cannot be read: %ls\n", lastErrorText);
        return 1;
    }
    *report += format(L"Key number: %ls\n", number);
    if (openKeyStore() != 0) {
        *report += format(L"The key store cannot be opened: %ls\n", lastErrorText);
        return 1;
    }
    double usage = 0;
    bool backup = false;
    if (keyUsage(&usage, &backup) != 0) {
        *report += format(L"The key usage cannot be read: %ls\n", lastErrorText);
        return 1;
    }
    if (backup) {
        *report += L"Key usage: none, a backup drive (decrypts only)\n";
        return 0;
    }
    *report += format(L"Key usage: %.1f%%\n", usage);
    return 0;
}

class Checker {
public:
    Checker(const std::wstring& folder, std::wstring* report, bool showProgress, const IndexBudget& budget)
        : folder_(folder), report_(report), showProgress_(showProgress), budget_(budget) {}
    int run();

private:
    void say(const std::wstring& line) { *report_ += line + L"\n"; }
    void problem(const std::wstring& line) {
        ++problems_;
        *report_ += L"PROBLEM: " + line + L"\n";
    }
    bool checkKeyFile();
    void checkStatus();
    void checkThroughStore();

    std::wstring folder_;
    std::wstring* report_;
    bool showProgress_;
    IndexBudget budget_;
    int problems_ = 0;
    FILE* key_ = nullptr;
    uint32_t blocks_ = 0;
    uint32_t sample_[kSampleBlocks] = {};   // pad blocks tried through the key store
};

bool Checker::checkKeyFile() {
    std::wstring path = join(join(folder_, L"SETTINGS"), L"KEY.DAT");
    key_ = plat::openFile(path, L"rb");
    if (key_ == nullptr) {
        problem(format(L"the key file '%ls' cannot be opened: %ls", path.c_str(), errnoText().c_str()));
        std::vector<std::wstring> leftovers = unfinishedKeyFiles(folder_);
        if (!leftovers.empty()) {
            std::wstring names;
            for (const std::wstring& p : leftovers) names += (names.empty() ? L"'" : L", '") + p + L"'";
            say(format(L"The folder holds %ls without a key: what a make or split that did not finish leaves. "
                       L"It is no key drive; run the make or split again, which replaces %ls, or remove %ls.",
                       names.c_str(), leftovers.size() == 1 ? L"it" : L"them",
                       leftovers.size() == 1 ? L"it" : L"them"));
        }
        return false;
    }
    int64_t size = -1;
    if (plat::seekFile(key_, 0, SEEK_END) == 0) size = plat::tellFile(key_);
    if (size < 0) {
        problem(format(L"the size of the key file cannot be read: %ls", errnoText().c_str()));
        return false;
    }
    uint64_t blocks = uint64_t(size) / kBlock;
    say(format(L"Key file: %lld bytes, %llu key blocks.", (long long)size, (unsigned long long)blocks));
    if (uint64_t(size) % kBlock != 0)
        say(format(L"Its last %llu bytes do not make a whole key block and are never used.",
                   (unsigned long long)(uint64_t(size) % kBlock)));
    if (blocks < 2) {
        problem(L"the key file holds no pad block (block 0 only identifies the key)");
        return false;
    }
    if (blocks > kMaxKeyBlocks) {
        problem(format(L"the key file is too large: at most %llu key blocks are supported",
                       (unsigned long long)kMaxKeyBlocks));
        return false;
    }
    blocks_ = uint32_t(blocks);
    return true;
}

void Checker::checkStatus() {
    std::wstring path = join(join(folder_, L"SETTINGS"), L"STATUS.DAT");
    FILE* f = plat::openFile(path, L"rb");
    if (f == nullptr) {
        problem(format(L"the usage record '%ls' cannot be opened: %ls", path.c_str(), errnoText().c_str()));
        return;
    }
    uint8_t record[13];
    size_t got = std::fread(record, 1, sizeof record, f);
    std::fclose(f);
    if (got != 12) {
        problem(format(L"the usage record holds %ls bytes, it should hold 12",
                       got > 12 ? L"more than 12" : std::to_wstring(got).c_str()));
        return;
    }
    uint32_t high = readLe32(record), first = readLe32(record + 4), last = readLe32(record + 8);
    if (isBackupUsageRecord(high, first, last)) {
        say(L"Usage record: a backup drive (decrypts only), with no range of its own.");
        return;
    }
    say(format(L"Usage record: high water mark %u, first block %u, last block %u.", high, first, last));
    int before = problems_;
    if (high < 1) problem(L"the high water mark is 0: the next file would be encrypted with block 0");
    if (first < 1) problem(L"the first block is 0, which identifies the key and is no pad block");
    if (high < first)
        problem(format(L"the high water mark %u lies below the first block %u: the next file would be "
                       L"encrypted with blocks outside the drive's range, which a partner drive may use",
                       high, first));
    if (blocks_ != 0 && last > blocks_ - 1)
        problem(format(L"the last block %u lies beyond the last pad block %u", last, blocks_ - 1));
    if (uint64_t(high) > uint64_t(last) + 1)
        problem(format(L"the high water mark %u lies beyond the last block %u plus one", high, last));
    if (problems_ == before) {
        uint64_t left = high <= last ? uint64_t(last) - high + 1 : 0;
        say(format(L"The usage record is sound; %llu pad blocks (%llu bytes) are left.",
                   (unsigned long long)left, (unsigned long long)(left * kBlock)));
        if (blocks_ != 0) *report_ += describeRange(UsageRecord{high, first, last}, blocks_);
    }
}

// The program's own key store must find a spread of pad blocks and serve
// them back unchanged.
void Checker::checkThroughStore() {
    withKeyStore(folder_, report_, [this]() {
        if (describeThroughStore(report_) != 0) {
            ++problems_;
            return 1;
        }
        uint8_t block[kBlock];
        for (uint32_t b : sample_) {
            if (b == 0) continue;
            if (readAt(key_, uint64_t(b) * kBlock, block, kBlock) != 0) continue;
            const uint8_t* served = nullptr;
            if (findKeyBlock(block) != 0 || (served = nextKeyBlock()) == nullptr ||
                std::memcmp(served, block, kBlock) != 0) {
                problem(format(L"the program does not find pad block %u through the index", b));
            }
        }
        return 0;
    });
}

int Checker::run() {
    say(format(L"Key drive '%ls':", folder_.c_str()));
    if (checkKeyFile()) {
        IndexCheck check;
        check.key = key_;
        check.blocks = blocks_;
        check.indexPath = join(join(folder_, L"SETTINGS"), L"INDEX.DAT");
        check.budget = budget_;
        check.progress = consoleProgress(showProgress_);
        check.say = [this](const std::wstring& line) { say(line); };
        check.problem = [this](const std::wstring& line) { problem(line); };
        checkIndex(check, sample_);
    }
    checkStatus();
    if (blocks_ != 0) checkThroughStore();
    if (blocks_ != 0) problems_ += checkPadDigest(folder_, consoleProgress(showProgress_), report_);
    if (key_ != nullptr) std::fclose(key_);
    if (problems_ == 0) {
        say(L"The key drive is sound.");
        return 0;
    }
    say(format(L"The key drive has %d problem%ls.", problems_, problems_ == 1 ? L"" : L"s"));
    return 1;
}

}  // namespace

bool parseSize(const std::wstring& text, uint64_t* bytes) {
    if (text.empty()) return false;
    uint64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        if (value > (UINT64_MAX - 9) / 10) return false;
        value = value * 10 + uint64_t(text[i] - L'0');
    }
    if (i == 0) return false;
    int shift = 0;
    if (i < text.size()) {
        switch (text[i]) {
            case L'K': case L'k': shift = 10; break;
            case L'M': case L'm': shift = 20; break;
            case L'G': case L'g': shift = 30; break;
            default: return false;
        }
        if (++i != text.size()) return false;
    }
    if (shift != 0 && value > (UINT64_MAX >> shift)) return false;
    *bytes = value << shift;
    return true;
}

std::vector<std::wstring> unfinishedKeyFiles(const std::wstring& folder) {
    const std::wstring settings = join(folder, L"SETTINGS");
    std::vector<std::wstring> found;
    if (exists(join(settings, L"KEY.DAT"))) return found;
    for (const wchar_t* name : {L"INDEX.DAT", L"STATUS.DAT", L"KEYSUM.DAT", L"KEY.DAT.tmp", L"INDEX.DAT.tmp",
                                L"STATUS.DAT.tmp", L"KEYSUM.DAT.tmp"}) {
        std::wstring path = join(settings, name);
        if (exists(path)) found.push_back(path);
    }
    return found;
}

uint64_t makeRoomNeeded(uint64_t keyBytes, const IndexBudget& budget, uint64_t programBytes) {
    const uint64_t blocks = keyBytes / kBlock;
    const uint64_t indexBytes = blocks * kSlotsPerBlock * 4;
    // The pad blocks' records go to a scratch file while the index is built.
    const uint64_t scratch = blocks - 1 >= budget.bufferedRecords ? RecordBuckets::scratchBytes(blocks - 1) : 0;
    return keyBytes + indexBytes + 12 + scratch + programBytes + kRoomMargin;
}

namespace {

// The folder itself or, when it is not made yet, the nearest one above it
// that exists: the volume it will be made on.
std::wstring existingFolderOf(const std::wstring& folder) {
    std::filesystem::path path = std::filesystem::absolute(std::filesystem::path(folder));
    std::error_code ec;
    while (!std::filesystem::exists(path, ec) && path.has_parent_path() && path.parent_path() != path)
        path = path.parent_path();
    return path.wstring();
}

// The bytes the program copies take: the four copies, the launchers and the
// Workspace programs, each in whole clusters of up to 64 KiB.
uint64_t programRoom(const std::wstring& program) {
    if (program.empty()) return 0;
    auto rounded = [](uint64_t bytes) { return (bytes + 0xFFFF) & ~uint64_t(0xFFFF); };
    plat::FileInfo info;
    uint64_t room = plat::fileInfo(program, &info) ? 4 * rounded(info.size) : 0;
    room += 4 * rounded(1);   // launchers
    for (const SiblingCopy& sibling : workspaceSiblings(program))
        if (plat::fileInfo(sibling.source, &info)) room += rounded(info.size);
    return room;
}

// A key that the volume cannot hold is refused before anything is written.
int checkRoomForMake(const MakeOptions& options, const std::vector<std::wstring>& leftovers, std::wstring* error) {
    const std::wstring folder = existingFolderOf(options.folder);
    uint64_t freeBytes = 0;
    bool fat = false;
    auto volume = options.volume != nullptr ? options.volume : plat::volumeSpace;
    if (!volume(join(folder, L"x"), &freeBytes, &fat)) return 0;   // the writes will tell
    if (fat && options.sizeBytes > kFatFileLimit) {
        *error = format(L"'%ls' lies on a FAT32 volume, where no file can reach 4 GiB, so it cannot hold a "
                        L"key file of %ls. Make a key of at most 4095M there, or use a stick formatted with "
                        L"exFAT or NTFS.",
                        options.folder.c_str(), sizeText(options.sizeBytes).c_str());
        return 1;
    }
    for (const std::wstring& path : leftovers) {
        plat::FileInfo info;
        if (plat::fileInfo(path, &info)) freeBytes = freeBytes > UINT64_MAX - info.size ? UINT64_MAX : freeBytes + info.size;
    }
    const uint64_t programs = programRoom(options.programPath);
    const uint64_t needed = makeRoomNeeded(options.sizeBytes, options.budget, programs);
    if (needed <= freeBytes) return 0;
    // The largest key that fits, in whole MiB: each byte of key takes about
    // 1 + 52/1024 bytes with its index and the scratch records.
    uint64_t fits = 0;
    const uint64_t fixed = 12 + programs + kRoomMargin;
    if (freeBytes > fixed) fits = ((freeBytes - fixed) / 1076 * 1024) >> 20;
    if (fat && fits > 4095) fits = 4095;
    std::wstring advice = fits >= 1 ? format(L" A key of at most %lluM fits there.", (unsigned long long)fits)
                                    : std::wstring(L" Free some room or choose another volume.");
    *error = format(L"there is not enough room on the volume of '%ls' for a key of %ls: the key file, its "
                    L"index, the work space for building it and the programs need %ls (%llu bytes), but "
                    L"only %ls (%llu bytes) are free.%ls",
                    options.folder.c_str(), sizeText(options.sizeBytes).c_str(), sizeText(needed).c_str(),
                    (unsigned long long)needed, sizeText(freeBytes).c_str(), (unsigned long long)freeBytes,
                    advice.c_str());
    return 1;
}

}  // namespace

int makeDrive(const MakeOptions& options, std::wstring* error, MakeResult* result) {
    MakeResult ignored;
    if (result == nullptr) result = &ignored;
    *result = MakeResult();
    const uint64_t size = options.sizeBytes;
    if (size % kBlock != 0) {
        *error = format(L"the key size %llu is not a multiple of 1024 bytes", (unsigned long long)size);
        return 1;
    }
    if (size / kBlock < kMinKeyBlocks || size / kBlock > kMaxKeyBlocks) {
        *error = format(L"the key size must lie between %llu and %llu bytes",
                        (unsigned long long)(kMinKeyBlocks * kBlock),
                        (unsigned long long)(kMaxKeyBlocks * kBlock));
        return 1;
    }
    const uint32_t blocks = uint32_t(size / kBlock);
    const std::wstring settings = join(options.folder, L"SETTINGS");
    const std::wstring keyPath = join(settings, L"KEY.DAT");
    if (exists(keyPath)) {
        *error = format(L"'%ls' exists already; a key drive is never made over an existing key", keyPath.c_str());
        return 1;
    }
    if (!options.programPath.empty()) {
        plat::FileInfo info;
        if (!plat::fileInfo(options.programPath, &info) || info.isDirectory) {
            *error = format(L"the program '%ls' to copy onto the drive does not exist",
                            options.programPath.c_str());
            return 1;
        }
    }
    // Key files without a key are what a make or split cut short left.
    const std::vector<std::wstring> leftovers = unfinishedKeyFiles(options.folder);
    for (const std::wstring& path : leftovers) {
        plat::FileInfo info;
        if (plat::fileInfo(path, &info) && info.isDirectory) {
            *error = format(L"'%ls' is a folder", path.c_str());
            return 1;
        }
    }
    if (checkRoomForMake(options, leftovers, error) != 0) return 1;

    for (const std::wstring& folder : {options.folder, settings, join(options.folder, L"LOG"),
                                       join(options.folder, L"TEMP")}) {
        if (!plat::createDirectory(folder)) {
            *error = format(L"cannot create the folder '%ls'", folder.c_str());
            return 1;
        }
    }
    keepFolderPrivate(settings);
    for (const std::wstring& path : leftovers) {
        if (plat::removeFile(path) != 0) {
            *error = format(L"cannot remove '%ls', left by a make or split that did not finish: %ls",
                            path.c_str(), errnoText().c_str());
            return 1;
        }
    }
    result->replacedLeftovers = !leftovers.empty();
    // The programs first and the key last: a make cut short leaves no key.
    if (!options.programPath.empty()) {
        if (copyProgram(options.programPath, options.folder, error) != 0) return 1;
#ifndef _WIN32
        // Launchers for Linux file managers beside the copies.
        if (writeLaunchers(options.folder, error) != 0) return 1;
#endif
        if (copySiblings(options.programPath, options.folder, error) != 0) return 1;
    }
    stopsAfter(options, kMakeStepProgramsCopied);
    KeyFileMaker maker(options, blocks, settings, result, error);
    return maker.run();
}

std::vector<SiblingCopy> workspaceSiblings(const std::wstring& programPath) {
    std::wstring folder = programFolderOf(programPath);
    std::wstring extension = endsWithExe(programPath) ? L".exe" : L"";
    std::vector<SiblingCopy> siblings;
    for (const wchar_t* name : {L"bkgui", L"bkfm"})
        siblings.push_back(SiblingCopy{folder + name + extension, name + extension});
    return siblings;
}

int checkDrive(const std::wstring& folder, std::wstring* report, bool showProgress, const IndexBudget& budget) {
    Checker checker(folder, report, showProgress, budget);
    return checker.run();
}

int driveStatus(const std::wstring& folder, std::wstring* report) {
    int result = withKeyStore(folder, report, [report]() { return describeThroughStore(report); });
    if (result != 0) return result;
    uint32_t blocks = 0;
    UsageRecord record;
    std::wstring error;
    if (!readDriveRange(folder, &blocks, &record, &error)) {
        *report += L"The range cannot be read: " + error + L"\n";
        return 1;
    }
    *report += describeRange(record, blocks);
    return 0;
}

}  // namespace keydrive
