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
// The next key block at the cursor, in a shared buffer; nullptr on failure.
const uint8_t* nextKeyBlock();
// 0 when the block identified by the stored header was found (cursor set),
// 1 when not found (nothing reported) or on failure (reported).
int findKeyBlock(const uint8_t* block);
int raiseHighWaterMark();
double keyUsagePercent();
// The key number "XXXX-XXXX-XXXX-XXXX-XXXX-XXXX", or "?" on failure.
const wchar_t* keyNumberText();
int exportWorkspacePassword();
// N, valid after openKeyStore succeeded.
uint32_t keyBlockCount();

// Closes the store so that the next openKeyStore starts afresh (tests only).
void closeKeyStoreForTest();
