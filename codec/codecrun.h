// What one encryption or decryption must undo on its way out, whatever the
// way: the source stream, the open output, the progress phase, and every
// copy of key material, plaintext and header bytes it held.
#pragma once

#include <cstdint>
#include <cstdio>

#include "codec/bufferedwrite.h"
#include "codec/format.h"
#include "codec/pending.h"
#include "digest/digestworker.h"

namespace codec {

struct CodecRun {
    FILE* source = nullptr;
    // The source as it was opened: identity, size, last write time, names
    // and permission bits.
    plat::FileId sourceId;
    bool outputOpen = false;   // abandoned (stream closed, buffer wiped) unless closed
    bool outputBegun = false;  // an output of this run, let go of at the end
    bool phaseOpen = false;    // a progress phase to end
    // The temporary output until it is settled: put in place, or kept on
    // purpose. Otherwise it is removed on the way out (erased in place when
    // it holds plaintext) and its record in the journal ended.
    PendingKind partialKind = PendingKind::Erase;
    bool partial = false;
    std::wstring partialPath;
    plat::FileId partialId;    // the temporary output as it was created
    bool recorded = false;
    uint32_t ticket = 0;
    uint8_t work[kBlockSize];
    uint8_t header[kBlockSize];
    uint8_t keyCopy[kBlockSize];
    uint8_t digest[kDigestSize];
    // The keyed digest of the plaintext, computed beside the reading and
    // writing; its slots are where the source is read into.
    DigestWorker digester;

    CodecRun() = default;
    CodecRun(const CodecRun&) = delete;
    CodecRun& operator=(const CodecRun&) = delete;
    ~CodecRun();
    // Opens the file that is read, unbuffered, without following a link
    // under its name: its bytes land only in the buffers the callers read
    // them into, which are wiped. With `expected`, the file must be that
    // file (the one a walk listed). 1 after reporting.
    int openSource(const wchar_t* path, const plat::FileId* expected = nullptr);
    // True when the source is still the version that was opened: the
    // same size and last write time through its handle.
    bool sourceUnchanged();
    void closeSource();
    // Reads up to `want` bytes of the source into `into` (fewer only at its
    // end); *got is the count. 1 when the read failed (errno says why).
    int readSource(uint8_t* into, std::size_t want, std::size_t* got);
    void beginPhase(const wchar_t* format, const wchar_t* argument, const wchar_t* title);
    void endPhase();
    // Creates the temporary output of target under a name of its own and
    // records it in the journal (kind PlainOutput or EncryptedOutput)
    // before it exists; 1 after reporting.
    // With `staged`, the temporary output and its record were made ahead
    // (by a batch of files): they are used as they are.
    int beginOutput(const wchar_t* target, PendingKind kind, StagedOutput* staged = nullptr);
    // The temporary output is in place, or kept on purpose.
    void settleOutput();

private:
    void discardPartial();
};

// Room for a file of `need` bytes at target (a FAT volume takes no file of
// 4 GiB or more); `action` and `what` name it in the message ("encrypt",
// "its encrypted file of up to"). 1 after reporting.
int checkRoom(const wchar_t* action, const wchar_t* sourcePath, const wchar_t* what,
              const wchar_t* target, uint64_t need);

// True when no buffer that the source is read into holds a byte (tests
// only).
bool sourceBufferWipedForTest();
// Tests only: called after every read of a source with the number of bytes
// read from it so far; returning false makes that read fail as a read error
// (EIO) would. nullptr: none.
extern bool (*sourceReadHookForTest)(uint64_t bytesSoFar);

}  // namespace codec
