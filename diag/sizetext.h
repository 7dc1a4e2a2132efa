// Amounts of bytes in the units a user reads: "512 bytes", "92.0 MB".
#pragma once

#include <cstdint>
#include <string>

// The amount in bytes below 1 KB, else in KB, MB, GB or TB (powers of
// 1024, as Windows Explorer counts) with one decimal. roundUp rounds the
// last decimal up instead of down: a need rounded up and a supply rounded
// down never show the same figure when the need is the larger.
std::wstring sizeText(uint64_t bytes, bool roundUp = false);
