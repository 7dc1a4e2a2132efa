// Recognising encrypted files and archives of this key, and decryption with
// the tamper check.
#pragma once

#include <cstdint>

// 0 when the file could be opened; the flags are -1 (true) or 0.
int probeFile(const wchar_t* path, int32_t* isEncrypted, int32_t* isArchive);
// Must follow a probeFile of the same file that found it encrypted.
int decryptFile(const wchar_t* sourcePath, const wchar_t* outputDirectory,
                const wchar_t** resultPath);
