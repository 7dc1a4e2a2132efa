// What keeps a key drive's files private and on the disk: key files for the
// user alone, and folder entries committed after renames, with a failure
// reported rather than ignored.
#pragma once

#include <string>

namespace keydrive {

// While one exists, files and folders that the tool creates are for the
// user alone (POSIX: modes 0600 and 0700; Windows: the folder's permissions
// apply).
class OwnerOnlyFiles {
public:
    OwnerOnlyFiles();
    ~OwnerOnlyFiles();
    OwnerOnlyFiles(const OwnerOnlyFiles&) = delete;
    OwnerOnlyFiles& operator=(const OwnerOnlyFiles&) = delete;
};

// Closes a folder to everyone but its owner (POSIX: mode 0700), also one
// that existed before; a file system without modes (FAT) keeps what it has.
void keepFolderPrivate(const std::wstring& folder);

// Commits the folder's entries (files created and renamed in it) to the
// disk. true on success; false with the reason in *why. On Windows every
// rename the tool makes is written through, and there is nothing left to do.
bool syncFolder(const std::wstring& folder, std::wstring* why);

}  // namespace keydrive
