// The working folder of one open of a member: a folder of its own in the
// key drive's TEMP folder,
//   TEMP/workspace-<random>/lock     held locked while the file manager works with it
//   TEMP/workspace-<random>/origin   the workspace and the member it comes from
//   TEMP/workspace-<random>/file/    the member's encrypted copy, which the program opens
// What the program leaves in file/ (the changed member, the changes of an
// editing it could not finish) is written back into the workspace; a
// folder whose file manager was stopped is found by the next one
// (recoverWorkingFolders) and dealt with the same way.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace bkfm {

// Where the working copy came from.
struct Origin {
    std::wstring archive;
    std::string member;
    uint64_t size = 0;
    std::string mark;       // the member's first bytes: a changed version differs there
    bool thisKey = false;   // the member is an encrypted file of the drive's key
};

struct WorkingFolder {
    std::wstring folder;
    std::wstring file;      // the member's copy in file/
    FILE* lock = nullptr;
};

// The key drive's TEMP folder, beside the program in VKLIB_OPENER.
std::wstring keyDriveTemp(const std::wstring& opener);

// Makes the folder, locked, with its origin; *folder->file is where the
// copy goes. 1 with the reason in *message.
int makeWorkingFolder(const std::wstring& opener, const Origin& origin, WorkingFolder* folder,
                      std::wstring* message);

// Removes the folder with what is in it (nothing was opened yet).
void discardWorkingFolder(WorkingFolder* folder);

// Writes what the program left in the working folder into the workspace
// and removes the folder when nothing of it is left. `code` is the
// program's exit code (-1 for a folder of a stopped file manager). 0 when
// everything is done; *message says what happened either way. The folder's
// lock is let go in any case.
int collectWorkingFolder(WorkingFolder* folder, const Origin& origin, int code, std::wstring* message);

}  // namespace bkfm
