// The tar format as the workspace programs write and read it: POSIX ustar
// headers of 512 bytes, each member's data padded to whole blocks, and a
// pax extended header ahead of a member whose name or size ustar cannot
// hold (a name longer than 100 bytes or with bytes beyond ASCII, a size of
// 8 GiB or more). The archive ends with two blocks of zeros.
//
// Names are bytes. A Windows build writes UTF-8; on Linux a name is the
// file name's own bytes, which need not be UTF-8: such a name goes into the
// pax header with "hdrcharset=BINARY", as the pax format provides.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tar {

constexpr std::size_t kBlockSize = 512;

enum class Kind { File, Folder };

struct Member {
    std::string name;         // path inside the archive: parts joined by '/', no '/' at the end
    Kind kind = Kind::File;
    uint64_t size = 0;        // bytes of data; 0 for a folder
    int64_t modified = 0;     // seconds since 1970-01-01 UTC
    uint64_t dataOffset = 0;  // read from an archive: where the member's data begins
};

// The header blocks that go ahead of a member's data.
std::vector<uint8_t> encodeHeaders(const Member& member);

// Zero bytes that follow size bytes of data, up to the next whole block.
uint64_t paddingAfter(uint64_t size);

// An entry whose name no program can use (it holds a NUL byte): it is no
// member, and a rewritten archive carries its bytes over unchanged, so that
// nothing of the archive is lost and the other members stay reachable.
struct Refused {
    std::string name;         // the name up to its first NUL byte, for messages
    uint64_t offset = 0;      // its first header (an extended header included)
    uint64_t length = 0;      // its headers, data and padding
};

// Reads every member's headers from the start of the archive, skipping the
// data. Refuses what a workspace never holds (links, devices), damaged
// headers and an archive cut short. An entry whose name holds a NUL byte
// goes to *refused; without that list it fails the archive. 0 on success;
// 1 with the reason in *error.
int readMembers(FILE* archive, std::vector<Member>* members, std::wstring* error,
                std::vector<Refused>* refused = nullptr);

// A path relative to a folder (this build's separators) as a member name,
// and back. On Linux names are the file names' own bytes; on Windows UTF-8.
std::string memberName(const std::wstring& relativePath);
std::wstring relativeDiskPath(const std::string& memberName);

// Whether the bytes are UTF-8 text.
bool isUtf8(const std::string& text);

// Text for a terminal, a list or a message, where a name must not act on
// the display: control characters (C0, DEL, C1) and the invisible marks
// that reorder text or break lines are shown escaped ("\x1B", "\u202E").
std::wstring escapedText(const std::wstring& text);
// A member's name as a person sees it: bytes that are no UTF-8 as U+FFFD,
// control characters escaped.
std::wstring shownName(const std::string& name);

}  // namespace tar
