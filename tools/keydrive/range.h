// A key drive's own range of the pad, as its usage record SETTINGS/STATUS.DAT
// gives it: the program reserves blocks from the high-water mark up to
// lastBlock, never beyond; firstBlock is where the range began. Partner
// drives hold the same key with ranges that do not overlap.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace keydrive {

struct UsageRecord {
    uint32_t highWaterMark = 0;
    uint32_t firstBlock = 0;
    uint32_t lastBlock = 0;
};

// A backup drive's record: no range of its own (see key/key.h).
bool isBackupRecord(const UsageRecord& record);

// The record's 12 bytes from the start of a stream; false (errno set or the
// file short) when they cannot be read.
bool readUsageRecord(FILE* f, UsageRecord* record);
// Writes the record at the start of a stream and commits it to the disk.
bool writeUsageRecord(FILE* f, const UsageRecord& record);

// The last block that the program may hand out: lastBlock, but never beyond
// the key's last pad block (keyBlocks - 1), as the key store limits it.
uint32_t lastUsableBlock(const UsageRecord& record, uint32_t keyBlocks);
// Blocks of the range that have not been handed out yet.
uint64_t blocksLeft(const UsageRecord& record, uint32_t keyBlocks);

// Two lines: the range and what is left of it.
std::wstring describeRange(const UsageRecord& record, uint32_t keyBlocks);

// The key's block count and the usage record of the drive in `folder`, read
// from its files; false with the reason in *error.
bool readDriveRange(const std::wstring& folder, uint32_t* keyBlocks, UsageRecord* record,
                    std::wstring* error);

}  // namespace keydrive
