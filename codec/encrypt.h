// Encryption of one plaintext file into the encrypted file format.
#pragma once

#include <cstdint>
#include <string>

#include "codec/bufferedwrite.h"
#include "platform/platform.h"

// What an encryption of the file needs, found out without changing anything.
struct EncryptionNeeds {
    uint64_t plainLength = 0;
    uint32_t keyBlocks = 0;     // the reservation
    uint64_t largestSize = 0;   // the encrypted file with the longest tail
    std::wstring target;
};
// 0 when, as far as can be known before writing, encryptFile with these
// arguments can be done (the source is one regular file of one name that
// reads, its name can be stored and will decrypt, the target path fits, no
// other file stands under the default encrypted name); 1 after reporting.
// With `source`, the file under sourcePath must be that file.
int checkEncryption(const wchar_t* directoryPrefix, const wchar_t* sourcePath,
                    const wchar_t* explicitTarget, EncryptionNeeds* needs,
                    const plat::FileId* source = nullptr);

// What a caller of encryptFile knows and learns beyond its parameters.
struct EncryptChecks {
    // In: the source must be this file (the one a walk listed).
    const plat::FileId* source = nullptr;
    // In, with explicitTarget: the target is replaced only while it holds
    // exactly this version (same file, size and last write time). When it
    // holds anything else by then, the encrypted file is put beside it
    // under a new name instead (resultPath names it) and keptBeside is set.
    const plat::FileId* replaces = nullptr;
    // In: the temporary output made ahead by a batch of files.
    StagedOutput* staged = nullptr;
    // Out: the source as it was read, the same version from the first byte
    // to the last; the encrypted file as it was put in place.
    plat::FileId read;
    plat::FileId written;
    bool keptBeside = false;
};

// 0 when the encrypted file is complete under its name (resultPath then
// points to a buffer valid until the next call); 1 after reporting. A
// source with other names (hard links) is refused before any key block is
// reserved: erasing it afterwards would destroy it under those names. The
// encrypted file takes the plaintext's permission bits (POSIX; those of
// the file it replaces when it replaces one; 0600 where unknown).
int encryptFile(const wchar_t* directoryPrefix, const wchar_t* sourcePath,
                const wchar_t* explicitTarget, const wchar_t** resultPath,
                EncryptChecks* checks = nullptr);
