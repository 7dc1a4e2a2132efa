// The debug-enable file: the one file whose digest switches debug mode on
// (see diag/manufacture.h). The check needs the digest, so it lives here and
// the entry point hands it to the log's debug switch.
#pragma once

#include <cstdint>

// The Whirlpool digest that the debug-enable file must have.
extern const uint8_t manufacturerDigest[64];

// True when VKLIB_MANUFACTURER names a file whose digest is manufacturerDigest.
bool manufacturerCheck();
