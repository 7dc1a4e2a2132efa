// Recognising encrypted files and archives of this key, and decryption with
// the tamper check.
#pragma once

#include <cstdint>
#include <string>

#include "codec/bufferedwrite.h"
#include "platform/platform.h"

// 0 when the file could be opened; the flags are -1 (true) or 0.
int probeFile(const wchar_t* path, int32_t* isEncrypted, int32_t* isArchive);
// The base name stored in a file that probeFile found encrypted: 0 with the
// name; 1 after reporting when it cannot be read or could not be decrypted.
// Leaves the key store's cursor where the probe left it.
int readStoredName(const wchar_t* path, std::wstring* name);
// What a decryption of the file will write, found out without writing:
// the plaintext's length and path, and whether it takes the encrypted
// file's own place.
struct DecryptionNeeds {
    uint64_t plainLength = 0;
    std::wstring output;
    bool replacesSource = false;
};
// Must follow a probeFile of the same file that found it encrypted; leaves
// the cursor where the probe left it. 0 when, as far as can be known before
// writing, the decryption can be done (the stored name is sound, the
// output path fits, no other file stands under the output name); 1 after
// reporting.
int checkDecryption(const wchar_t* sourcePath, const wchar_t* outputDirectory, DecryptionNeeds* needs);
// Whether an encrypted file holds exactly the plaintext file: its stored
// name is the plaintext's name (or plainName, for a plaintext that stands
// under another name), and its length, digest and every byte of its body
// agree with the file. Must follow a probeFile of the encrypted file that
// found it encrypted; leaves the cursor where the probe left it. 0 when
// they agree; 1 otherwise (also when either cannot be read). plainRead and
// encryptedRead, when given, receive the two files as they were read.
int verifyEncryptedCopy(const wchar_t* encryptedPath, const wchar_t* plainPath,
                        const wchar_t* plainName = nullptr, plat::FileId* plainRead = nullptr,
                        plat::FileId* encryptedRead = nullptr);
// What a caller of decryptFile knows and learns beyond its parameters.
struct DecryptChecks {
    // In: the encrypted file must be this file (the one a walk listed).
    const plat::FileId* source = nullptr;
    // In: the temporary output made ahead by a batch of files.
    StagedOutput* staged = nullptr;
    // Out: the encrypted file as it was read, the same version from the
    // first byte to the last.
    plat::FileId read;
    // Out: the plaintext as it was put in place.
    plat::FileId written;
};
// Must follow a probeFile of the same file that found it encrypted. The
// plaintext takes the encrypted file's permission bits (POSIX; 0600 where
// they are unknown).
int decryptFile(const wchar_t* sourcePath, const wchar_t* outputDirectory,
                const wchar_t** resultPath, DecryptChecks* checks = nullptr);
