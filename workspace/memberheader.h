// Whether a workspace member (or any file) is an encrypted file of the key
// in the drive, and its plaintext's length, read from its stored header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// What the stored header at `offset` of the stream says, for data of `size`
// bytes there.
enum class HeaderFinding {
    ThisKey,      // an encrypted file of this key; *plainLength is its plaintext's length
    NotThisKey,   // no encrypted file of this key (plaintext, another key's, damaged)
    Unknown,      // the key store or the stream could not be read (reported)
};
HeaderFinding readStoredLength(FILE* f, uint64_t offset, uint64_t size, uint64_t* plainLength);
// The same for a whole file.
HeaderFinding readStoredLength(const std::wstring& path, uint64_t* plainLength);
