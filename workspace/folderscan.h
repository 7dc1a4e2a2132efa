// Everything below a folder that a conversion into a workspace deals with:
// its files with their identities, its folders, and what it leaves out
// (links, pipes, devices), without following any link.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

struct ScannedFile {
    std::wstring relative;   // below the folder, with this build's separators
    plat::FileId id;         // which file it is, its size and last write time
};

struct FolderScan {
    std::vector<ScannedFile> files;
    std::vector<std::wstring> folders;   // relative; each before what it holds
    std::vector<std::wstring> skipped;   // relative: links and special files
};

// 0 on success; 1 after reporting.
int scanFolderTree(const std::wstring& folder, FolderScan* scan);

// Removes the name only while it holds the very file that was scanned,
// checked on the file held open (a file saved over the name meanwhile is
// left alone). True when it was removed.
bool removeScannedFile(const std::wstring& path, const ScannedFile& file);
