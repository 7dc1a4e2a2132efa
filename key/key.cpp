// The key store: the pad SETTINGS/KEY.DAT, its hash index SETTINGS/INDEX.DAT
// and the usage record SETTINGS/STATUS.DAT.
//
// Key blocks are 1024 bytes; block 0 identifies the key (key number and
// workspace password), blocks 1 to N-1 are pad. The index holds 10 x N
// little-endian 32-bit slots; a block's home slot is its bytes 4..7 read
// big-endian, modulo 10 x N, with linear probing and wrap. The usage record
// is three little-endian 32-bit fields: highWaterMark, firstBlock, lastBlock.
//
// Several instances of the program may run at once (for different dropped
// paths) and share the usage record. Every read-modify-write of the record
// happens under an exclusive lock on the record, and a new record is on the
// disk before any block it reserves is drawn, so that no key block ever
// serves two files. While its store is open, an instance also holds a shared
// lock that tells the key drive tool that the drive is in use.

#include "key/key.h"
#include "key/keybytes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "diag/error.h"
#include "diag/log.h"
#include "diag/manufacture.h"
#include "diag/sizetext.h"
#include "drive/layout.h"
#include "drive/util.h"
#include "platform/platform.h"
#include "platform/wipe.h"

namespace {

constexpr uint32_t kSlotsPerBlock = 10;
// The index holds 10 x N slots, numbered in 32 bits.
constexpr uint64_t kMaxBlockCount = 0xFFFFFFFFull / kSlotsPerBlock;
constexpr size_t kStatusRecordSize = 12;
constexpr size_t kKeyNumberTextSize = 512;
constexpr size_t kPasswordTextSize = 1024;

FILE* keyStream = nullptr;
FILE* indexStream = nullptr;
FILE* statusStream = nullptr;
bool storeOpen = false;
uint32_t blockCount = 0;   // N
uint32_t cursor = 0;       // the block that the next nextKeyBlock reads
uint8_t keyBlockBuffer[kKeyBlockSize];
// Encryption and decryption draw blocks in sequence: nextKeyBlock reads
// ahead into this buffer of its own (the key stream itself is unbuffered),
// so that wipeKeyMaterial can clear every copy of key material the program
// holds.
constexpr uint32_t kReadAheadBlocks = 64;
uint8_t readAhead[kReadAheadBlocks * kKeyBlockSize];
uint32_t readAheadFirst = 0;   // block number of readAhead's first block
uint32_t readAheadCount = 0;   // blocks held
// The batch reservation: blocks next ... end - 1 are reserved on the disk
// for this run and not yet handed to a file.
uint32_t batchNext = 0;
uint32_t batchEnd = 0;
wchar_t keyNumber[kKeyNumberTextSize];
wchar_t passwordText[kPasswordTextSize];

struct StatusRecord {
    uint32_t highWaterMark;
    uint32_t firstBlock;
    uint32_t lastBlock;
};

// The reason of a failed read: a short read at the end of the file says so
// plainly, anything else is the C runtime's text.
const wchar_t* readErrorText(FILE* f) {
    if (f != nullptr && std::feof(f) && !std::ferror(f)) return L"unexpected end of file";
    return stdErrorText();
}

void closeStream(FILE*& f) {
    if (f != nullptr) std::fclose(f);
    f = nullptr;
}

// Reads `length` bytes at `offset`; 0 on success.
int readAt(FILE* f, uint64_t offset, void* buffer, size_t length) {
    errno = 0;
    if (plat::seekFile(f, int64_t(offset), SEEK_SET) != 0) return 1;
    return std::fread(buffer, 1, length, f) == length ? 0 : 1;
}

// Reads the usage record from the start of the status stream. *length
// (when asked) is the file's length up to 13: 13 means longer than a record;
// a record of any length but 12 is damaged (see checkRecord), and the fields
// a short file does not reach are 0. Reports "cannot read" when not a byte
// can be read.
int readStatusRecord(StatusRecord* record, size_t* length = nullptr) {
    uint8_t bytes[kStatusRecordSize] = {};
    uint8_t fromFile[kStatusRecordSize + 1];
    errno = 0;
    size_t got = 0;
    if (plat::seekFile(statusStream, 0, SEEK_SET) == 0)
        got = std::fread(fromFile, 1, sizeof fromFile, statusStream);
    if (got == 0) {
        reportError(L"cannot read '%ls': %ls", kStatusFileName, readErrorText(statusStream));
        return 1;
    }
    std::memcpy(bytes, fromFile, got < kStatusRecordSize ? got : kStatusRecordSize);
    record->highWaterMark = readLe32(bytes);
    record->firstBlock = readLe32(bytes + 4);
    record->lastBlock = readLe32(bytes + 8);
    if (length != nullptr) *length = got;
    return 0;
}

// What every report of a damaged record ends with: where the user learns more.
constexpr const wchar_t* kCheckAdvice =
    L". 'velkin-keydrive check' on this key drive (given with its partner drives, if it has any) "
    L"shows what is wrong and which key blocks each drive holds";

// Whether a record may be drawn on: 0 for a sound record and for a backup
// drive's (*backup says which); 1 after reporting what is damaged. A record
// that is not exactly 12 bytes long gives no range that can be trusted: a
// split drive whose record was cut short would otherwise take its partner's
// blocks. A mark below firstBlock would do the same.
int checkRecord(const StatusRecord& r, size_t length, bool* backup) {
    *backup = false;
    if (length != kStatusRecordSize) {
        reportError(L"'%ls' is damaged: it holds %ls bytes where a usage record has 12, so the key "
                    L"drive's range of the key is unknown%ls",
                    kStatusFileName, length > kStatusRecordSize ? L"more than 12" : std::to_wstring(length).c_str(),
                    kCheckAdvice);
        return 1;
    }
    if (isBackupUsageRecord(r.highWaterMark, r.firstBlock, r.lastBlock)) {
        *backup = true;
        return 0;
    }
    if (r.highWaterMark == 0) {
        reportError(L"'%ls' is damaged: its high water mark 0 would hand out key block 0%ls",
                    kStatusFileName, kCheckAdvice);
        return 1;
    }
    if (r.highWaterMark < r.firstBlock) {
        reportError(L"'%ls' is damaged: its high water mark %u lies below the drive's first block %u, "
                    L"so key blocks that a partner drive may use would be used again%ls",
                    kStatusFileName, r.highWaterMark, r.firstBlock, kCheckAdvice);
        return 1;
    }
    if (uint64_t(r.highWaterMark) > uint64_t(r.lastBlock) + 1) {
        reportError(L"'%ls' is damaged: its high water mark %u lies beyond the drive's last block %u%ls",
                    kStatusFileName, r.highWaterMark, r.lastBlock, kCheckAdvice);
        return 1;
    }
    return 0;
}

// The drive as the user knows it: the program's folder ("K:\", "/media/usb").
std::wstring shownDriveName() {
    std::wstring folder = programFolder;
    while (folder.size() > 1 && (folder.back() == L'/' || folder.back() == L'\\') &&
           !(folder.size() == 3 && folder[1] == L':'))
        folder.pop_back();
    return folder.empty() ? std::wstring(L"this key drive") : L"'" + folder + L"'";
}

void reportBackupDrive() {
    reportError(L"%ls is a backup key drive: it decrypts, and never encrypts, so that no key block is "
                L"used twice",
                shownDriveName().c_str());
}

// Reads the record under the caller's lock and checks it: 1 after reporting
// that it cannot be read or is damaged; *backup on a backup drive.
int readCheckedRecord(StatusRecord* record, bool* backup) {
    size_t length = 0;
    return readStatusRecord(record, &length) != 0 || checkRecord(*record, length, backup) != 0 ? 1 : 0;
}

// Reads the record under the caller's lock for an operation that reserves
// key blocks: refused (reported) on a backup drive and on a damaged record.
int readReservableRecord(StatusRecord* record) {
    bool backup = false;
    if (readCheckedRecord(record, &backup) != 0) return 1;
    if (backup) {
        reportBackupDrive();
        return 1;
    }
    return 0;
}

// Writes the whole record at the start of the status stream and commits it
// to the disk. Reports on failure.
int writeStatusRecord(const StatusRecord& record) {
    uint8_t bytes[kStatusRecordSize];
    writeLe32(bytes, record.highWaterMark);
    writeLe32(bytes + 4, record.firstBlock);
    writeLe32(bytes + 8, record.lastBlock);
    errno = 0;
    if (plat::seekFile(statusStream, 0, SEEK_SET) != 0) {
        reportError(L"cannot set position of '%ls': %ls", kStatusFileName, stdErrorText());
        return 1;
    }
    errno = 0;
    if (std::fwrite(bytes, 1, kStatusRecordSize, statusStream) != kStatusRecordSize ||
        plat::commitFile(statusStream) != 0) {
        reportError(L"cannot write to '%ls': %ls", kStatusFileName, stdErrorText());
        return 1;
    }
    return 0;
}

// The exclusive lock that orders the instances sharing the usage record.
int lockStatus() {
    if (plat::lockRange(statusStream, 0, kStatusRecordLockLength, true, true) != 0) {
        reportError(L"cannot lock '%ls': %ls", kStatusFileName, systemErrorText());
        return 1;
    }
    return 0;
}

void unlockStatus() {
    plat::unlockRange(statusStream, 0, kStatusRecordLockLength);
}

// The shared lock that marks the drive as in use for as long as the store is
// open; only a split of the drive by the key drive tool keeps it from us.
int holdInUseLock() {
    int got = plat::lockRange(statusStream, kStatusInUseOffset, 1, false, false);
    if (got == 1) {
        reportError(L"cannot use the key drive: the key drive tool is splitting it ('%ls' is locked); "
                    L"try again when it is done", kStatusFileName);
    } else if (got != 0) {
        reportError(L"cannot lock '%ls': %ls", kStatusFileName, systemErrorText());
    }
    return got == 0 ? 0 : 1;
}

// How many blocks a reservation can still have. Blocks from N on do not
// exist: never beyond the last pad block, whatever lastBlock says, so that
// the cursor never wraps onto block 1 while drawing a reservation.
uint64_t availableBlocks(const StatusRecord& record) {
    if (blockCount == 0) return 0;
    uint64_t limit = record.lastBlock;
    if (limit > uint64_t(blockCount) - 1) limit = uint64_t(blockCount) - 1;
    return record.highWaterMark <= limit + 1 ? limit + 1 - record.highWaterMark : 0;
}

void reportExhausted(uint64_t count, uint64_t available) {
    const std::wstring needed = sizeText(count * kKeyBlockSize, true);
    const wchar_t* const advice =
        L". Make a new key drive for new files; this one still decrypts every file made with it";
    if (available == 0) {
        reportError(L"key exhausted: this needs %ls of key, and this key drive has none left%ls",
                    needed.c_str(), advice);
    } else {
        reportError(L"key exhausted: this needs %ls of key, but this key drive has only %ls left%ls",
                    needed.c_str(), sizeText(available * kKeyBlockSize).c_str(), advice);
    }
}

// The operations that draw on the usage record need an open store.
int requireOpenStore() {
    if (storeOpen) return 0;
    reportError(L"the key store is not open");
    return 1;
}

void forgetReadAhead() {
    wipeSecret(readAhead, sizeof readAhead);
    readAheadFirst = 0;
    readAheadCount = 0;
}

void closeAll() {
    forgetReadAhead();
    wipeSecret(keyBlockBuffer, sizeof keyBlockBuffer);
    closeStream(keyStream);
    closeStream(indexStream);
    closeStream(statusStream);
    storeOpen = false;
    blockCount = 0;
    batchNext = batchEnd = 0;
}

// Opens the store's three files and reads block 0 and the usage record.
int openStore() {
    errno = 0;
    keyStream = plat::openFile(kKeyFileName, L"rb");
    if (keyStream == nullptr) {
        reportError(L"cannot open '%ls': %ls", kKeyFileName, stdErrorText());
        return 1;
    }
    // Unbuffered: the stream keeps no copy of key material of its own;
    // nextKeyBlock reads ahead into a buffer that is wiped after use.
    std::setvbuf(keyStream, nullptr, _IONBF, 0);
    errno = 0;
    int64_t size = -1;
    if (plat::seekFile(keyStream, 0, SEEK_END) == 0) size = plat::tellFile(keyStream);
    if (size < 0) {
        reportError(L"cannot read from '%ls': %ls", kKeyFileName, stdErrorText());
        return 1;
    }
    uint64_t blocks = uint64_t(size) / kKeyBlockSize;
    if (blocks > kMaxBlockCount) {
        reportError(L"'%ls' is too large: it holds %llu key blocks, at most %llu are supported",
                    kKeyFileName, static_cast<unsigned long long>(blocks),
                    static_cast<unsigned long long>(kMaxBlockCount));
        return 1;
    }
    blockCount = uint32_t(blocks);
    forgetReadAhead();

    errno = 0;
    indexStream = plat::openFile(kIndexFileName, L"rb");
    if (indexStream == nullptr) {
        reportError(L"cannot open '%ls': %ls", kIndexFileName, stdErrorText());
        return 1;
    }
    // Lookups read single slots at scattered places.
    std::setvbuf(indexStream, nullptr, _IONBF, 0);

    uint8_t block0[kKeyBlockSize];
    if (readAt(keyStream, 0, block0, kKeyBlockSize) != 0) {
        wipeSecret(block0, sizeof block0);
        reportError(L"cannot read from '%ls': %ls", kKeyFileName, readErrorText(keyStream));
        return 1;
    }
    const uint32_t firstWord = readLe32(block0);
    wipeSecret(block0, sizeof block0);

    errno = 0;
    statusStream = plat::openFile(kStatusFileName, L"rb+T");
    if (statusStream == nullptr) {
        reportError(L"cannot open '%ls': %ls", kStatusFileName, stdErrorText());
        return 1;
    }
    // Unbuffered: every read under the lock must come from the file itself,
    // never from a buffer filled before another instance wrote the record.
    std::setvbuf(statusStream, nullptr, _IONBF, 0);

    if (holdInUseLock() != 0 || lockStatus() != 0) return 1;
    StatusRecord record;
    int failed = readStatusRecord(&record);
    unlockStatus();
    if (failed) return 1;

    debugMessage(L"read key(source)  %x", firstWord);
    return 0;
}

}  // namespace

int openKeyStore() {
    if (storeOpen) return 0;
    // A failed attempt leaves nothing open, so the next call starts afresh.
    if (openStore() != 0) {
        closeAll();
        return 1;
    }
    cursor = 0;
    storeOpen = true;
    return 0;
}

namespace {

// Reserves count blocks on the disk; *first is the first of them.
int reserveOnDisk(uint64_t count, uint32_t* first) {
    if (requireOpenStore() != 0 || lockStatus() != 0) return 1;
    StatusRecord record;
    if (readReservableRecord(&record) != 0) {
        unlockStatus();
        return 1;
    }
    const uint64_t available = availableBlocks(record);
    uint64_t end = uint64_t(record.highWaterMark) + count;   // one past the reservation
    if (count > available) {
        unlockStatus();
        reportExhausted(count, available);
        return 1;
    }
    *first = record.highWaterMark;
    record.highWaterMark = uint32_t(end);
    int failed = writeStatusRecord(record);
    unlockStatus();
    return failed;
}

}  // namespace

int reserveKeyBlocks(uint32_t count) {
    if (requireOpenStore() != 0) return 1;
    if (count <= batchEnd - batchNext) {
        cursor = batchNext;
        batchNext += count;
        return 0;
    }
    uint32_t first = 0;
    if (reserveOnDisk(count, &first) != 0) return 1;
    // Only a reservation that is on the disk may be drawn from.
    cursor = first;
    return 0;
}

int reserveKeyBatch(uint64_t count) {
    endKeyBatch();
    uint32_t first = 0;
    if (reserveOnDisk(count, &first) != 0) return 1;
    batchNext = first;
    batchEnd = uint32_t(first + count);
    return 0;
}

void endKeyBatch() {
    if (batchEnd > batchNext)
        logMessage(L"key blocks %u to %u were reserved and not used; they are never used", batchNext,
                   batchEnd - 1);
    batchNext = batchEnd = 0;
}

uint64_t keyBatchLeft() { return batchEnd - batchNext; }

const uint8_t* nextKeyBlock() {
    wipeSecret(keyBlockBuffer, sizeof keyBlockBuffer);
    if (cursor >= blockCount) {
        reportError(L"cannot read '%ls': key block %u lies beyond its last block %u",
                    kKeyFileName, cursor, blockCount == 0 ? 0u : blockCount - 1);
        return nullptr;
    }
    if (cursor < readAheadFirst || cursor - readAheadFirst >= readAheadCount) {
        forgetReadAhead();
        uint32_t want = blockCount - cursor;
        if (want > kReadAheadBlocks) want = kReadAheadBlocks;
        errno = 0;
        size_t got = 0;
        if (plat::seekFile(keyStream, int64_t(uint64_t(cursor) * kKeyBlockSize), SEEK_SET) == 0)
            got = std::fread(readAhead, 1, size_t(want) * kKeyBlockSize, keyStream);
        if (got < kKeyBlockSize) {
            forgetReadAhead();
            reportError(L"cannot read '%ls': %ls", kKeyFileName, readErrorText(keyStream));
            return nullptr;
        }
        readAheadFirst = cursor;
        readAheadCount = uint32_t(got / kKeyBlockSize);
    }
    std::memcpy(keyBlockBuffer, readAhead + size_t(cursor - readAheadFirst) * kKeyBlockSize,
                kKeyBlockSize);
    ++cursor;
    if (cursor == blockCount) cursor = 1;
    debugMessage(L"next key(source)  %x", readLe32(keyBlockBuffer));
    return keyBlockBuffer;
}

int lookUpKeyBlock(const uint8_t* block) {
    if (openKeyStore() != 0) return 2;
    const uint32_t slots = blockCount * kSlotsPerBlock;
    uint32_t slot = readBe32(block + 4) % slots;
    uint8_t candidate[kKeyBlockSize];
    // Every slot is visited at most once: a full index without a match can
    // only be a damaged one.
    for (uint32_t visited = 0; visited < slots; ++visited) {
        uint8_t entry[4];
        if (readAt(indexStream, uint64_t(slot) * 4, entry, sizeof entry) != 0) {
            reportError(L"cannot read from '%ls': %ls", kIndexFileName, readErrorText(indexStream));
            return 2;
        }
        uint32_t number = readLe32(entry);
        if (number == 0) return 1;   // not in the index
        if (number >= blockCount) {
            reportError(L"'%ls' is damaged: slot %u names key block %u, but the key has only %u blocks",
                        kIndexFileName, slot, number, blockCount);
            return 2;
        }
        if (readAt(keyStream, uint64_t(number) * kKeyBlockSize, candidate, kKeyBlockSize) != 0) {
            wipeSecret(candidate, sizeof candidate);
            reportError(L"cannot read from '%ls': %ls", kKeyFileName, readErrorText(keyStream));
            return 2;
        }
        const bool same = std::memcmp(candidate + 4, block + 4, 256) == 0;
        wipeSecret(candidate, sizeof candidate);
        if (same) {
            cursor = number;
            return 0;
        }
        slot = slot + 1 == slots ? 0 : slot + 1;
    }
    reportError(L"'%ls' is damaged: none of its %u slots is empty or names the block sought",
                kIndexFileName, slots);
    return 2;
}

int findKeyBlock(const uint8_t* block) {
    return lookUpKeyBlock(block) == 0 ? 0 : 1;
}

int raiseHighWaterMark() {
    if (requireOpenStore() != 0 || lockStatus() != 0) return 1;
    StatusRecord record;
    bool backup = false;
    if (readCheckedRecord(&record, &backup) != 0) {
        unlockStatus();
        return 1;
    }
    // A backup drive has no mark to move.
    if (backup || cursor <= record.highWaterMark || cursor > record.lastBlock) {
        unlockStatus();
        return 0;
    }
    logMessage(L"raising high water mark from %d to %d", int(record.highWaterMark), int(cursor));
    record.highWaterMark = cursor;
    int failed = writeStatusRecord(record);
    unlockStatus();
    return failed;
}

int raiseHighWaterMarkPast(uint32_t headerBlock, uint64_t count) {
    if (requireOpenStore() != 0 || lockStatus() != 0) return 1;
    StatusRecord record;
    bool backup = false;
    if (readCheckedRecord(&record, &backup) != 0) {
        unlockStatus();
        return 1;
    }
    if (backup) {   // a backup drive has no mark to move
        unlockStatus();
        return 0;
    }
    // A reservation never reaches beyond the last pad block of this key file.
    uint64_t limit = record.lastBlock;
    if (blockCount > 0 && limit > uint64_t(blockCount) - 1) limit = uint64_t(blockCount) - 1;
    uint64_t end = uint64_t(headerBlock) + count;
    if (end > limit + 1) end = limit + 1;
    // A header block outside firstBlock ... lastBlock lies in a partner
    // drive's share of the pad: this drive never hands those blocks out.
    if (headerBlock < record.firstBlock || headerBlock > record.lastBlock ||
        end <= record.highWaterMark) {
        unlockStatus();
        return 0;
    }
    logMessage(L"raising high water mark from %d to %d", int(record.highWaterMark), int(end));
    record.highWaterMark = uint32_t(end);
    int failed = writeStatusRecord(record);
    unlockStatus();
    return failed;
}

int checkKeyAvailable(uint64_t count) {
    if (requireOpenStore() != 0 || lockStatus() != 0) return 1;
    StatusRecord record;
    const int failed = readReservableRecord(&record);
    unlockStatus();
    if (failed) return 1;
    const uint64_t available = availableBlocks(record);
    if (count <= available) return 0;
    reportExhausted(count, available);
    return 1;
}

int keyBlocksLeft(uint64_t* blocks) {
    if (requireOpenStore() != 0 || lockStatus() != 0) return 1;
    StatusRecord record;
    const int failed = readReservableRecord(&record);
    unlockStatus();
    if (failed) return 1;
    *blocks = availableBlocks(record);
    return 0;
}

uint32_t keyCursor() {
    return cursor;
}

void wipeKeyMaterial() {
    forgetReadAhead();
    wipeSecret(keyBlockBuffer, sizeof keyBlockBuffer);
}

bool keyMaterialWipedForTest() {
    return isWiped(readAhead, sizeof readAhead) && isWiped(keyBlockBuffer, sizeof keyBlockBuffer);
}

int keyUsage(double* percent, bool* backup) {
    if (requireOpenStore() != 0 || lockStatus() != 0) return 1;
    StatusRecord record;
    const int failed = readCheckedRecord(&record, backup);
    unlockStatus();
    if (failed) return 1;
    if (*backup) {
        *percent = 0;
        return 0;
    }
    // The blocks used of the range, divided by two less than the blocks from
    // firstBlock to lastBlock. Neither figure may wrap around, and a used-up
    // range (whose mark stands past lastBlock) shows as 100, never more.
    const int64_t used = int64_t(record.highWaterMark) - int64_t(record.firstBlock);
    const int64_t span = int64_t(record.lastBlock) - int64_t(record.firstBlock) - 1;
    if (span <= 0) {
        // No divisor: the range counts as wholly used as soon as one block
        // is used, and as unused before.
        *percent = used <= 0 ? 0.0 : 100.0;
        return 0;
    }
    const double figure = used <= 0 ? 0.0 : double(used) * 100 / double(span);
    *percent = figure > 100 ? 100.0 : figure;
    return 0;
}

double keyUsagePercent() {
    double percent = 0;
    bool backup = false;
    return keyUsage(&percent, &backup) == 0 ? percent : 0;
}

const wchar_t* keyNumberText() {
    wchar_t path[kPathSize];
    int n = std::swprintf(path, kPathSize, L"%ls/%ls", keyDriveRoot, kKeyFileName);
    FILE* f = nullptr;
    bool failed = true;
    if (n < 0) {
        reportError(L"cannot open '%ls': %ls", keyDriveRoot, L"the path is too long");
    } else {
        errno = 0;
        f = plat::openFile(path, L"rb");
        if (f == nullptr) {
            reportError(L"cannot open '%ls': %ls", path, stdErrorText());
        } else {
            uint8_t block0[kKeyBlockSize];
            errno = 0;
            if (std::fread(block0, 1, kKeyBlockSize, f) != kKeyBlockSize) {
                reportError(L"cannot read from '%ls': %ls", kKeyFileName, readErrorText(f));
            } else {
                std::swprintf(keyNumber, kKeyNumberTextSize, L"%04X-%04X-%04X-%04X-%04X-%04X",
                              unsigned(readLe16(block0)), unsigned(readLe16(block0 + 2)),
                              unsigned(readLe16(block0 + 4)), unsigned(readLe16(block0 + 6)),
                              unsigned(readLe16(block0 + 8)), unsigned(readLe16(block0 + 10)));
                failed = false;
            }
            wipeSecret(block0, sizeof block0);
            std::fclose(f);
        }
    }
    if (failed) {
        plat::writeStdout(std::wstring(lastErrorText) + L"\n");
        return L"?";
    }
    return keyNumber;
}

int exportWorkspacePassword() {
    if (openKeyStore() != 0) return 1;
    uint8_t block0[kKeyBlockSize];
    if (readAt(keyStream, 0, block0, kKeyBlockSize) != 0) {
        wipeSecret(block0, sizeof block0);
        reportError(L"cannot read from '%ls': %ls", kKeyFileName, readErrorText(keyStream));
        return 1;
    }
    std::swprintf(passwordText, kPasswordTextSize, L"%ls=%08X%08X%08X%08X%08X%08X%08X%08X",
                  L"VKLIB_PASSWORD", readLe32(block0), readLe32(block0 + 4), readLe32(block0 + 8),
                  readLe32(block0 + 12), readLe32(block0 + 16), readLe32(block0 + 20),
                  readLe32(block0 + 24), readLe32(block0 + 28));
    wipeSecret(block0, sizeof block0);
    plat::putEnv(passwordText);   // the outcome is ignored
    // The environment keeps its own copy.
    wipeSecret(passwordText, sizeof passwordText);
    return 0;
}

uint32_t keyBlockCount() {
    return blockCount;
}

void closeKeyStoreForTest() {
    closeAll();
    cursor = 0;
}
