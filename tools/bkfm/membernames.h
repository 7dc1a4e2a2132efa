// Member names as files on this system: which names can be file names
// here, and free names for a member saved beside another.
#pragma once

#include <string>
#include <vector>

#include "workspace/tarformat.h"

namespace bkfm {

// Whether a name part can be the name of a file this build writes; *why
// then says why not (a name Windows reserves for a device, a character
// Windows file names cannot hold, ...).
bool storablePart(const std::wstring& part, std::wstring* why);
// The same for every part of a member name.
bool storableName(const std::string& name, std::wstring* why);

// The part of a member name after its last '/', and the part before it
// (with its '/'; empty at the top).
std::string lastMemberPart(const std::string& name);
std::string memberFolderPart(const std::string& name);

// `wanted` when no member has that name, else "<stem> (2)<.ext>", "(3)", ...
std::string freeMemberName(const std::vector<tar::Member>& members, const std::string& wanted);

}  // namespace bkfm
