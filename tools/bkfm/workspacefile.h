// The file manager's actions on a workspace archive, one API for every
// front end (the Windows window, the terminal, a desktop window on Linux).
// The members are encrypted files; the program named by VKLIB_OPENER (the
// key drive's program, which started the file manager) opens, encrypts and
// decrypts them.
//
// Every change takes the workspace's lock, reads the archive again and is
// written on top of it as it is then, to a new archive that takes the old
// one's place only when it is complete (tararchive.h): a change another
// program made meanwhile is kept, and a member changed by another meanwhile
// is never overwritten (an edit of it is saved under a name of its own).
//
// Each action returns 0 on success and 1 on failure, and says what it did
// or why it failed in *message. Names in messages are shown with control
// characters escaped. Call them from one thread at a time.
#pragma once

#include <string>
#include <vector>

#include "workspace/tarformat.h"

namespace bkfm {

// Once, before anything else: remembers the folder the user's relative
// paths are given in, and works in the key drive's folder (that of the
// program in VKLIB_OPENER), where the key is, so that the plaintext sizes
// can be read from the members' headers.
void prepareProcess();

// The archive path as given, absolute (against the folder remembered by
// prepareProcess) and, when it is reached through a symbolic link, the
// file the link leads to; on Windows without the trailing period of the
// workspace archive's name, which Windows does not store.
std::wstring archivePath(const std::wstring& given);

// A member as the list shows it.
struct Entry {
    tar::Member member;
    bool thisKey = false;   // an encrypted file of the key in the drive
    uint64_t shownSize = 0; // its plaintext's size; the data's size for other files
};

// The members a user works with: every member but the marker file. Entries
// whose names cannot be used (see tar::Refused) are left out and named in
// *message, which is otherwise empty on success.
int listMembers(const std::wstring& archive, std::vector<Entry>* entries, std::wstring* message);

// One line for a member: size, date of the last change, name.
std::wstring describeMember(const Entry& entry);
// The size column: the plaintext's size, or "<folder>".
std::wstring sizeText(const Entry& entry);
// A member's date of last change in local time: "2024-05-01 14:30".
std::wstring memberDate(int64_t seconds);
// A member's name (or any name) as a person sees it: bytes that are no
// UTF-8 as U+FFFD, control characters escaped.
std::wstring shownName(const std::string& name);

// A member as a user names it: its name in the archive, with '/' (or on
// Windows '\') between folders; a trailing separator is ignored. On Linux
// the text's bytes are kept.
std::string memberNameFrom(const std::wstring& text);
// The member a user typed: the exact name, or else the one member whose
// shown name it is (a name with control characters or bytes that are no
// UTF-8 is typed as it is shown). False when there is none.
bool findTypedMember(const std::vector<Entry>& entries, const std::wstring& text, std::string* name);

// Extracts the member to a working folder in the key drive's TEMP folder,
// has the program open it ("-o"), and writes what the program leaves there
// (a changed version, the changes of an editing it could not finish) back
// into the archive.
int openMember(const std::wstring& archive, const std::string& name, std::wstring* message);

// Has the program encrypt a file or folder under its own names ("-e"; the
// program erases the plaintext), adds the result as a member and removes
// the encrypted copy from where it was.
int addPath(const std::wstring& archive, const std::wstring& path, std::wstring* message);

// Writes a member (a file, or a folder with its contents) into folder and
// has the program decrypt it there ("-d"), so that it stands there in
// plaintext under its own name. Never replaces anything in folder.
int extractMember(const std::wstring& archive, const std::string& name, const std::wstring& folder,
                  std::wstring* message);

// Removes a member (a folder with its contents) from the archive.
int removeMember(const std::wstring& archive, const std::string& name, std::wstring* message);

// Finishes what a file manager that was stopped during an open left in the
// key drive's TEMP folder: edits are written into their workspaces, the
// rest is removed. *message says what was done; empty when there was
// nothing. Every front end calls it at its start.
void recoverWorkingFolders(std::wstring* message);

}  // namespace bkfm
