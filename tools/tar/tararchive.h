// Workspace archives as a whole: listing a folder as members, merging new
// members into an archive's, the order of the members (the marker file
// first), and writing a new archive that takes the old one's place only
// when it is complete, on the disk and proven equal to its sources.
#pragma once

#include <string>
#include <vector>

#include "tools/tar/tarformat.h"

namespace tar {

// The workspace's marker file, always the archive's first member: its data,
// an encrypted file, then begins at byte 512, where the program looks for it.
extern const char kMarkerName[];

// A member of an archive about to be written, and where its data comes from.
struct Planned {
    Member member;             // for data from the old archive, member.dataOffset locates it there
    std::wstring sourcePath;   // the file on disk holding the data; empty: the old archive
};

// A path relative to a folder (this build's separators) as a member name
// (UTF-8, '/' between parts), and back.
std::string memberName(const std::wstring& relativePath);
std::wstring relativeDiskPath(const std::string& memberName);

// Lists everything below folder, recursively, as planned members named
// prefix + the path below folder (prefix is empty or ends in '/'). Links
// and special files are not followed or stored; their paths go to
// *skipped. 0 on success; 1 with the reason in *error.
int scanFolder(const std::wstring& folder, const std::string& prefix, std::vector<Planned>* plan,
               std::vector<std::wstring>* skipped, std::wstring* error);

// An archive's members with `added` taking their places: a member of the
// same name gives way, and so does whatever lay below a name that is now a
// file. The old members keep their data in the old archive.
std::vector<Planned> mergeMembers(const std::vector<Member>& old, const std::vector<Planned>& added);

// The marker file first, then by the parts of their names in byte order,
// so that every folder comes right before its contents.
void orderMembers(std::vector<Planned>* plan);

// Whether a member name names the given member or lies below it.
bool isAtOrBelow(const std::string& name, const std::string& top);

// Writes the plan as a new archive into a temporary file beside archivePath,
// commits it to the disk, reads it back and compares every member with its
// source, and only then renames it over archivePath. Members without a
// source path are copied from the archive now at archivePath. 0 on success;
// 1 with the reason in *error, archivePath as it was and the temporary file
// removed.
int commitArchive(const std::wstring& archivePath, const std::vector<Planned>& plan,
                  std::wstring* error);

}  // namespace tar
