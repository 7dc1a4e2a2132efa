// Reading an encrypted file's stored header where it stands: in a file of
// its own or as a member's data inside a workspace archive.
#include "workspace/memberheader.h"

#include <cstring>

#include "codec/format.h"
#include "key/key.h"
#include "platform/platform.h"

HeaderFinding readStoredLength(FILE* f, uint64_t offset, uint64_t size, uint64_t* plainLength) {
    if (size < codec::kBlockSize) return HeaderFinding::NotThisKey;
    uint8_t header[codec::kBlockSize];
    if (plat::seekFile(f, static_cast<int64_t>(offset), SEEK_SET) != 0 ||
        std::fread(header, 1, sizeof header, f) != sizeof header)
        return HeaderFinding::Unknown;
    const int found = lookUpKeyBlock(header);
    if (found == 2) return HeaderFinding::Unknown;
    if (found != 0) return HeaderFinding::NotThisKey;
    const uint8_t* block = nextKeyBlock();
    if (!block) return HeaderFinding::Unknown;
    codec::xorBlock(header, block);
    wipeKeyMaterial();
    const uint32_t version = codec::getU32(header + codec::kVersionOffset);
    const uint64_t length = codec::getU64(header + codec::kPlainLengthOffset);
    std::memset(header, 0, sizeof header);
    // The body and tail that length needs must be what follows the header.
    const uint64_t body = codec::kBlockSize * (codec::chunkCount(length) + 1);
    if (version != codec::kFormatVersion || size < body || size - body >= codec::kBlockSize)
        return HeaderFinding::NotThisKey;
    *plainLength = length;
    return HeaderFinding::ThisKey;
}

HeaderFinding readStoredLength(const std::wstring& path, uint64_t* plainLength) {
    plat::FileInfo info;
    if (!plat::fileInfo(path, &info) || info.isDirectory || info.isSpecial) return HeaderFinding::Unknown;
    FILE* f = plat::openFile(path, L"rb");
    if (!f) return HeaderFinding::Unknown;
    const HeaderFinding finding = readStoredLength(f, 0, info.size, plainLength);
    std::fclose(f);
    return finding;
}
