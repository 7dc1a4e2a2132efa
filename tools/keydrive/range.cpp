#include "tools/keydrive/range.h"

#include <cerrno>

#include "key/key.h"
#include "key/keybytes.h"
#include "platform/platform.h"
#include "tools/keydrive/text.h"

namespace keydrive {

namespace {
constexpr size_t kRecordSize = 12;
}

bool readUsageRecord(FILE* f, UsageRecord* record) {
    uint8_t bytes[kRecordSize];
    errno = 0;
    if (plat::seekFile(f, 0, SEEK_SET) != 0 || std::fread(bytes, 1, kRecordSize, f) != kRecordSize)
        return false;
    record->highWaterMark = readLe32(bytes);
    record->firstBlock = readLe32(bytes + 4);
    record->lastBlock = readLe32(bytes + 8);
    return true;
}

bool writeUsageRecord(FILE* f, const UsageRecord& record) {
    uint8_t bytes[kRecordSize];
    writeLe32(bytes, record.highWaterMark);
    writeLe32(bytes + 4, record.firstBlock);
    writeLe32(bytes + 8, record.lastBlock);
    errno = 0;
    return plat::seekFile(f, 0, SEEK_SET) == 0 && std::fwrite(bytes, 1, kRecordSize, f) == kRecordSize &&
           plat::commitFile(f) == 0;
}

uint32_t lastUsableBlock(const UsageRecord& record, uint32_t keyBlocks) {
    uint32_t lastPad = keyBlocks == 0 ? 0 : keyBlocks - 1;
    return record.lastBlock < lastPad ? record.lastBlock : lastPad;
}

uint64_t blocksLeft(const UsageRecord& record, uint32_t keyBlocks) {
    uint64_t end = uint64_t(lastUsableBlock(record, keyBlocks)) + 1;
    return record.highWaterMark < end ? end - record.highWaterMark : 0;
}

bool isBackupRecord(const UsageRecord& record) {
    return isBackupUsageRecord(record.highWaterMark, record.firstBlock, record.lastBlock);
}

std::wstring describeRange(const UsageRecord& record, uint32_t keyBlocks) {
    if (isBackupRecord(record))
        return L"Range: none; a backup drive (decrypts only) reads every file of its key and never encrypts\n";
    uint32_t last = lastUsableBlock(record, keyBlocks);
    uint64_t size = last >= record.firstBlock ? uint64_t(last) - record.firstBlock + 1 : 0;
    bool whole = record.firstBlock <= 1 && keyBlocks >= 2 && last == keyBlocks - 1;
    std::wstring text = format(L"Range: key blocks %u to %u, %ls: %ls\n", record.firstBlock, last,
                               whole ? L"the whole pad" : L"a share of the pad", blocksText(size).c_str());
    text += L"Left of the range: " + blocksText(blocksLeft(record, keyBlocks)) + L"\n";
    return text;
}

bool readDriveRange(const std::wstring& folder, uint32_t* keyBlocks, UsageRecord* record,
                    std::wstring* error) {
    const std::wstring settings = join(folder, L"SETTINGS");
    const std::wstring keyPath = join(settings, L"KEY.DAT");
    const std::wstring statusPath = join(settings, L"STATUS.DAT");
    int64_t keySize = -1;
    if (FILE* key = plat::openFile(keyPath, L"rb")) {
        if (plat::seekFile(key, 0, SEEK_END) == 0) keySize = plat::tellFile(key);
        std::fclose(key);
    }
    if (keySize < 0) {
        *error = format(L"cannot read the size of '%ls': %ls", keyPath.c_str(), errnoText().c_str());
        return false;
    }
    FILE* f = plat::openFile(statusPath, L"rb");
    if (f == nullptr) {
        *error = format(L"cannot open '%ls': %ls", statusPath.c_str(), errnoText().c_str());
        return false;
    }
    bool read = readUsageRecord(f, record);
    std::fclose(f);
    if (!read) {
        *error = format(L"'%ls' does not hold a whole usage record of 12 bytes", statusPath.c_str());
        return false;
    }
    uint64_t blocks = uint64_t(keySize) / kKeyBlockSize;
    *keyBlocks = blocks > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(blocks);
    return true;
}

}  // namespace keydrive
