// Encryption of one plaintext file into the encrypted file format.
#pragma once

#include <cstdint>
#include <string>

// What an encryption of the file needs, found out without changing anything.
struct EncryptionNeeds {
    uint64_t plainLength = 0;
    uint32_t keyBlocks = 0;     // the reservation
    uint64_t largestSize = 0;   // the encrypted file with the longest tail
    std::wstring target;
};
// 0 when, as far as can be known before writing, encryptFile with these
// arguments can be done (the source reads, its name can be stored and will
// decrypt, the target path fits, no other file stands under the default
// encrypted name or the temporary name); 1 after reporting.
int checkEncryption(const wchar_t* directoryPrefix, const wchar_t* sourcePath,
                    const wchar_t* explicitTarget, EncryptionNeeds* needs);

// 0 when the encrypted file is complete under its name (resultPath then
// points to a buffer valid until the next call); 1 after reporting.
int encryptFile(const wchar_t* directoryPrefix, const wchar_t* sourcePath,
                const wchar_t* explicitTarget, const wchar_t** resultPath);
