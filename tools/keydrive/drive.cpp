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
#include "drive/util.h"
#include "key/key.h"
#include "key/keybytes.h"
#include "platform/platform.h"
#include "tools/keydrive/range.h"
#include "tools/keydrive/text.h"

namespace keydrive {
namespace {

constexpr uint32_t kBlock = kKeyBlockSize;
constexpr uint32_t kSlotsPerBlock = 10;
constexpr uint32_t kChunkBlocks = 4096;          // 4 MiB of key per write
constexpr size_t kMatchFirst = 4;                // bytes 4..259 identify a block
constexpr size_t kMatchLength = 256;

// A cheap stand-in for bytes 4..259 of a block: two blocks that agree there
// agree in these eight bytes, so only equal fingerprints need a full compare.
uint64_t fingerprint(const uint8_t* block) {
    uint64_t v = 0;
    std::memcpy(&v, block + kMatchFirst, sizeof v);
    return v;
}

uint32_t homeSlot(const uint8_t* block, uint32_t slots) {
    return readBe32(block + kMatchFirst) % slots;
}

bool exists(const std::wstring& path) {
    plat::FileInfo info;
    return plat::fileInfo(path, &info);
}

int readAt(FILE* f, uint64_t offset, void* buffer, size_t length) {
    if (plat::seekFile(f, int64_t(offset), SEEK_SET) != 0) return 1;
    return std::fread(buffer, 1, length, f) == length ? 0 : 1;
}

int writeAll(FILE* f, const void* buffer, size_t length) {
    return std::fwrite(buffer, 1, length, f) == length ? 0 : 1;
}

class Progress {
public:
    explicit Progress(bool on) : on_(on) {}
    void show(uint64_t done, uint64_t total) {
        if (!on_) return;
        int percent = total == 0 ? 100 : int(done * 100 / total);
        if (percent == last_) return;
        last_ = percent;
        std::fprintf(stderr, "\rmaking key drive: %3d%%", percent);
        std::fflush(stderr);
    }
    void finish() {
        if (on_ && last_ >= 0) std::fprintf(stderr, "\n");
    }

private:
    bool on_;
    int last_ = -1;
};

// Writes the key file and builds its index in memory. A pad block that
// agrees in bytes 4..259 with an earlier one could not be told apart from it
// by the index; it is drawn again.
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

int writeKeyAndIndex(FILE* key, uint32_t blocks, RandomSource random, bool parallel,
                     Progress* progress, std::vector<uint32_t>* index, std::wstring* error) {
    const uint32_t slots = blocks * kSlotsPerBlock;
    std::vector<uint64_t> prints(blocks, 0);
    // The next chunk is drawn while this one is indexed and written.
    std::vector<uint8_t> chunk(size_t(kChunkBlocks) * kBlock);
    std::vector<uint8_t> ahead(size_t(kChunkBlocks) * kBlock);
    std::future<bool> drawing = drawChunk(random, parallel, &ahead, std::min(kChunkBlocks, blocks));
    uint8_t earlier[kMatchLength];
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
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t b = start + i;
            if (b == 0) continue;   // block 0 identifies the key and is never entered
            uint8_t* block = chunk.data() + size_t(i) * kBlock;
            for (;;) {
                uint64_t print = fingerprint(block);
                uint32_t slot = homeSlot(block, slots);
                bool duplicate = false;
                while ((*index)[slot] != 0) {
                    uint32_t other = (*index)[slot];
                    if (prints[other] == print) {
                        const uint8_t* theirs;
                        if (other >= start) {
                            theirs = chunk.data() + size_t(other - start) * kBlock + kMatchFirst;
                        } else {
                            if (readAt(key, uint64_t(other) * kBlock + kMatchFirst, earlier,
                                       kMatchLength) != 0) {
                                *error = format(L"cannot read back the key file: %ls",
                                                errnoText().c_str());
                                                return 1;
                            }
                            theirs = earlier;
                        }
                        if (std::memcmp(theirs, block + kMatchFirst, kMatchLength) == 0) {
                            duplicate = true;
                            break;
                        }
                    }
                    slot = slot + 1 == slots ? 0 : slot + 1;
                }
                if (!duplicate) {
                    (*index)[slot] = b;
                    prints[b] = print;
                    break;
                }
                if (!random(block, kBlock)) {
                    *error = L"cannot obtain random bytes from the system";
                    return 1;
                }
            }
        }
        if (plat::seekFile(key, int64_t(start) * kBlock, SEEK_SET) != 0 ||
            writeAll(key, chunk.data(), size_t(count) * kBlock) != 0) {
            *error = format(L"cannot write the key file: %ls", errnoText().c_str());
            return 1;
        }
        progress->show(uint64_t(start) + count, blocks);
    }
    if (plat::commitFile(key) != 0) {
        *error = format(L"cannot write the key file: %ls", errnoText().c_str());
        return 1;
    }
    return 0;
}

int writeIndex(FILE* f, const std::vector<uint32_t>& index, std::wstring* error) {
    std::vector<uint8_t> bytes(size_t(1) << 20);
    size_t per = bytes.size() / 4;
    for (size_t start = 0; start < index.size(); start += per) {
        size_t count = std::min(per, index.size() - start);
        for (size_t i = 0; i < count; ++i) writeLe32(bytes.data() + 4 * i, index[start + i]);
        if (writeAll(f, bytes.data(), 4 * count) != 0) {
            *error = format(L"cannot write the index: %ls", errnoText().c_str());
            return 1;
        }
    }
    if (plat::commitFile(f) != 0) {
        *error = format(L"cannot write the index: %ls", errnoText().c_str());
        return 1;
    }
    return 0;
}

int writeStatus(FILE* f, uint32_t blocks, std::wstring* error) {
    uint8_t record[12];
    writeLe32(record, 1);               // highWaterMark: the first pad block
    writeLe32(record + 4, 1);           // firstBlock
    writeLe32(record + 8, blocks - 1);  // lastBlock: the last pad block
    if (writeAll(f, record, sizeof record) != 0 || plat::commitFile(f) != 0) {
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

// Creates `path`, has `fill` write it (0 on success, else *error set) and
// closes it; `what` names the file in messages.
template <typename Fill>
int writeNewFile(const std::wstring& path, const wchar_t* mode, const wchar_t* what,
                 std::wstring* error, Fill fill) {
    FILE* f = plat::openFile(path, mode);
    if (f == nullptr) {
        *error = format(L"cannot create '%ls': %ls", path.c_str(), errnoText().c_str());
        return 1;
    }
    int failed = fill(f);
    if (std::fclose(f) != 0 && !failed) {
        *error = format(L"cannot write %ls: %ls", what, errnoText().c_str());
        failed = 1;
    }
    return failed;
}

// Makes the three key files under temporary names and gives them their
// names only when all are complete and on the disk.
int makeKeyFiles(const MakeOptions& options, uint32_t blocks, const std::wstring& settings,
                 std::wstring* error) {
    const std::wstring keyPath = join(settings, L"KEY.DAT");
    const std::wstring indexPath = join(settings, L"INDEX.DAT");
    const std::wstring statusPath = join(settings, L"STATUS.DAT");
    const std::wstring keyTemp = keyPath + L".tmp";
    const std::wstring indexTemp = indexPath + L".tmp";
    const std::wstring statusTemp = statusPath + L".tmp";

    std::vector<uint32_t> index;
    try {
        index.assign(size_t(blocks) * kSlotsPerBlock, 0);
    } catch (const std::bad_alloc&) {
        *error = L"not enough memory to build the index of a key of this size";
        return 1;
    }

    Progress progress(options.showProgress);
    // A given source is asked in order, from one thread.
    bool parallel = options.random == nullptr;
    RandomSource random = parallel ? plat::cryptoRandom : options.random;
    int failed = writeNewFile(keyTemp, L"wb+", L"the key file", error, [&](FILE* f) {
        return writeKeyAndIndex(f, blocks, random, parallel, &progress, &index, error);
    });
    progress.finish();
    if (failed ||
        writeNewFile(indexTemp, L"wb", L"the index", error,
                     [&](FILE* f) { return writeIndex(f, index, error); }) != 0 ||
        writeNewFile(statusTemp, L"wb", L"the usage record", error,
                     [&](FILE* f) { return writeStatus(f, blocks, error); }) != 0)
        return 1;

    // The key file comes last: a drive is only taken as made when it has one.
    const std::pair<const std::wstring*, const std::wstring*> renames[] = {
        {&indexTemp, &indexPath}, {&statusTemp, &statusPath}, {&keyTemp, &keyPath}};
    for (const auto& r : renames) {
        if (plat::renameNoReplace(*r.first, *r.second) != 0) {
            *error = format(L"cannot rename '%ls' to '%ls': %ls", r.first->c_str(),
                            r.second->c_str(), errnoText().c_str());
            return 1;
        }
    }
    return 0;
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
    lastErrorText[0] = L'\0';
    double usage = keyUsagePercent();
    if (lastErrorText[0] != L'\0') {
        *report += format(L"The key usage cannot be read: %ls\n", lastErrorText);
        return 1;
    }
    *report += format(L"Key usage: %.1f%%\n", usage);
    return 0;
}

class Checker {
public:
    Checker(const std::wstring& folder, std::wstring* report) : folder_(folder), report_(report) {}
    int run();

private:
    void say(const std::wstring& line) { *report_ += line + L"\n"; }
    void problem(const std::wstring& line) {
        ++problems_;
        *report_ += L"PROBLEM: " + line + L"\n";
    }
    bool checkKeyFile();
    bool loadIndex();
    void checkSlots();
    void checkBlocks();
    void checkStatus();
    void checkThroughStore();

    std::wstring folder_;
    std::wstring* report_;
    int problems_ = 0;
    FILE* key_ = nullptr;
    uint32_t blocks_ = 0;
    uint32_t slots_ = 0;
    std::vector<uint32_t> index_;
    uint32_t sample_[8] = {};   // pad blocks tried through the key store
};

bool Checker::checkKeyFile() {
    std::wstring path = join(join(folder_, L"SETTINGS"), L"KEY.DAT");
    key_ = plat::openFile(path, L"rb");
    if (key_ == nullptr) {
        problem(format(L"the key file '%ls' cannot be opened: %ls", path.c_str(), errnoText().c_str()));
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
    slots_ = blocks_ * kSlotsPerBlock;
    return true;
}

bool Checker::loadIndex() {
    std::wstring path = join(join(folder_, L"SETTINGS"), L"INDEX.DAT");
    FILE* f = plat::openFile(path, L"rb");
    if (f == nullptr) {
        problem(format(L"the index '%ls' cannot be opened: %ls", path.c_str(), errnoText().c_str()));
        return false;
    }
    try {
        index_.assign(slots_, 0);
    } catch (const std::bad_alloc&) {
        std::fclose(f);
        problem(L"not enough memory to check an index of this size");
        return false;
    }
    std::vector<uint8_t> bytes(size_t(1) << 20);
    size_t per = bytes.size() / 4, have = 0;
    while (have < slots_) {
        size_t want = std::min(per, size_t(slots_) - have);
        size_t got = std::fread(bytes.data(), 4, want, f) ;
        for (size_t i = 0; i < got; ++i) index_[have + i] = readLe32(bytes.data() + 4 * i);
        have += got;
        if (got < want) break;
    }
    bool longer = have == slots_ && std::fgetc(f) != EOF;
    std::fclose(f);
    if (have < slots_) {
        problem(format(L"the index holds %llu slots, but a key of %u blocks needs %u",
                       (unsigned long long)have, blocks_, slots_));
        index_.resize(have);
    } else if (longer) {
        say(L"The index is longer than the key needs; the bytes after its last slot are never read.");
    }
    return !index_.empty();
}

void Checker::checkSlots() {
    uint64_t entries = 0, outside = 0, twice = 0;
    std::vector<uint8_t> seen(blocks_, 0);
    for (size_t s = 0; s < index_.size(); ++s) {
        uint32_t v = index_[s];
        if (v == 0) continue;
        ++entries;
        if (v >= blocks_) {
            if (++outside <= 5)
                problem(format(L"index slot %llu names block %u, outside the key (0 < block < %u)",
                               (unsigned long long)s, v, blocks_));
            continue;
        }
        if (seen[v]++ && ++twice <= 5) problem(format(L"block %u is entered in the index more than once", v));
    }
    if (outside > 5) problem(format(L"%llu index slots in all point outside the key", (unsigned long long)outside));
    if (twice > 5) problem(format(L"%llu blocks in all are entered more than once", (unsigned long long)twice));
    say(format(L"Index: %u slots, %llu of them in use.", slots_, (unsigned long long)entries));
    if (outside == 0) say(L"No index slot points outside the key.");
}

// Every pad block must be reached from its home slot before an empty slot;
// no two pad blocks may agree in bytes 4..259.
void Checker::checkBlocks() {
    std::vector<std::pair<uint64_t, uint32_t>> prints;
    prints.reserve(blocks_ - 1);
    std::vector<uint8_t> chunk(size_t(kChunkBlocks) * kBlock);
    uint64_t lost = 0;
    bool readFailed = false;
    for (uint32_t start = 0; start < blocks_ && !readFailed; start += kChunkBlocks) {
        uint32_t count = std::min(kChunkBlocks, blocks_ - start);
        if (readAt(key_, uint64_t(start) * kBlock, chunk.data(), size_t(count) * kBlock) != 0) {
            problem(format(L"the key file cannot be read: %ls", errnoText().c_str()));
            readFailed = true;
            break;
        }
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t b = start + i;
            if (b == 0) continue;
            const uint8_t* block = chunk.data() + size_t(i) * kBlock;
            prints.emplace_back(fingerprint(block), b);
            uint32_t slot = homeSlot(block, slots_);
            bool found = false;
            for (uint32_t step = 0; step < slots_ && slot < index_.size(); ++step) {
                uint32_t v = index_[slot];
                if (v == 0 || v >= blocks_) break;   // the key store stops here too
                if (v == b) {
                    found = true;
                    break;
                }
                slot = slot + 1 == slots_ ? 0 : slot + 1;
            }
            if (!found && ++lost <= 5) problem(format(L"pad block %u cannot be found through the index", b));
            uint32_t pick = (b * 2654435761u) >> 29;   // a spread of blocks for the store to find
            if (sample_[pick] == 0) sample_[pick] = b;
        }
    }
    if (readFailed) return;
    if (lost > 5) problem(format(L"%llu pad blocks in all cannot be found through the index", (unsigned long long)lost));
    if (lost == 0) say(format(L"Every one of the %u pad blocks can be found through the index.", blocks_ - 1));

    std::sort(prints.begin(), prints.end());
    uint64_t alike = 0;
    uint8_t a[kMatchLength], b[kMatchLength];
    for (size_t runStart = 0, runEnd; runStart < prints.size(); runStart = runEnd) {
        runEnd = runStart + 1;
        while (runEnd < prints.size() && prints[runEnd].first == prints[runStart].first) ++runEnd;
        // Equal fingerprints (almost never more than two): compare in full.
        for (size_t i = runStart + 1; i < runEnd; ++i) {
            for (size_t j = runStart; j < i; ++j) {
                if (readAt(key_, uint64_t(prints[j].second) * kBlock + kMatchFirst, a, kMatchLength) != 0 ||
                    readAt(key_, uint64_t(prints[i].second) * kBlock + kMatchFirst, b, kMatchLength) != 0) {
                    problem(format(L"the key file cannot be read: %ls", errnoText().c_str()));
                    return;
                }
                if (std::memcmp(a, b, kMatchLength) == 0 && ++alike <= 5)
                    problem(format(L"pad blocks %u and %u agree in bytes 4 to 259, so the index cannot tell them apart",
                                   prints[j].second, prints[i].second));
            }
        }
    }
    if (alike > 5) problem(format(L"%llu pad blocks in all agree with another in bytes 4 to 259", (unsigned long long)alike));
    if (alike == 0) say(L"No two pad blocks agree in bytes 4 to 259.");
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
    if (checkKeyFile() && loadIndex()) {
        checkSlots();
        checkBlocks();
    }
    checkStatus();
    if (blocks_ != 0) checkThroughStore();
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

int makeDrive(const MakeOptions& options, std::wstring* error) {
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
    for (const wchar_t* name : {L"KEY.DAT", L"INDEX.DAT", L"STATUS.DAT"}) {
        std::wstring path = join(settings, name);
        if (exists(path)) {
            *error = format(L"'%ls' exists already; a key drive is never made over an existing key",
                            path.c_str());
            return 1;
        }
    }
    if (!options.programPath.empty()) {
        plat::FileInfo info;
        if (!plat::fileInfo(options.programPath, &info) || info.isDirectory) {
            *error = format(L"the program '%ls' to copy onto the drive does not exist",
                            options.programPath.c_str());
            return 1;
        }
    }
    for (const std::wstring& folder : {options.folder, settings, join(options.folder, L"LOG"),
                                       join(options.folder, L"TEMP")}) {
        if (!plat::createDirectory(folder)) {
            *error = format(L"cannot create the folder '%ls'", folder.c_str());
            return 1;
        }
    }
    if (makeKeyFiles(options, blocks, settings, error) != 0) return 1;
    if (!options.programPath.empty() && copyProgram(options.programPath, options.folder, error) != 0)
        return 1;
#ifndef _WIN32
    // Launchers for Linux file managers beside the copies.
    if (!options.programPath.empty() && writeLaunchers(options.folder, error) != 0) return 1;
#endif
    if (!options.programPath.empty() && copySiblings(options.programPath, options.folder, error) != 0)
        return 1;
    return 0;
}

std::vector<SiblingCopy> workspaceSiblings(const std::wstring& programPath) {
    std::wstring folder = programFolderOf(programPath);
    std::wstring extension = endsWithExe(programPath) ? L".exe" : L"";
    std::vector<SiblingCopy> siblings;
    for (const wchar_t* name : {L"bkgui", L"bkfm"})
        siblings.push_back(SiblingCopy{folder + name + extension, name + extension});
    return siblings;
}

int checkDrive(const std::wstring& folder, std::wstring* report) {
    Checker checker(folder, report);
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
