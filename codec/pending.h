// The journal of work in progress: a small record on the key drive for
// every step that could leave a plaintext (or a partial output) behind if
// the program were stopped in the middle of it, so that the next run can
// finish or undo the step.
//
// Records live in SETTINGS/PENDING. Each running instance holds a lock on
// a file of its own there; a record whose instance no longer holds its lock
// belongs to a run that was stopped, and the next instance takes it over at
// start-up. Paths in records are absolute.
//
// A record is acted on only where it is consistent (its names have the
// forms this program gives them, in the folder of the file) and its file
// is found again, by its names and identity on whatever drive it stands
// now. An erase is finished only while the file that holds the same data
// in the other form (its counterpart) is confirmed; otherwise the file is
// kept, back under its own name where that is free, and the user told. A
// record whose file cannot be reached (its drive is not connected) is kept,
// and every run says where the file was left.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// The kinds of work, each finished by its own handler (see pending.cpp's
// table of kinds).
enum class PendingKind : uint32_t {
    // A file being erased whose counterpart is not known: paths are its
    // first name and the three random names it has or will have; id is
    // the file before its first rename.
    Erase = 1,
    // A decryption writing its plaintext: paths are the temporary output
    // and the target; id is the temporary output once it exists.
    PlainOutput = 2,
    // An encryption writing its encrypted file: as PlainOutput.
    EncryptedOutput = 3,
    // The open command's working copy: paths are the copy and the
    // encrypted file it comes from (see workingcopy.h).
    WorkingCopy = 4,
    // A plaintext being erased once its encrypted copy (the counterpart)
    // was written: as Erase.
    ErasePlaintext = 5,
    // An encrypted file being erased once its plaintext (the counterpart)
    // was written: as Erase.
    EraseEncrypted = 6,
};

struct PendingRecord {
    PendingKind kind = PendingKind::Erase;
    plat::FileId id;
    std::vector<std::wstring> paths;
    // Erases: the counterpart's path and its identity when the erase began.
    std::wstring counterpart;
    plat::FileId counterpartId;
    // The folder that holds the files, when the record was made: a drive
    // that is not plugged in leaves another folder (its mount point) under
    // that path. Number 0: not known.
    plat::FileId folderId;
};

// Sets the record's folder identity from the folder that holds path.
void recordFolderOf(const std::wstring& path, PendingRecord* record);

// Writes a new record durably; *ticket names it for the calls below. 0 on
// success; 1 after reporting, and then nothing may be changed that the
// record would have covered.
int beginPending(const PendingRecord& record, uint32_t* ticket);
// Replaces the record durably; 0 on success, 1 after reporting.
int updatePending(uint32_t ticket, const PendingRecord& record);
// The step is done: the record is removed (in a batch, once the last
// record of the batch is done: its record file goes then, without a commit
// of its own).
void endPending(uint32_t ticket);

// For a batch of files: writes the records in one record file, durably, in
// one commit; (*tickets)[i] names records[i] for the calls above. 0 on
// success; 1 after reporting, and then nothing may be changed that the
// records would have covered.
int beginPendingBatch(const std::vector<PendingRecord>& records, std::vector<uint32_t>* tickets);
// Replaces the records of these tickets durably, each record file written
// once; 0 on success, 1 after reporting (the records stand as before).
int updatePendingBatch(const std::vector<uint32_t>& tickets, const std::vector<PendingRecord>& records);

// At start-up: finishes the work of every record whose instance has ended
// without finishing it, logs what was done, and shows a warning for what
// needs the user (a file that could not be dealt with, an erase that was
// not finished, a file that cannot be reached). Records of instances still
// running are left alone.
void recoverPending();

// An erase that recoverPending finished in this run: a job of a stopped run
// that is now done.
struct RecoveredErase {
    PendingKind kind;            // ErasePlaintext or EraseEncrypted
    std::wstring original;       // the erased file's first name (absolute)
    std::wstring counterpart;    // where its data stands now
};
const std::vector<RecoveredErase>& recoveredErases();

// At the end of a run: gives up this instance's lock file when no record of
// it is left.
void closePending();

// Reads a record file (tests and recovery): its first record; false when
// it is not one of this build's record files.
bool readPendingRecord(const std::wstring& path, PendingRecord* record);
// Every record of a record file, in order; false as above.
bool readPendingRecords(const std::wstring& path, std::vector<PendingRecord>* records);
// The path of a record of this instance (tests).
std::wstring pendingRecordPathForTest(uint32_t ticket);
// Forgets this instance's lock so that the next record starts afresh, as in
// a new run (tests only).
void resetPendingForTest();
// Tests only: the warnings of the recovery are appended here (and logged)
// instead of being shown; nullptr shows them again.
void setPendingWarningsForTest(std::vector<std::wstring>* sink);
