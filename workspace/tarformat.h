// The tar format as the workspace programs write and read it: POSIX ustar
// headers of 512 bytes, each member's data padded to whole blocks, and a
// pax extended header ahead of a member whose name or size ustar cannot
// hold (a name longer than 100 bytes or with bytes beyond ASCII, a size of
// 8 GiB or more). The archive ends with two blocks of zeros.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tar {

constexpr std::size_t kBlockSize = 512;

enum class Kind { File, Folder };

struct Member {
    std::string name;         // UTF-8 path inside the archive: parts joined by '/', no '/' at the end
    Kind kind = Kind::File;
    uint64_t size = 0;        // bytes of data; 0 for a folder
    int64_t modified = 0;     // seconds since 1970-01-01 UTC
    uint64_t dataOffset = 0;  // read from an archive: where the member's data begins
};

// The header blocks that go ahead of a member's data.
std::vector<uint8_t> encodeHeaders(const Member& member);

// Zero bytes that follow size bytes of data, up to the next whole block.
uint64_t paddingAfter(uint64_t size);

// Reads every member's headers from the start of the archive, skipping the
// data. Refuses what a workspace never holds (links, devices), damaged
// headers and an archive cut short. 0 on success; 1 with the reason in
// *error.
int readMembers(FILE* archive, std::vector<Member>* members, std::wstring* error);

}  // namespace tar
