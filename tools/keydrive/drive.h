// Making and checking key drives: SETTINGS/KEY.DAT, SETTINGS/INDEX.DAT,
// SETTINGS/STATUS.DAT, the folders LOG and TEMP and the program's copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace keydrive {

// Fills a buffer with random bytes; false on failure.
using RandomSource = bool (*)(void* buffer, std::size_t length);

// The largest key: its index of 10 x N slots must be numbered in 32 bits.
constexpr uint64_t kMaxKeyBlocks = 0xFFFFFFFFull / 10;
// The smallest key: block 0 and a few pad blocks.
constexpr uint64_t kMinKeyBlocks = 4;

// "1048576", "1024K", "512M", "1G" (K, M, G are powers of 1024); false when
// the text is not a size.
bool parseSize(const std::wstring& text, uint64_t* bytes);

struct MakeOptions {
    std::wstring folder;        // the key drive's folder (made when missing)
    uint64_t sizeBytes = 0;     // size of the key file: a multiple of 1024
    std::wstring programPath;   // copied as Decrypt, Encrypt, Open, Status (with the siblings
                                // found beside it, see workspaceSiblings); empty: none
    bool showProgress = false;  // percent on standard error
    RandomSource random = nullptr;  // nullptr: the system's cryptographic source
};

// The Secure Workspace's sibling programs that make installs in SETTINGS:
// bkgui and bkfm from the program's own folder, with ".exe" when the
// program's name has it.
struct SiblingCopy {
    std::wstring source;   // beside the program
    std::wstring name;     // its name in SETTINGS
};
std::vector<SiblingCopy> workspaceSiblings(const std::wstring& programPath);

// Lays out a key drive. 0 on success; 1 with the reason in *error.
// Never replaces an existing key file, index or usage record.
int makeDrive(const MakeOptions& options, std::wstring* error);

// Verifies a key drive and describes it in plain words, one line each, in
// *report. 0 when the drive is sound, 1 otherwise.
int checkDrive(const std::wstring& folder, std::wstring* report);

// The key number and usage as the program reads them; 0 on success, 1 with
// the reason in *report.
int driveStatus(const std::wstring& folder, std::wstring* report);

}  // namespace keydrive
