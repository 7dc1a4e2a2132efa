// The one output file of the codec: written through a 1 MiB buffer into
// "<target>.tmp", which replaces the target only when complete.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t kOutputBufferSize = 1048576;
// Longest target path in code units: the temporary name "<target>.tmp" and
// its terminator must fit 1024 units.
constexpr uint32_t kOutputPathMax = 1019;

// Creates "<path>.tmp" anew; a non-empty file that stands under that name
// already is never overwritten (the open fails and names it).
int openOutput(const wchar_t* path);
// 0 when openOutput would find nothing in its way under "<path>.tmp"; 1
// after reporting as openOutput would.
int checkOutputFree(const wchar_t* path);
int writeOutput(const void* data, uint32_t length);
// Replaces `length` bytes written earlier, from `offset` on, in the
// temporary file or the buffer (a header that could only be completed
// after the data that follows it); 1 after reporting.
int patchOutput(uint64_t offset, const void* data, uint32_t length);
// 0 only when the complete output stands under the target name.
// Same as finishOutput followed by commitOutput.
int closeOutput();

// The two halves of closeOutput, for a caller that checks the finished file
// before it replaces anything:
// finishOutput writes what is buffered, commits the temporary file to the
// disk and closes it; 0 when "<target>.tmp" is complete on the disk. The
// target is not touched.
int finishOutput();
// Puts the finished temporary file in the target's place in one step,
// replacing the target, durably.
int commitOutput();
// Puts the finished temporary file under the target name, durably; fails
// when that name is taken, and the finished file stays where it is.
int commitOutputNoReplace();
// The identity of the temporary file while it is open.
bool outputIdentity(plat::FileId* id);
// Gives up the current output after a failure of the caller: closes the
// stream, leaves the temporary file on the disk, wipes the buffer.
void abandonOutput();
// The temporary name of the current (or last) output.
const wchar_t* outputTempName();

// The output buffer (tests only: it must be all zero after closing).
const uint8_t* outputBufferForTest();
