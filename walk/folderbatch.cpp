// A dropped folder's files, a batch at a time (see folderbatch.h).
//
// A batch runs in steps, each over all its files:
//  1. check: what each file needs (the checks of a single file, before any
//     key is spent);
//  2. outputs: their records in one record file, then the empty temporary
//     outputs, then their identities in the same record file;
//  3. key: the blocks of all files in one reservation (Encrypt);
//  4. write: each file encrypted or decrypted into its temporary output,
//     which is committed and put under its name;
//  5. erases: their records, with the names drawn ahead, in one record file;
//  6. erase: each source, the very version that was read.
// A file that fails a step is reported and left; the others go on.

#include "walk/folderbatch.h"

#include <string>
#include <vector>

#include "codec/bufferedwrite.h"
#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "codec/expunge.h"
#include "codec/pending.h"
#include "diag/error.h"
#include "diag/log.h"
#include "diag/testpause.h"
#include "drive/util.h"
#include "key/key.h"
#include "platform/platform.h"

namespace {

struct Item {
    BatchFile file;
    bool failed = false;
    bool finished = false;    // nothing (more) to do for it
    bool eraseOnly = false;   // its counterpart was written by an earlier run
    std::wstring target;      // the output to write
    uint32_t keyBlocks = 0;
    bool staged = false;
    StagedOutput output;
    plat::FileId read;        // the source as read
    std::wstring out;         // the counterpart written
    bool planned = false;
    ErasePlan erase;
    // Left for the next batch: the temporary name drawn for it was taken.
    bool deferred = false;
    int deferrals = 0;
};

// A file is left for the next batch this many times at most.
constexpr int kMostDeferrals = 8;

BatchWork batchWork = BatchWork::Encrypt;
std::vector<Item> items;
uint64_t batchBytes = 0;
std::size_t recordBytes = 0;

// At most what an erase's record of the file takes in the journal: its
// five paths (each at most 100 code units longer than the file's, at four
// bytes each) and the numbers around them.
std::size_t recordBytesOf(const BatchFile& file) {
    return 5 * (4 + 4 * (plat::absolutePath(file.path).size() + 100)) + 256;
}

std::wstring withoutTrailingSeparator(const std::wstring& folder) {
    std::wstring path = folder;
    while (path.size() > 1 && (path.back() == plat::kSep || path.back() == L'/') &&
           !(path.size() == 3 && path[1] == L':'))
        path.pop_back();
    return path;
}

void fail(Item& item) {
    item.failed = true;
    item.finished = true;
}

void defer(Item& item) {
    item.deferred = true;
    item.finished = true;
}

// 1. What the file needs, checked as for a single file.
void checkItem(Item& item) {
    const wchar_t* path = item.file.path.c_str();
    plat::FileId there;
    if (!plat::nameIdentity(withoutTrailingSeparator(item.file.folder), &there) ||
        there.kind != plat::FileKind::Folder || !plat::sameFileId(there, item.file.folderId)) {
        walkLeaveAlone(item.file.path, L"its folder was moved or replaced while it was being walked");
        item.finished = true;
        return;
    }
    int32_t isEncrypted = 0, isArchive = 0;
    if (probeFile(path, &isEncrypted, &isArchive) != 0) return fail(item);
    const wchar_t* folder = item.file.folder.c_str();
    if (batchWork == BatchWork::Encrypt) {
        if (isEncrypted) {
            item.finished = true;
            return;
        }
        if (checkExpungeable(path) != 0) return fail(item);
        item.out = finishedEncryptionOf(path, &item.read);
        if (!item.out.empty()) {
            logMessage(L"'%ls' holds '%ls' encrypted already: only the erasing is left", item.out.c_str(), path);
            item.eraseOnly = true;
            return;
        }
        EncryptionNeeds needs;
        if (checkEncryption(folder, path, nullptr, &needs, &item.file.id) != 0) return fail(item);
        item.target = needs.target;
        item.keyBlocks = needs.keyBlocks;
        return;
    }
    if (!isEncrypted) {
        if (leftUndecrypted(path, isArchive != 0) != 0) fail(item);
        else item.finished = true;
        return;
    }
    item.out = finishedDecryptionOf(path, &item.read);
    if (!item.out.empty()) {
        logMessage(L"'%ls' holds the plaintext of '%ls' already: only the erasing is left", item.out.c_str(),
                   path);
        item.eraseOnly = true;
        return;
    }
    // An encrypted file that is erased afterwards must be erasable before
    // anything is written for it; one whose plaintext takes its own name is
    // not erased.
    std::wstring storedName;
    if (readStoredName(path, &storedName) != 0) return fail(item);
    if (!plat::sameFile(item.file.folder + storedName, path) && checkExpungeable(path) != 0) return fail(item);
    DecryptionNeeds needs;
    if (probeFile(path, &isEncrypted, &isArchive) != 0 || !isEncrypted ||
        checkDecryption(path, folder, &needs) != 0)
        return fail(item);
    item.target = needs.output;
}

// Removes a temporary output made ahead and never opened, while it is
// still the very file made, and ends its record.
void dropStaged(Item& item) {
    if (!item.staged || item.output.taken) return;
    item.staged = false;
    plat::removeExpected(item.output.temp, item.output.id, true);
    endPending(item.output.ticket);
}

// 2. The temporary outputs of the batch, recorded before they exist and
// again with their identities, one record file for all. 1 when none can
// be written (reported).
int stageOutputs() {
    const PendingKind kind =
        batchWork == BatchWork::Encrypt ? PendingKind::EncryptedOutput : PendingKind::PlainOutput;
    std::vector<Item*> staging;
    std::vector<PendingRecord> records;
    for (Item& item : items) {
        if (item.finished || item.eraseOnly) continue;
        const std::wstring temp = newTempName(item.target.c_str());
        if (temp.empty()) {
            reportError(L"cannot open a temporary file for '%ls': the system gives no random numbers",
                        item.target.c_str());
            fail(item);
            continue;
        }
        item.output.temp = temp;
        PendingRecord record;
        record.kind = kind;
        record.paths = {plat::absolutePath(temp), plat::absolutePath(item.target)};
        recordFolderOf(record.paths[1], &record);
        records.push_back(record);
        staging.push_back(&item);
    }
    if (staging.empty()) return 0;
    std::vector<uint32_t> tickets;
    if (beginPendingBatch(records, &tickets) != 0) {
        for (Item* item : staging) fail(*item);
        return 1;
    }
    std::vector<uint32_t> made;
    std::vector<PendingRecord> identified;
    for (std::size_t i = 0; i < staging.size(); ++i) {
        Item& item = *staging[i];
        item.output.ticket = tickets[i];
        const int created = createStagedOutput(item.output.temp, &item.output.id);
        if (created != 0) {
            endPending(tickets[i]);
            if (created == 2 && item.deferrals < kMostDeferrals) {
                defer(item);
            } else {
                if (created == 2) reportError(L"cannot open '%ls': a file of that name exists already",
                                              item.output.temp.c_str());
                fail(item);
            }
            continue;
        }
        item.staged = true;
        records[i].id = item.output.id;
        made.push_back(tickets[i]);
        identified.push_back(records[i]);
    }
    if (!made.empty() && updatePendingBatch(made, identified) != 0) {
        for (Item* item : staging) {
            if (!item->staged) continue;
            dropStaged(*item);
            fail(*item);
        }
        return 1;
    }
    testPause(L"batch-staged");
    return 0;
}

// 3. The key blocks of every output, in one reservation.
int reserveBatchKey() {
    uint64_t blocks = 0;
    for (const Item& item : items)
        if (item.staged) blocks += item.keyBlocks;
    if (blocks == 0) return 0;
    if (openKeyStore() == 0 && reserveKeyBatch(blocks) == 0) return 0;
    for (Item& item : items) {
        if (!item.staged) continue;
        dropStaged(item);
        fail(item);
    }
    return 1;
}

// 4. One file into its temporary output, put under its name.
void writeItem(Item& item) {
    const wchar_t* path = item.file.path.c_str();
    const wchar_t* written = nullptr;
    int failed = 0;
    if (batchWork == BatchWork::Encrypt) {
        EncryptChecks checks;
        checks.source = &item.file.id;
        checks.staged = &item.output;
        failed = encryptFile(item.file.folder.c_str(), path, nullptr, &written, &checks);
        item.read = checks.read;
    } else {
        DecryptChecks checks;
        checks.source = &item.file.id;
        checks.staged = &item.output;
        int32_t isEncrypted = 0, isArchive = 0;
        failed = probeFile(path, &isEncrypted, &isArchive) != 0 || !isEncrypted ||
                 decryptFile(path, item.file.folder.c_str(), &written, &checks) != 0;
        item.read = checks.read;
    }
    dropStaged(item);
    if (failed || !written) return fail(item);
    item.out = written;
    testPause(batchWork == BatchWork::Encrypt ? L"encrypted" : L"decrypted");
}

EraseOrder orderFor(const Item& item) {
    return eraseOrderFor(item.file.path, item.read,
                         batchWork == BatchWork::Encrypt ? EraseRole::Plaintext : EraseRole::Encrypted, item.out);
}

// 5. The erases of the batch, their names drawn ahead, in one record file.
int planErases() {
    std::vector<Item*> planning;
    std::vector<PendingRecord> records;
    for (Item& item : items) {
        if (item.finished || item.out.empty()) continue;
        // A plaintext that took the encrypted file's own name leaves nothing to erase.
        if (item.out == item.file.path || plat::sameFile(item.out, item.file.path)) {
            item.finished = true;
            continue;
        }
        if (planErase(orderFor(item), &item.erase) != 0) {
            fail(item);
            continue;
        }
        records.push_back(item.erase.record);
        planning.push_back(&item);
    }
    if (planning.empty()) return 0;
    std::vector<uint32_t> tickets;
    if (beginPendingBatch(records, &tickets) != 0) {
        for (Item* item : planning) fail(*item);
        return 1;
    }
    for (std::size_t i = 0; i < planning.size(); ++i) {
        planning[i]->erase.ticket = tickets[i];
        planning[i]->planned = true;
    }
    testPause(L"batch-erasing");
    return 0;
}

// Commits once each folder that holds a path of the items chosen.
void commitFolders(bool (*chosen)(const Item&)) {
    std::vector<std::wstring> done;
    for (const Item& item : items) {
        if (!chosen(item) || item.out.empty()) continue;
        const std::wstring& path = item.file.path;
        const std::size_t cut = path.find_last_of(plat::kSeparators);
        const std::wstring folder = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
        bool seen = false;
        for (const std::wstring& f : done) seen = seen || f == folder;
        if (seen) continue;
        done.push_back(folder);
        plat::commitFolderOf(path);
    }
}

// Lets other instances have the files the batch is done with: a guard
// held on a file that is gone would keep them off whatever file takes its
// identity next.
void releaseFinished() {
    for (Item& item : items) {
        if (!item.finished || item.deferred || !item.file.guard) continue;
        plat::releaseGuard(item.file.guard);
        item.file.guard = nullptr;
    }
}

int runItems() {
    for (Item& item : items) checkItem(item);
    stageOutputs();
    if (batchWork == BatchWork::Encrypt) reserveBatchKey();
    releaseFinished();
    for (Item& item : items)
        if (item.staged) writeItem(item);
    endKeyBatch();
    // 4b. The outputs are durable under their names before any source is
    // renamed: one commit of each folder for the whole batch.
    commitFolders([](const Item& item) { return !item.failed && !item.eraseOnly; });
    planErases();
    releaseFinished();
    for (Item& item : items) {
        if (!item.planned) continue;
        if (eraseFile(orderFor(item), &item.erase) != 0) fail(item);
        else item.finished = true;
        releaseFinished();
    }
    // 6b. The removals of the erased files, once per folder.
    commitFolders([](const Item& item) { return item.planned; });
    int failed = 0;
    for (const Item& item : items)
        if (item.failed) failed = 1;
    return failed;
}

}  // namespace

int batchAdd(BatchWork work, const BatchFile& file) {
    int failed = 0;
    if (!items.empty() && work != batchWork) failed = batchRun();
    batchWork = work;
    items.emplace_back();
    items.back().file = file;
    batchBytes += file.id.size;
    recordBytes += recordBytesOf(file);
    if (items.size() >= kBatchFiles || batchBytes >= kBatchBytes ||
        recordBytes + recordBytesOf(file) > kBatchRecordBytes)
        failed |= batchRun();
    return failed;
}

int batchRun() {
    // The last failure reported is the one the user is shown; the log
    // names every one.
    int failed = 0;
    while (!items.empty()) {
        failed |= runItems();
        std::vector<Item> next;
        for (Item& item : items) {
            if (item.deferred) {
                next.emplace_back();
                next.back().file = item.file;
                next.back().deferrals = item.deferrals + 1;
            } else if (item.file.guard) {
                plat::releaseGuard(item.file.guard);
            }
        }
        items.swap(next);
    }
    batchBytes = 0;
    recordBytes = 0;
    return failed;
}
