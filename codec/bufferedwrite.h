// The one output file of the codec: written through a 1 MiB buffer into a
// temporary file of its own beside the target, which takes the target's
// place only when complete.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

constexpr uint32_t kOutputBufferSize = 1048576;
// The temporary file is named after its target, ".", eight random
// hexadecimal digits and ".tmp": a name of this output alone, created
// exclusively, so that two runs never share one.
constexpr std::size_t kTempSuffixLength = 13;
// Longest target path in code units: the temporary name and its
// terminator must fit 1024 units.
constexpr uint32_t kOutputPathMax = 1024 - 1 - kTempSuffixLength;

// A fresh temporary name for target ("<target>.<8 hex digits>.tmp"); empty
// when the system gives no random numbers.
std::wstring newTempName(const wchar_t* target);
// True when name has the form of a temporary name of target.
bool isTempNameOf(const std::wstring& name, const std::wstring& target);

// An output whose temporary file a batch of files created ahead (empty,
// recorded in the journal with its identity); `taken` is set once an
// output was opened on it.
struct StagedOutput {
    std::wstring temp;
    plat::FileId id;
    uint32_t ticket = 0;   // its record in the journal
    bool taken = false;
};
// Creates the empty temporary file tempName, exclusively; *id is the file
// as created. 1 after reporting; 2 when the name is taken (nothing
// reported: the caller draws another).
int createStagedOutput(const std::wstring& tempName, plat::FileId* id);
// As openOutput, on a temporary file made by createStagedOutput: only while
// that name holds that very file, still empty. 1 after reporting; the file
// is then left as it is. Put under its name without replacing, the output
// is durable there once the caller commits its folder (commitFolderOf), as
// a batch does once for all its outputs.
int openStagedOutput(const wchar_t* path, const std::wstring& tempName, const plat::FileId& id);

// Creates the temporary output of path anew under tempName (drawn here when
// none is given). A file already under that name is never touched: the open
// fails, with errno EEXIST, and names it. The file is the owner's alone
// (0600) until it is in place.
int openOutput(const wchar_t* path, const wchar_t* tempName = nullptr);
int writeOutput(const void* data, uint32_t length);
// Replaces `length` bytes written earlier, from `offset` on, in the
// temporary file or the buffer (a header that could only be completed
// after the data that follows it); 1 after reporting.
int patchOutput(uint64_t offset, const void* data, uint32_t length);
// 0 only when the complete output stands under the target name, replacing
// what stood there. Same as finishOutput followed by commitOutput.
int closeOutput();

// The halves of closeOutput, for a caller that checks the finished file
// before it replaces anything:
// finishOutput writes what is buffered and commits the temporary file to
// the disk; 0 when it is complete on the disk. The target is not touched.
int finishOutput();
// The permission bits the output takes once it is in place (POSIX); until
// then it is 0600. Not called: it stays 0600.
void setOutputPermissions(uint32_t mode);
// Puts the finished temporary file in the target's place in one step,
// replacing the target, durably. Every commit first checks that the
// temporary file is still the one that was written, and refuses otherwise.
int commitOutput();
// Puts the finished temporary file under the target name, durably; fails
// when that name is taken, and the finished file stays where it is.
int commitOutputNoReplace();
// Replaces the target only while it holds exactly `expected` (same file,
// size and last write time), checked just before. 0 when done; 1 after
// reporting; 2 when the target holds something else now: nothing was
// renamed or reported and the finished output waits for commitOutputAs.
int commitOutputOver(const plat::FileId& expected);
// Puts the finished temporary file under another name, never replacing a
// file; that name becomes the target.
int commitOutputAs(const std::wstring& target);
// The identity of the temporary file while it is open.
bool outputIdentity(plat::FileId* id);
// The identity of the output as it stands in place after the last commit.
const plat::FileId& committedIdentity();
// Gives up the current output after a failure of the caller: closes the
// stream, leaves the temporary file on the disk, wipes the buffer.
void abandonOutput();
// The temporary name of the current (or last) output.
const wchar_t* outputTempName();
// The target of the current (or last) output.
const wchar_t* outputTargetName();

// The output buffer (tests only: it must be all zero after closing).
const uint8_t* outputBufferForTest();
