// Workspace archives as a whole: listing a folder as members, merging new
// members into an archive's, the order of the members (the marker file
// first), writing a new archive that takes the old one's place only when
// it is complete, on the disk and proven equal to its sources, and the
// workspace's lock, under which every change re-reads the archive and
// commits only what does not undo another's change.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "workspace/tarformat.h"

namespace tar {

// The workspace's marker file, always the archive's first member: its data,
// an encrypted file, then begins at byte 512, where the program looks for it.
extern const char kMarkerName[];

// A member of an archive about to be written, and where its data comes from.
struct Planned {
    Member member;             // for data from the old archive, member.dataOffset locates it there
    std::wstring sourcePath;   // the file on disk holding the data; empty: the old archive
    // An entry of the old archive that is no member (see Refused), carried
    // over byte for byte from `carried.offset`; member is then unused.
    bool isCarried = false;
    Refused carried;
};

// Lists everything below folder, recursively, as planned members named
// prefix + the path below folder (prefix is empty or ends in '/'). Links
// and special files are not followed or stored; their paths go to
// *skipped. 0 on success; 1 with the reason in *error.
int scanFolder(const std::wstring& folder, const std::string& prefix, std::vector<Planned>* plan,
               std::vector<std::wstring>* skipped, std::wstring* error);

// An archive's members with `added` taking their places: a member of the
// same name gives way, and so does whatever lay below a name that is now a
// file. The old members keep their data in the old archive; the refused
// entries are carried over.
std::vector<Planned> mergeMembers(const std::vector<Member>& old, const std::vector<Planned>& added,
                                  const std::vector<Refused>& refused = {});

// The marker file first, then by the parts of their names in byte order,
// so that every folder comes right before its contents; carried entries
// last.
void orderMembers(std::vector<Planned>* plan);

// Whether a member name names the given member or lies below it.
bool isAtOrBelow(const std::string& name, const std::string& top);

// Writes the plan as a new archive into a temporary file beside archivePath,
// commits it to the disk, reads it back and compares every member with its
// source, and only then renames it over archivePath. Members without a
// source path, and carried entries, are copied from the archive now at
// archivePath. 0 on success; 1 with the reason in *error, archivePath as it
// was and the temporary file removed.
int commitArchive(const std::wstring& archivePath, const std::vector<Planned>& plan,
                  std::wstring* error);

// ---------------------------------------------------------------- the lock

// The workspace's lock: a lock on an empty file beside the archive, named
// after it with ".lock", held exclusively by every change of the archive
// (the file manager's window and subcommands, the archive tool) and shared
// by whoever reads members' data, so that no change replaces the archive
// while it is read (Windows cannot rename over an open file). The file is
// removed again when the last holder lets go.
struct WorkspaceLock {
    FILE* file = nullptr;
    std::wstring path;
    bool exclusive = false;
};
// Waits until the lock is granted. A reader in a folder it cannot write to
// goes on without a lock (no change can be made there either). 0 on
// success; 1 with the reason in *error.
int lockWorkspace(const std::wstring& archivePath, bool exclusive, WorkspaceLock* lock,
                  std::wstring* error);
void unlockWorkspace(WorkspaceLock* lock);

// ---------------------------------------------------------------- changes

// The archive as one reader saw it: which file it was, its members and the
// first bytes of each member's data (an encrypted file's first bytes are
// unique to that encryption: they tell one version of a member from another).
struct Snapshot {
    plat::FileId id;
    std::vector<Member> members;
    std::vector<Refused> refused;
    std::vector<std::string> marks;   // one per member
};
// Reads the archive at path; 0 on success, 1 with the reason in *error.
// readSnapshot takes no lock (the caller holds one); readWorkspace takes
// the shared lock for the time it reads.
int readSnapshot(const std::wstring& archivePath, Snapshot* snapshot, std::wstring* error);
int readWorkspace(const std::wstring& archivePath, Snapshot* snapshot, std::wstring* error);
// The first bytes of a member's data as a snapshot keeps them (see marks),
// for a file holding a copy of them.
std::string fileMark(const std::wstring& path);

// One change of a workspace, decided on a snapshot: members added (or put
// in place of members of the same names) and names removed, each with
// everything below it.
struct Change {
    std::vector<Planned> added;
    std::vector<std::string> removed;
};

enum class ChangeOutcome { Done, Conflict, Failed };

// Takes the workspace's lock and reads the archive again. When nothing the
// change touches (the names added and removed, what lies below them, and a
// file in the place of a folder they need) differs from `base`, writes the
// change on top of the archive as it is now, keeping whatever others
// changed meanwhile: Done. Otherwise writes nothing: Conflict, *error says
// what was changed meanwhile. Failed: the archive could not be read or
// written (*error says why); it is as it was. *now, when given, receives the
// archive as read under the lock (before the change).
ChangeOutcome changeWorkspace(const std::wstring& archivePath, const Snapshot& base, const Change& change,
                              std::wstring* error, Snapshot* now = nullptr);

}  // namespace tar
