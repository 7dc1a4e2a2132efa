// The key store: SETTINGS/KEY.DAT (the pad), SETTINGS/INDEX.DAT (hash index
// of the blocks) and SETTINGS/STATUS.DAT (the usage record).
#pragma once

#include <cstdint>

constexpr uint32_t kKeyBlockSize = 1024;

// Locks on SETTINGS/STATUS.DAT, taken alike by every program that uses a key
// drive. The record's bytes are locked exclusively around each
// read-modify-write. One byte far beyond them is held shared by every running
// instance from the opening of its key store to its end; the key drive tool
// takes it exclusively, without waiting, while it splits the drive, and so
// finds out that the drive is in use.
constexpr uint64_t kStatusRecordLockLength = 12;
constexpr uint64_t kStatusInUseOffset = uint64_t(1) << 32;

// The usage record of a backup key drive, which has no range of its own: it
// decrypts every file of its key and never encrypts. Its high water mark 0
// and last block 0 leave no block to reserve under any program's rule, older
// programs' included (a reservation needs mark + count <= lastBlock + 1, and
// every file needs at least two blocks), and no decryption raises its mark
// (a cursor above lastBlock never raises it). Its first block, beyond every
// pad block, tells it apart from a record worn to zeros.
constexpr uint32_t kBackupHighWaterMark = 0;
constexpr uint32_t kBackupFirstBlock = 0xFFFFFFFFu;
constexpr uint32_t kBackupLastBlock = 0;

inline bool isBackupUsageRecord(uint32_t highWaterMark, uint32_t firstBlock, uint32_t lastBlock) {
    return highWaterMark == kBackupHighWaterMark && firstBlock == kBackupFirstBlock &&
           lastBlock == kBackupLastBlock;
}

// Opens the three key files. A damaged usage record does not keep the store
// from opening: a drive whose record is damaged still decrypts, and only
// the operations that reserve key blocks refuse it.
int openKeyStore();
// Reserves count blocks from the drive's own range. Refused (reported) on a
// backup drive, when the key is exhausted, and when the usage record is
// damaged: not exactly 12 bytes long, or a high water mark of 0, below
// firstBlock or beyond lastBlock + 1.
int reserveKeyBlocks(uint32_t count);
// Reserves count blocks for a batch of files in one commit of the usage
// record (refused as reserveKeyBlocks). While the batch lasts, each
// reserveKeyBlocks that fits in what is left of it takes the next blocks of
// the batch without writing the record; one that does not fit reserves on
// its own. Blocks of a batch never drawn are never used again: the record
// already stands past them.
int reserveKeyBatch(uint64_t count);
// Ends the batch: what is left of it is given up.
void endKeyBatch();
// The blocks of the batch not yet drawn (tests).
uint64_t keyBatchLeft();
// 0 when a reservation of count blocks could be made now; otherwise 1
// after reporting why not, as reserveKeyBlocks would. Needs an open store.
int checkKeyAvailable(uint64_t count);
// The number of key blocks that reservations can still take from this
// drive's own range, into *blocks; 0 on success, 1 after reporting (also
// on a backup drive and a damaged record, as reserveKeyBlocks). Needs an
// open store.
int keyBlocksLeft(uint64_t* blocks);
// The next key block at the cursor, in a shared buffer; nullptr on failure.
const uint8_t* nextKeyBlock();
// 0 when the block identified by the stored header was found (cursor set),
// 1 when not found (nothing reported) or on failure (reported).
int findKeyBlock(const uint8_t* block);
// As findKeyBlock, telling the two kinds of failure apart: 0 found (cursor
// set), 1 not in the index (nothing reported), 2 the store could not be
// used (reported).
int lookUpKeyBlock(const uint8_t* block);
int raiseHighWaterMark();
// After a decryption: raises highWaterMark past the whole reservation of the
// file's writer, the `count` blocks from headerBlock on, but never beyond
// lastBlock + 1 (nor beyond the last block of the key file + 1). A header
// block outside firstBlock ... lastBlock (a partner drive's share of the
// pad) raises nothing, nor does anything on a backup drive. 0 also when
// nothing needed raising; 1 (reported, nothing written) when the record is
// damaged.
int raiseHighWaterMarkPast(uint32_t headerBlock, uint64_t count);
// The block that the next nextKeyBlock reads (after findKeyBlock: the
// header key block).
uint32_t keyCursor();
// Clears every copy of key material the store holds in memory: the block
// nextKeyBlock returned last and its read-ahead. Called when an encryption
// or decryption ends; the next nextKeyBlock reads afresh.
void wipeKeyMaterial();
// The part of the drive's own range that is used, in percent, always
// within 0 ... 100 (a damaged record never gives a figure outside it); 0 on
// failure (reported).
double keyUsagePercent();
// As keyUsagePercent, telling a failure and a backup drive apart: 0 with
// the figure in *percent and *backup set when the drive is a backup drive
// (which has no range: *percent is 0); 1 after reporting. Needs an open
// store.
int keyUsage(double* percent, bool* backup);
// The key number "XXXX-XXXX-XXXX-XXXX-XXXX-XXXX", or "?" on failure.
const wchar_t* keyNumberText();
int exportWorkspacePassword();
// N, valid after openKeyStore succeeded.
uint32_t keyBlockCount();

// Closes the store so that the next openKeyStore starts afresh (tests only).
void closeKeyStoreForTest();
// True when no key material is left in the store's buffers (tests only).
bool keyMaterialWipedForTest();
