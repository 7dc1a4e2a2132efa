// The file manager's actions on a workspace archive. The members are
// encrypted files; the program named by VKLIB_OPENER (the key drive's
// program, which started the file manager) opens, encrypts and decrypts
// them. Every change of the archive is written to a new archive that takes
// the old one's place only when it is complete (tararchive.h).
//
// Each action returns 0 on success and 1 on failure, and says what it did
// or why it failed in *message.
#pragma once

#include <string>
#include <vector>

#include "tools/tar/tarformat.h"

namespace bkfm {

// The archive path as given; on Windows without the trailing period of the
// workspace archive's name, which Windows does not store.
std::wstring archivePath(const std::wstring& given);

// The members a user works with: every member but the marker file.
int listMembers(const std::wstring& archive, std::vector<tar::Member>* members, std::wstring* message);

// One line for a member: size, date of the last change, name.
std::wstring describeMember(const tar::Member& member);
// A member's date of last change in local time: "2024-05-01 14:30".
std::wstring memberDate(int64_t seconds);

// A member as a user names it: its name in the archive, with '/' (or on
// Windows '\') between folders; a trailing separator is ignored.
std::string memberNameFrom(const std::wstring& text);

// Extracts the member to a working file in the key drive's TEMP folder,
// has the program open it ("-o"), and when the working file changed, writes
// it back into the archive.
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

}  // namespace bkfm
