// The key drive's own files, which no walk encrypts, decrypts or erases:
// the folders SETTINGS (key, index, usage record, journal of work in
// progress, sibling programs), LOG (the log being written) and TEMP (the
// open command's working copies) of the program's folder, the program file,
// the programs in that folder (the copies named after the commands, of
// either build: a drive may serve Windows and Linux) and their desktop
// launchers.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

struct DriveFiles {
    std::vector<plat::FileId> folders;   // SETTINGS, LOG, TEMP
    std::vector<plat::FileId> files;     // the program file, the three key files
    bool knowsProgramFolder = false;
    plat::FileId programFolder;
};

// Learns the identities of the key drive's files; the current folder is the
// program's folder.
void loadDriveFiles(DriveFiles* drive);
bool isDriveFolder(const DriveFiles& drive, const plat::FileId& folder);
// A file of the key drive: the program, a key file, a program (of either
// build) in the program's folder or the launcher "<program>.desktop" of
// one. folder is the identity of the folder that holds the file.
bool isDriveFile(const DriveFiles& drive, const std::wstring& path, const plat::FileId& file,
                 const plat::FileId& folder);
// True when path, or one of the folders it lies in, is a key drive file or
// folder.
bool liesOnDriveFiles(const DriveFiles& drive, const std::wstring& path);
