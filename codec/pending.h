// The journal of work in progress: a small record on the key drive for
// every step that could leave a plaintext (or a partial output) behind if
// the program were stopped in the middle of it, so that the next run can
// finish or undo the step.
//
// Records live in SETTINGS/PENDING. Each running instance holds a lock on
// a file of its own there; a record whose instance no longer holds its lock
// belongs to a run that was stopped, and the next instance takes it over at
// start-up. Paths in records are absolute.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

enum class PendingKind : uint32_t {
    // A file being erased: paths are its first name and the random names
    // it has or will have; id is the file before its first rename.
    Erase = 1,
    // A decryption writing its plaintext: paths are the temporary output
    // and the target; id is the temporary output.
    PlainOutput = 2,
    // An encryption writing its encrypted file: as PlainOutput.
    EncryptedOutput = 3,
    // The open command's working copy: paths are the copy and the
    // encrypted file it comes from (see workingcopy.h).
    WorkingCopy = 4,
};

struct PendingRecord {
    PendingKind kind = PendingKind::Erase;
    plat::FileId id;
    std::vector<std::wstring> paths;
};

// Writes a new record durably; *ticket names it for the calls below. 0 on
// success; 1 after reporting, and then nothing may be changed that the
// record would have covered.
int beginPending(const PendingRecord& record, uint32_t* ticket);
// Replaces the record durably; 0 on success, 1 after reporting.
int updatePending(uint32_t ticket, const PendingRecord& record);
// The step is done: the record is removed.
void endPending(uint32_t ticket);

// At start-up: finishes the work of every record whose instance has ended
// without finishing it, logs what was done, and shows a warning naming any
// file that could not be dealt with (the record is then kept for the next
// run). Records of instances still running are left alone.
void recoverPending();

// At the end of a run: gives up this instance's lock file when no record of
// it is left.
void closePending();

// Reads a record file (tests and recovery); false when it is not one of
// this build's records.
bool readPendingRecord(const std::wstring& path, PendingRecord* record);
// The path of a record of this instance (tests).
std::wstring pendingRecordPathForTest(uint32_t ticket);
// Forgets this instance's lock so that the next record starts afresh, as in
// a new run (tests only).
void resetPendingForTest();
