// Erasing a file for good.
//
// The file first loses its name: it is renamed three times to random
// hexadecimal names. Then its own data is overwritten three times, in
// place, by random data as long as the file rounded up to whole 1024-byte
// blocks, each pass committed to the disk, and finally the file is removed.
//
// Before the first rename the erase is recorded in the journal of work in
// progress with every name the file will have, so that a run stopped in the
// middle leaves nothing that the next run cannot find and finish.

#include "codec/expunge.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "codec/pending.h"
#include "diag/error.h"
#include "diag/log.h"
#include "diag/testpause.h"
#include "platform/platform.h"
#include "ui/progress.h"

namespace {

constexpr uint32_t kBlockSize = 1024;
constexpr int kPasses = 3;
constexpr int kRenames = 3;

// A path below this length whose name part starts early enough gets a name
// part that fills the path up to 98 or 99 characters.
constexpr std::size_t kFillLimit = 100;
// Longer paths, or paths whose name part starts too late for that, get a
// name part of this many hexadecimal digits.
constexpr std::size_t kFixedDigits = 32;
// Names are kept below this length whatever the system accepts.
constexpr std::size_t kLongestName = 1024;
// The passes write this many blocks at a time.
constexpr uint32_t kBlocksPerWrite = 256;
// Fresh names are drawn this often when a drawn name is taken.
constexpr int kNameAttempts = 8;

const ExpungeTestHooks* testHooks = nullptr;

// Where the name part begins: after the last separator of this build,
// otherwise at the start. The random names stay in the file's own folder.
std::size_t namePartStart(const std::wstring& path) {
    std::size_t at = path.find_last_of(plat::kSeparators);
    return at == std::wstring::npos ? 0 : at + 1;
}

std::size_t nameLimit() {
    std::size_t limit = plat::maxPathLength();
    return limit < kLongestName ? limit : kLongestName;
}

// Number of hexadecimal digits of the random name part for a file first
// named path; 0 when no random name fits.
std::size_t randomDigitsFor(const std::wstring& path) {
    std::size_t k = namePartStart(path);
    if (path.size() < kFillLimit && k <= 97) return 2 * ((99 - k) / 2);
    if (k + kFixedDigits + 1 <= nameLimit()) return kFixedDigits;
    return 0;
}

std::wstring randomName(const std::wstring& current, std::size_t digits, const uint8_t* block) {
    std::wstring name = current.substr(0, namePartStart(current));
    wchar_t pair[3];
    for (std::size_t j = 0; j < digits / 2; ++j) {
        std::swprintf(pair, 3, L"%02x", static_cast<unsigned>(block[j]));
        name += pair;
    }
    return name;
}

// A random block whose name (in the file's folder) is not taken.
int drawFreeName(const std::wstring& path, std::size_t digits, uint8_t* block, std::wstring* name) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        if (!plat::cryptoRandom(block, kBlockSize)) {
            reportError(L"cannot expunge file '%ls': the system gives no random numbers", path.c_str());
            return 1;
        }
        *name = randomName(path, digits, block);
        if (!plat::fileInfo(*name, nullptr)) return 0;
    }
    reportError(L"cannot expunge file '%ls': no free random name was found", path.c_str());
    return 1;
}

// Adds to a failure already reported which file it was and where it is now.
void reportLeftAs(const std::wstring& original, const std::wstring& name) {
    std::wstring reported = lastErrorText;
    reportError(L"%ls (the file being erased, '%ls', is left as '%ls')", reported.c_str(),
                original.c_str(), name.c_str());
}

void showProgress(double fraction) {
    if (testHooks && testHooks->progress) testHooks->progress(fraction);
    progressUpdate(fraction);
}

// Writes `count` blocks of the pattern from the start of the file; the
// progress moves one step per block when `progressBase` is not negative.
// Each write is sent on to the disk at once, so that the pass's commit
// finds little left to do.
int writeBlocks(FILE* f, const uint8_t* run, uint64_t count, double progressBase, double progressTotal) {
    uint64_t done = 0;
    while (done < count) {
        uint64_t now = count - done < kBlocksPerWrite ? count - done : kBlocksPerWrite;
        if (std::fwrite(run, kBlockSize, static_cast<std::size_t>(now), f) != now) return 1;
        plat::startWriteback(f, done * kBlockSize, now * kBlockSize);
        if (progressBase >= 0) {
            for (uint64_t i = 0; i < now; ++i)
                showProgress((progressBase + static_cast<double>(done + i)) / progressTotal);
        }
        done += now;
    }
    return 0;
}

// Overwrites the held file three times in place; before each pass its
// name must still hold it. 1 after reporting.
int overwritePasses(FILE* f, const std::wstring& name, const uint8_t* pattern, bool progress) {
    // Unbuffered: every pass goes to the file itself, whole writes at a time.
    std::setvbuf(f, nullptr, _IONBF, 0);
    // A length that cannot be learnt is a failure: taken as 0, the passes
    // would write nothing over the content and still call the file erased.
    int64_t length = -1;
    errno = 0;
    if (plat::seekFile(f, 0, SEEK_END) == 0) length = plat::tellFile(f);
    if (length < 0) {
        reportError(L"cannot open file '%ls': %ls", name.c_str(), stdErrorText());
        return 1;
    }
    const uint64_t size = static_cast<uint64_t>(length);
    const uint64_t whole = size / kBlockSize;                           // blocks within the file
    const uint64_t blocks = (size + kBlockSize - 1) / kBlockSize;       // rounded up
    static uint8_t run[kBlocksPerWrite * kBlockSize];
    for (uint32_t i = 0; i < kBlocksPerWrite; ++i) std::memcpy(run + i * kBlockSize, pattern, kBlockSize);

    const double total = static_cast<double>(blocks * kPasses);
    for (int pass = 0; pass < kPasses; ++pass) {
        if (!plat::nameHolds(name, f)) {
            reportError(L"cannot erase '%ls': another file was put under that name while it was being "
                        L"erased",
                        name.c_str());
            return 1;
        }
        const double base = progress ? static_cast<double>(blocks * pass) : -1.0;
        errno = 0;
        bool failed = plat::seekFile(f, 0, SEEK_SET) != 0 || writeBlocks(f, run, whole, base, total) != 0;
        // The last partial block: its bytes within the file must be
        // overwritten; the rounding beyond them may find no room on a full
        // volume and is then left out.
        if (!failed && blocks > whole) {
            const std::size_t inside = static_cast<std::size_t>(size - whole * kBlockSize);
            failed = std::fwrite(pattern, 1, inside, f) != inside;
            if (!failed && std::fwrite(pattern + inside, 1, kBlockSize - inside, f) != kBlockSize - inside) {
                std::clearerr(f);
                errno = 0;
            }
            if (!failed && progress) showProgress((base + static_cast<double>(whole)) / total);
        }
        if (failed || plat::commitFile(f) != 0) {
            reportError(L"cannot write '%ls': %ls", name.c_str(), stdErrorText());
            return 1;
        }
        if (testHooks && testHooks->afterPass) testHooks->afterPass(name.c_str(), pass);
    }
    return 0;
}

// Removes the held file's name, committed at once unless the caller
// commits its folder later. 1 after reporting.
int removeErased(FILE* f, const std::wstring& name, bool commitNow = true) {
    errno = 0;
    switch (plat::removeHeld(f, name, commitNow)) {
    case plat::HeldStep::Done:
        return 0;
    case plat::HeldStep::Elsewhere:
        reportError(L"error removing file '%ls': another file was put under that name while it was "
                    L"being erased",
                    name.c_str());
        return 1;
    case plat::HeldStep::Failed:
        break;
    }
    reportError(L"error removing file '%ls': %ls", name.c_str(), stdErrorText());
    return 1;
}

// Opens the file to erase under its name, for writing, without following a
// link; checks that it is one regular file of one name whose length can be
// learnt. nullptr after reporting.
FILE* openForErasing(const std::wstring& path, plat::FileId* id) {
    errno = 0;
    FILE* f = plat::openNoFollow(path, true, id);
    if (!f) {
        if (errno == EISDIR) {
            reportError(L"cannot expunge '%ls': it is a folder, not a file", path.c_str());
        } else if (errno == ELOOP) {
            reportError(L"cannot erase '%ls': it is a link; links are not followed", path.c_str());
        } else if (errno == EINVAL) {
            reportError(L"cannot find the length of file '%ls', so it cannot be erased: it is not a "
                        L"regular file",
                        path.c_str());
        } else {
            reportError(L"cannot open file '%ls' for writing, so it cannot be erased: %ls", path.c_str(),
                        stdErrorText());
        }
        return nullptr;
    }
    // Its data is overwritten where it lies: under any other name of the
    // file it would be destroyed as well.
    if (id->links > 1) {
        reportError(L"'%ls' has %u names (hard links): erasing it would destroy it under its other "
                    L"names as well, so it was left as it is; remove its other names first",
                    path.c_str(), static_cast<unsigned>(id->links));
        std::fclose(f);
        return nullptr;
    }
    errno = 0;
    int64_t length = -1;
    if (plat::seekFile(f, 0, SEEK_END) == 0) length = plat::tellFile(f);
    if (length < 0 || plat::seekFile(f, 0, SEEK_SET) != 0) {
        reportError(L"cannot find the length of file '%ls', so it cannot be erased: %ls", path.c_str(),
                    stdErrorText());
        std::fclose(f);
        return nullptr;
    }
    return f;
}

int checkPathForNames(const std::wstring& path) {
    if (path.size() + 1 > nameLimit() || randomDigitsFor(path) == 0) {
        reportError(L"cannot expunge file '%ls': the path is too long to rename the file to a "
                    L"random name; move it to a shorter path first",
                    path.c_str());
        return 1;
    }
    return 0;
}

// The version read is not the one under the name now: which is where.
void reportChanged(const EraseOrder& order) {
    const wchar_t* path = order.path.c_str();
    const wchar_t* counterpart = order.counterpart.c_str();
    switch (order.role) {
    case EraseRole::Plaintext:
        reportError(L"'%ls' was not erased: it changed after it was read for encryption (a new version "
                    L"was saved under its name). The new version is kept as '%ls'; '%ls' holds the "
                    L"encrypted copy of the version that was read",
                    path, path, counterpart);
        return;
    case EraseRole::Encrypted:
        reportError(L"'%ls' was not erased: it changed after it was read for decryption (a new version "
                    L"was saved under its name). The new version is kept as '%ls' and was not "
                    L"decrypted; '%ls' holds the plaintext of the version that was read",
                    path, path, counterpart);
        return;
    case EraseRole::Other:
        break;
    }
    reportError(L"'%ls' was not erased: it changed since it was checked; it is kept as it is", path);
}

PendingKind recordKindOf(EraseRole role) {
    switch (role) {
    case EraseRole::Plaintext: return PendingKind::ErasePlaintext;
    case EraseRole::Encrypted: return PendingKind::EraseEncrypted;
    case EraseRole::Other: break;
    }
    return PendingKind::Erase;
}

bool isLowerHex(const std::wstring& text, std::size_t from) {
    if (from >= text.size()) return false;
    for (std::size_t i = from; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    }
    return true;
}

}  // namespace

void setExpungeTestHooks(const ExpungeTestHooks* hooks) { testHooks = hooks; }

bool isRandomNameFor(const std::wstring& name, const std::wstring& path) {
    const std::size_t k = namePartStart(path);
    const std::size_t digits = randomDigitsFor(path);
    return digits != 0 && name.size() == k + digits && name.compare(0, k, path, 0, k) == 0 &&
           namePartStart(name) == k && isLowerHex(name, k);
}

bool holdsOverwriteData(FILE* f, const std::wstring& lastName) {
    const std::size_t k = namePartStart(lastName);
    if (!isLowerHex(lastName, k)) return false;
    std::vector<uint8_t> spelled;
    for (std::size_t i = k; i + 1 < lastName.size(); i += 2) {
        auto digit = [](wchar_t c) { return c <= L'9' ? c - L'0' : c - L'a' + 10; };
        spelled.push_back(static_cast<uint8_t>(digit(lastName[i]) * 16 + digit(lastName[i + 1])));
    }
    std::vector<uint8_t> first(spelled.size());
    if (plat::seekFile(f, 0, SEEK_SET) != 0) return false;
    const std::size_t got = std::fread(first.data(), 1, first.size(), f);
    // The passes leave at least one whole block: a file shorter than the
    // spelled bytes holds none of them.
    return got == first.size() && !first.empty() && first == spelled;
}

int checkExpungeable(const wchar_t* path) {
    const std::wstring p = path;
    if (checkPathForNames(p) != 0) return 1;
    plat::FileId id;
    FILE* f = openForErasing(p, &id);
    if (!f) return 1;
    std::fclose(f);
    return 0;
}

int wipeAndRemove(const std::wstring& name, const wchar_t* shownName, const plat::FileId* expected) {
    uint8_t pattern[kBlockSize];
    if (!plat::cryptoRandom(pattern, sizeof pattern)) {
        reportError(L"cannot erase file '%ls': the system gives no random numbers", name.c_str());
        return 1;
    }
    plat::FileId held;
    errno = 0;
    FILE* f = plat::openNoFollow(name, true, &held);
    if (!f) {
        reportError(L"cannot open file '%ls': %ls", name.c_str(), stdErrorText());
        return 1;
    }
    if (expected && !plat::sameFileId(held, *expected)) {
        reportError(L"cannot erase '%ls': another file was put under that name; it was left as it is",
                    name.c_str());
        std::fclose(f);
        return 1;
    }
    if (shownName) progressBegin(L"Deleting %ls", shownName, L"Deleting");
    int failed = overwritePasses(f, name, pattern, shownName != nullptr) != 0 || removeErased(f, name) != 0;
    if (std::fclose(f) != 0 && !failed) {
        reportError(L"cannot write '%ls': %ls", name.c_str(), stdErrorText());
        failed = 1;
    }
    if (shownName) progressEnd();
    return failed;
}

EraseOrder eraseOrderFor(const std::wstring& path, const plat::FileId& read, EraseRole role,
                         const std::wstring& counterpart) {
    EraseOrder order;
    order.path = path;
    order.expectedKnown = true;
    order.expected = read;
    order.role = role;
    order.counterpart = counterpart;
    plat::nameIdentity(counterpart, &order.counterpartId);
    return order;
}

int expungeFile(const wchar_t* path) {
    EraseOrder order;
    order.path = path;
    return eraseFile(order);
}

namespace {

// The record and names of an erase; the record's identity is left to the
// caller.
int drawPlan(const EraseOrder& order, ErasePlan* plan) {
    const std::wstring& original = order.path;
    PendingRecord& record = plan->record;
    record.kind = recordKindOf(order.role);
    record.counterpart = order.counterpart.empty() ? std::wstring() : plat::absolutePath(order.counterpart);
    record.counterpartId = order.counterpartId;
    // The third block is the overwrite data of every pass (its first bytes
    // spell the last name).
    const std::size_t digits = randomDigitsFor(original);
    record.paths.assign(1, plat::absolutePath(original));
    recordFolderOf(record.paths[0], &record);
    for (int turn = 0; turn < kRenames; ++turn) {
        std::wstring& name = plan->names[turn];
        if (drawFreeName(original, digits, plan->blocks[turn], &name) != 0) return 1;
        record.paths.push_back(plat::absolutePath(name));
    }
    return 0;
}

}  // namespace

int planErase(const EraseOrder& order, ErasePlan* plan) {
    if (checkPathForNames(order.path) != 0) return 1;
    plan->record.id = order.expected;
    return drawPlan(order, plan);
}

int eraseFile(const EraseOrder& order, ErasePlan* staged) {
    const std::wstring& original = order.path;
    const wchar_t* path = original.c_str();
    // A planned erase whose file is not renamed ends its record.
    auto giveUp = [&]() {
        if (staged) endPending(staged->ticket);
        return 1;
    };
    if (checkPathForNames(original) != 0) return giveUp();
    // The file is held from here on: every step below acts on it, and on no
    // other file that its names may come to hold.
    plat::FileId opened;
    FILE* f = openForErasing(original, &opened);
    if (!f) return giveUp();
    if (order.expectedKnown && !plat::sameVersion(opened, order.expected)) {
        reportChanged(order);
        std::fclose(f);
        return giveUp();
    }
    ErasePlan own;
    ErasePlan* plan = staged ? staged : &own;
    PendingRecord& record = plan->record;
    uint32_t& ticket = plan->ticket;
    if (!staged) {
        // 1. The names the file will have.
        record.id = opened;
        if (drawPlan(order, &own) != 0 || beginPending(record, &ticket) != 0) {
            std::fclose(f);
            return 1;
        }
    }
    const std::size_t digits = randomDigitsFor(original);
    auto& blocks = plan->blocks;
    std::wstring* names = plan->names;
    testPause(L"erasing");

    // 2. Three renames, none of which replaces a file; a name taken in the
    // meantime is drawn again (and recorded before it is used). Until the
    // first rename has happened, a failure leaves the file as it was.
    std::wstring current = original;
    for (int turn = 0; turn < kRenames; ++turn) {
        for (int attempt = 1;; ++attempt) {
            errno = 0;
            const plat::HeldStep step = plat::renameHeld(f, current, names[turn]);
            if (step == plat::HeldStep::Done) break;
            int failed = 0;
            if (step == plat::HeldStep::Elsewhere) {
                if (turn == 0) reportChanged(order);
                else reportError(L"cannot erase '%ls': it was moved away from '%ls' while it was being erased",
                                 path, current.c_str());
                failed = 1;
            } else if (errno != EEXIST || attempt >= kNameAttempts) {
                reportError(L"cannot rename file '%ls' to '%ls': %ls", current.c_str(),
                            names[turn].c_str(), stdErrorText());
                failed = 1;
            } else if (drawFreeName(original, digits, blocks[turn], &names[turn]) != 0) {
                failed = 1;
            } else {
                record.paths[1 + turn] = plat::absolutePath(names[turn]);
                failed = updatePending(ticket, record);
            }
            if (failed) {
                std::fclose(f);
                if (turn == 0) endPending(ticket);
                else if (step != plat::HeldStep::Elsewhere) reportLeftAs(original, current);
                return 1;
            }
        }
        current = names[turn];
    }

    // 3. Three passes over the file's own data, then 4. the removal.
    testPause(L"renamed");
    progressBegin(L"Deleting %ls", path, L"Deleting");
    // A planned erase (of a batch) leaves the commit of the removal to the
    // batch: what it removes holds nothing of the file any more.
    int failed = overwritePasses(f, current, blocks[kRenames - 1], true) != 0 ||
                 removeErased(f, current, staged == nullptr) != 0;
    if (std::fclose(f) != 0 && !failed) {
        reportError(L"cannot write '%ls': %ls", current.c_str(), stdErrorText());
        failed = 1;
    }
    progressEnd();
    if (failed) {
        reportLeftAs(original, current);
        return 1;   // the record stays: the next run tries again
    }
    endPending(ticket);
    logMessage(L"file '%ls' expunged", path);
    return 0;
}
