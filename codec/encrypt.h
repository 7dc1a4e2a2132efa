// Encryption of one plaintext file into the encrypted file format.
#pragma once

// 0 when the encrypted file is complete under its name (resultPath then
// points to a buffer valid until the next call); 1 after reporting.
int encryptFile(const wchar_t* directoryPrefix, const wchar_t* sourcePath,
                const wchar_t* explicitTarget, const wchar_t** resultPath);
