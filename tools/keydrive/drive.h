// Making and checking key drives: SETTINGS/KEY.DAT, SETTINGS/INDEX.DAT,
// SETTINGS/STATUS.DAT, the folders LOG and TEMP and the program's copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/keydrive/padindex.h"

namespace keydrive {

// The largest key: its index of 10 x N slots must be numbered in 32 bits.
constexpr uint64_t kMaxKeyBlocks = 0xFFFFFFFFull / 10;
// The smallest key: block 0 and a few pad blocks.
constexpr uint64_t kMinKeyBlocks = 4;
// No file on a FAT volume can be larger.
constexpr uint64_t kFatFileLimit = 0xFFFFFFFFull;
// Room kept free beside what make counts (folders, cluster ends).
constexpr uint64_t kRoomMargin = uint64_t(1) << 20;

// "1048576", "1024K", "512M", "1G" (K, M, G are powers of 1024); false when
// the text is not a size.
bool parseSize(const std::wstring& text, uint64_t* bytes);

struct MakeOptions {
    std::wstring folder;        // the key drive's folder (made when missing)
    uint64_t sizeBytes = 0;     // size of the key file: a multiple of 1024
    std::wstring programPath;   // copied as Decrypt, Encrypt, Open, Status (with the siblings
                                // found beside it, see workspaceSiblings); empty: none
    bool showProgress = false;  // progress on standard error
    RandomSource random = nullptr;  // nullptr: the system's cryptographic source
    IndexBudget budget;         // memory for the index's ranges and records
    // The free bytes of the volume that holds a path and whether it is FAT;
    // nullptr: the system's answer. Tests give volumes of their own.
    bool (*volume)(const std::wstring& path, uint64_t* freeBytes, bool* isFat) = nullptr;
    // Tests only: the process ends dead (exit code kMakeStopped) after this
    // step, as a kill would (0: never).
    int stopAfterStep = 0;
};

// The steps of a make, in their order, after which a test can stop it.
enum MakeStep {
    kMakeStepProgramsCopied = 1,   // folders, program copies, launchers, siblings
    kMakeStepKeyWritten,           // SETTINGS/KEY.DAT.tmp
    kMakeStepIndexWritten,         // SETTINGS/INDEX.DAT.tmp
    kMakeStepRecordWritten,        // SETTINGS/STATUS.DAT.tmp
    kMakeStepIndexNamed,           // INDEX.DAT.tmp renamed INDEX.DAT
    kMakeStepRecordNamed,          // STATUS.DAT.tmp renamed STATUS.DAT
    kMakeStepKeyNamed,             // KEY.DAT.tmp renamed KEY.DAT: the drive is made
    kMakeStepCount = kMakeStepKeyNamed
};
constexpr int kMakeStopped = 3;

struct MakeResult {
    bool replacedLeftovers = false;   // key files of an unfinished make or split were replaced
    uint64_t redrawnBlocks = 0;       // pad blocks drawn again, alike an earlier one
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
// Never replaces an existing key file. Key files without a key beside them
// (what a make or split cut short leaves) are replaced. Checks the room on
// the volume (and FAT's file limit) before it writes anything; writes the
// program copies first and the key file last, so that a make cut short
// leaves no drive; a failure says what it left.
int makeDrive(const MakeOptions& options, std::wstring* error, MakeResult* result = nullptr);

// The key files that a make or split cut short left in a drive's folder
// (INDEX.DAT, STATUS.DAT and the *.tmp files in SETTINGS, when there is no
// KEY.DAT); empty when KEY.DAT exists.
std::vector<std::wstring> unfinishedKeyFiles(const std::wstring& folder);

// The room make needs on the volume for a key of keyBytes, its index, the
// usage record, the scratch space for building the index and programBytes
// of program copies.
uint64_t makeRoomNeeded(uint64_t keyBytes, const IndexBudget& budget, uint64_t programBytes);

// Verifies a key drive and describes it in plain words, one line each, in
// *report. 0 when the drive is sound, 1 otherwise. Reads the key file once
// and the index once, in bounded memory (`budget`), with progress on
// standard error when `showProgress`.
int checkDrive(const std::wstring& folder, std::wstring* report, bool showProgress = false,
               const IndexBudget& budget = IndexBudget());

// The key number and usage as the program reads them; 0 on success, 1 with
// the reason in *report.
int driveStatus(const std::wstring& folder, std::wstring* report);

}  // namespace keydrive
