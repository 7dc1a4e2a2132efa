// The digest of a file, optionally keyed with a 1024-byte key block that is
// hashed before the file's bytes.
#pragma once

#include <cstdint>

// 0 with the digest in output; 1 after reporting. Shows a "Scanning" phase.
// Fails, before opening the file, when VELKIN_DIGEST_PATH asks for a
// compression path that this processor cannot run (see digestpath.h).
int digestFile(const wchar_t* path, const uint8_t* keyBlock, uint8_t output[64]);
