// Wiping secrets: key material, plaintext and anything derived from them.
#pragma once

#include <cstddef>

// Sets length bytes at data to zero. The stores are made through a function
// pointer the compiler must read at run time, so they are never dropped as
// "dead" even when the buffer is not read again (a plain memset on a buffer
// about to go out of scope is removed by the optimiser).
void wipeSecret(void* data, std::size_t length);

// True when length bytes at data are all zero (tests and checks).
bool isWiped(const void* data, std::size_t length);
