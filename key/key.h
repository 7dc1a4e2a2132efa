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

int openKeyStore();
int reserveKeyBlocks(uint32_t count);
// 0 when a reservation of count blocks could be made now; otherwise 1
// after reporting (the key is exhausted, with the figures). Needs an open
// store.
int checkKeyAvailable(uint64_t count);
// The number of key blocks that reservations can still take from this
// drive's own range, into *blocks; 0 on success, 1 after reporting. Needs
// an open store.
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
// pad) raises nothing. 0 also when nothing needed raising.
int raiseHighWaterMarkPast(uint32_t headerBlock, uint64_t count);
// The block that the next nextKeyBlock reads (after findKeyBlock: the
// header key block).
uint32_t keyCursor();
// Clears every copy of key material the store holds in memory: the block
// nextKeyBlock returned last and its read-ahead. Called when an encryption
// or decryption ends; the next nextKeyBlock reads afresh.
void wipeKeyMaterial();
double keyUsagePercent();
// The key number "XXXX-XXXX-XXXX-XXXX-XXXX-XXXX", or "?" on failure.
const wchar_t* keyNumberText();
int exportWorkspacePassword();
// N, valid after openKeyStore succeeded.
uint32_t keyBlockCount();

// Closes the store so that the next openKeyStore starts afresh (tests only).
void closeKeyStoreForTest();
// True when no key material is left in the store's buffers (tests only).
bool keyMaterialWipedForTest();
