// Splitting a key drive into two partner drives: the same key and index on
// both, each with a range of the pad of its own, so that two people can
// encrypt at the same time without ever using a key block twice, and each
// decrypts the other's files. The same steps make a backup drive: the same
// key and index with no range at all, which decrypts every file of the key
// and never encrypts.
#pragma once

#include <cstdint>
#include <string>

#include "tools/keydrive/range.h"

namespace keydrive {

// The part of SOURCE's unused pad that TARGET gets: numerator / denominator,
// strictly between 0 and 1, and the text it was given as.
struct Share {
    uint64_t numerator = 1;
    uint64_t denominator = 2;
    std::wstring text = L"1/2";
};

// "1/3", "0.25", ".5", "40%", "12.5%"; false when the text is no fraction
// strictly between 0 and 1 (at most six decimals, terms up to 10^9).
bool parseShare(const std::wstring& text, Share* share);

// Each drive of a pair must keep at least this many unused blocks: enough
// to encrypt a file of 60 KiB.
constexpr uint32_t kMinShareBlocks = 64;

// The steps after which a split is on the disk, in their order. A split
// stopped dead after any of them (or in between) leaves SOURCE usable and
// never two usable drives whose ranges overlap.
enum SplitStep {
    kStepProgramsCopied = 1,   // TARGET's folders, the program copies and siblings
    kStepKeyCopied,            // SETTINGS/KEY.DAT.tmp and KEYSUM.DAT.tmp on TARGET
    kStepIndexCopied,          // SETTINGS/INDEX.DAT.tmp
    kStepRecordWritten,        // SETTINGS/STATUS.DAT.tmp with TARGET's range
    kStepSourceLowered,        // SOURCE's lastBlock lowered below TARGET's range (a backup: nothing)
    kStepIndexNamed,           // INDEX.DAT.tmp renamed INDEX.DAT, KEYSUM.DAT.tmp KEYSUM.DAT
    kStepRecordNamed,          // STATUS.DAT.tmp renamed STATUS.DAT
    kStepKeyNamed,             // KEY.DAT.tmp renamed KEY.DAT: TARGET is usable
    kSplitStepCount = kStepKeyNamed
};

// splitDrive's result when it stopped for a test.
constexpr int kSplitStopped = 3;

struct SplitOptions {
    std::wstring source;
    std::wstring target;
    Share share;
    bool showProgress = false;   // percent of the copies on standard error
    // Tests only: leave off after this step as a kill would, with nothing
    // cleaned up (0: never). With exitAtStop the process ends there and then.
    int stopAfterStep = 0;
    bool exitAtStop = false;
    // Make TARGET a backup drive of SOURCE instead of a partner drive: no
    // range of its own, and SOURCE stays as it is. The share is not used.
    bool backup = false;
    // Commits a folder's entries to the disk; true on success, else false
    // with *why. Tests give one that fails; nullptr: the system's.
    bool (*syncFolder)(const std::wstring& folder, std::wstring* why) = nullptr;
};

struct SplitResult {
    uint32_t keyBlocks = 0;
    UsageRecord source;          // SOURCE's record as lowered
    UsageRecord target;          // TARGET's record
    bool replacedLeftovers = false;   // TARGET held key files of an unfinished split or make
    // TARGET held the half of a split that was cut short after SOURCE had
    // given up TARGET's range: the split was finished with that range.
    bool finishedCutShort = false;
    // What the user should know about the key file's digest on TARGET (for
    // one, that SOURCE kept none to check the copy against); empty if all
    // is well.
    std::wstring digestNote;
};

// 0 on success. 1 with the reason in *error: a refusal leaves both drives
// as they were; a failure says what it left. kSplitStopped for a test stop.
// A split refuses a SOURCE that is a backup drive, and so does a backup.
int splitDrive(const SplitOptions& options, SplitResult* result, std::wstring* error);

// Tests stop a split or backup dead after a given step, as a kill would:
// VKLIB_TEST_SPLIT_STOP=<step> ends the process there.
void takeTestStop(SplitOptions* options);

}  // namespace keydrive
