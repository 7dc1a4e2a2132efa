#include "tools/keydrive/partners.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "key/key.h"
#include "platform/platform.h"
#include "tools/keydrive/range.h"
#include "tools/keydrive/text.h"

namespace keydrive {

namespace {

struct Drive {
    std::wstring folder;
    bool readable = false;
    std::vector<uint8_t> block0;   // identifies the key
    uint32_t keyBlocks = 0;
    UsageRecord record;
};

Drive readDrive(const std::wstring& folder, std::wstring* report) {
    Drive drive;
    drive.folder = folder;
    std::wstring error;
    if (!readDriveRange(folder, &drive.keyBlocks, &drive.record, &error)) {
        *report += format(L"'%ls' cannot be compared: %ls\n", folder.c_str(), error.c_str());
        return drive;
    }
    const std::wstring keyPath = join(join(folder, L"SETTINGS"), L"KEY.DAT");
    drive.block0.resize(kKeyBlockSize);
    FILE* f = plat::openFile(keyPath, L"rb");
    bool read = f != nullptr && std::fread(drive.block0.data(), 1, kKeyBlockSize, f) == kKeyBlockSize;
    if (f != nullptr) std::fclose(f);
    if (!read) {
        *report += format(L"'%ls' cannot be compared: cannot read '%ls'\n", folder.c_str(), keyPath.c_str());
        return drive;
    }
    drive.readable = true;
    return drive;
}

bool sameFile(const std::wstring& a, const std::wstring& b) {
    std::error_code ec;
    return std::filesystem::equivalent(std::filesystem::path(a), std::filesystem::path(b), ec) && !ec;
}

// 1 when the two drives share blocks of the pad.
int comparePair(const Drive& a, const Drive& b, std::wstring* report) {
    const wchar_t* nameA = a.folder.c_str();
    const wchar_t* nameB = b.folder.c_str();
    if (sameFile(join(join(a.folder, L"SETTINGS"), L"KEY.DAT"), join(join(b.folder, L"SETTINGS"), L"KEY.DAT"))) {
        *report += format(L"'%ls' and '%ls' are the same drive.\n", nameA, nameB);
        return 0;
    }
    if (a.block0 != b.block0) {
        *report += format(L"'%ls' and '%ls' hold different keys.\n", nameA, nameB);
        return 0;
    }
    // A backup drive has no range: it shares no block with any drive.
    if (isBackupRecord(a.record) || isBackupRecord(b.record)) {
        const bool both = isBackupRecord(a.record) && isBackupRecord(b.record);
        const Drive& backup = isBackupRecord(a.record) ? a : b;
        const Drive& other = isBackupRecord(a.record) ? b : a;
        *report += both ? format(L"'%ls' and '%ls' are backup drives of one key (decrypt only).\n", nameA, nameB)
                        : format(L"'%ls' is a backup drive (decrypts only) of the key of '%ls'.\n",
                                 backup.folder.c_str(), other.folder.c_str());
        return 0;
    }
    const uint32_t lastA = lastUsableBlock(a.record, a.keyBlocks), lastB = lastUsableBlock(b.record, b.keyBlocks);
    const uint32_t from = std::max(a.record.firstBlock, b.record.firstBlock);
    const uint32_t to = std::min(lastA, lastB);
    if (from > to) {
        *report += format(L"'%ls' and '%ls' hold the same key with ranges apart: key blocks %u to %u and "
                          L"%u to %u.\n", nameA, nameB, a.record.firstBlock, lastA, b.record.firstBlock, lastB);
        return 0;
    }
    *report += format(L"WARNING: '%ls' and '%ls' hold the same key and their ranges overlap in key blocks "
                      L"%u to %u: each drive may encrypt a file with key blocks that the other uses too, "
                      L"which breaks the one-time pad. Encrypt with only one of them; to give a partner a "
                      L"drive of their own, use 'velkin-keydrive split'.\n",
                      nameA, nameB, from, to);
    // Blocks below both high-water marks may already serve a file on each drive.
    uint64_t usedTo = std::min<uint64_t>(std::min(a.record.highWaterMark, b.record.highWaterMark), uint64_t(to) + 1);
    if (usedTo > from)
        *report += format(L"WARNING: both drives have handed out key blocks %u to %u already: files "
                          L"encrypted with them on the two drives may share key material.\n",
                          from, uint32_t(usedTo - 1));
    return 1;
}

}  // namespace

int comparePartners(const std::vector<std::wstring>& folders, std::wstring* report) {
    std::vector<Drive> drives;
    for (const std::wstring& folder : folders) drives.push_back(readDrive(folder, report));
    int overlaps = 0;
    for (size_t i = 0; i < drives.size(); ++i)
        for (size_t j = i + 1; j < drives.size(); ++j)
            if (drives[i].readable && drives[j].readable) overlaps += comparePair(drives[i], drives[j], report);
    return overlaps == 0 ? 0 : 1;
}

}  // namespace keydrive
