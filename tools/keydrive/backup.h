// Backup key drives: the same key, index and programs as the drive they are
// made from, and a usage record with no range of its own. A backup decrypts
// every file made with the key, by its source or by any partner drive split
// from it, and never encrypts; it is what a user keeps for the day the key
// drive is lost or fails.
#pragma once

#include <string>

namespace keydrive {

// Makes TARGET a backup drive of SOURCE (crash-safe as a split: the key file
// last). *report gets what was made and the new drive's status (for
// standard output), *notes the reason it was not made or what the user
// should know beside it (for standard error). Returns the exit code: 0, 1,
// or the split's test-stop code.
int makeBackup(const std::wstring& source, const std::wstring& target, std::wstring* report,
               std::wstring* notes);

}  // namespace keydrive
