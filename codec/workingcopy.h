// The open command's working copy in the journal of work in progress. The
// copy is a plaintext in the key drive's TEMP folder; it is recorded before
// it is made, so that a run stopped while it exists (its terminal closed,
// the program killed) never leaves it behind unnamed: the next run keeps
// its changes, encrypted beside the encrypted file, and erases it with the
// erase passes.
#pragma once

#include <cstdint>
#include <string>

#include "codec/pending.h"

// Records the working copy about to be made from the encrypted file. 0 with
// the record's ticket; 1 after reporting, and then the copy must not be made.
int recordWorkingCopy(const std::wstring& workingCopy, const std::wstring& encrypted, uint32_t* ticket);

// Erases the working copy with the erase passes and ends its record. 0 when
// the copy is gone; 1 after reporting (the record stays for the next run).
int eraseWorkingCopy(const std::wstring& workingCopy, uint32_t ticket);

// Keeps what the working copy holds beyond the encrypted file. When it
// holds the encrypted file's plaintext, it is erased and *kept is empty.
// Otherwise its contents are encrypted beside the encrypted file (in TEMP
// when that file's folder is gone) under a name of their own,
// "<name> (recovered)<.ext> (encrypted)", which *kept receives, and the copy
// is erased; the encrypted file is not touched. 0 when the working copy is
// gone; 1 after reporting (what is left is then in the journal).
int keepWorkingCopy(const std::wstring& workingCopy, const std::wstring& encrypted, std::wstring* kept);

// The working copy a record names, in the key drive's TEMP folder; empty
// when the record names none.
std::wstring workingCopyPath(const PendingRecord& record);

// Finishes a working copy's record of a stopped run (see recoverPending):
// keeps its changes and erases it, and says what was done. 0 when nothing
// of it is left to do.
int finishWorkingCopy(const PendingRecord& record);
