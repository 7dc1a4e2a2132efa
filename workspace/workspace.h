// Secure Workspaces: a folder turned into one archive of its files in
// encrypted form, packed by the archive tool and worked on in the file
// manager, two sibling programs in the key drive's SETTINGS folder.
#pragma once

#include <string>

// Converts a dropped folder into a workspace archive beside it and opens the
// archive in the file manager. 0 on success and when the user declines, 1
// after a reported failure.
int convertFolderToWorkspace(const wchar_t* path);

// Runs the file manager on an archive and waits for it; 0 when it exited
// with 0, else 1 after reporting. The workspace password must have been
// exported just before.
int openWorkspaceArchive(const wchar_t* archive);

// The texts a conversion works with, formed from the folder's path.
struct WorkspaceNames {
    std::wstring folder;          // the path without separators at its end
    std::wstring displayName;     // the folder's own name
    std::wstring markerPath;      // the marker file inside the folder
    std::wstring archiveName;     // the archive's name as the siblings are given it
    std::wstring archiveOnDisk;   // the file that holds the archive
};
WorkspaceNames workspaceNames(const std::wstring& folderPath);

// A sibling program in the SETTINGS folder beside the program: "bkgui" or
// "bkfm", with ".exe" on Windows.
std::wstring siblingPath(const wchar_t* name);
