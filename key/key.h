// The key store: SETTINGS/KEY.DAT (the pad), SETTINGS/INDEX.DAT (hash index
// of the blocks) and SETTINGS/STATUS.DAT (the usage record).
#pragma once

#include <cstdint>

constexpr uint32_t kKeyBlockSize = 1024;

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
