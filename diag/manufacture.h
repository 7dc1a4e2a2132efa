// Debug mode: trace lines that are logged only when VKLIB_DEBUG is set and
// VKLIB_MANUFACTURER names the debug-enable file.
#pragma once

#include <cstdint>

// The Whirlpool digest that the debug-enable file must have.
extern const uint8_t manufacturerDigest[64];

// Writes a log entry only in debug mode; decides debug mode on first use.
void debugMessage(const wchar_t* format, ...);

// True when VKLIB_MANUFACTURER names a file whose digest is manufacturerDigest.
bool manufacturerCheck();

// Forgets the decision so that the next debugMessage decides again (tests only).
void resetDebugModeForTest();
