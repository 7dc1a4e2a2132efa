// Debug mode: trace lines that are logged only when VKLIB_DEBUG is set and
// VKLIB_MANUFACTURER names the debug-enable file.
#pragma once

// Writes a log entry only in debug mode; decides debug mode on first use.
void debugMessage(const wchar_t* format, ...);

// The check that VKLIB_MANUFACTURER names the debug-enable file
// (manufacturerCheck of digest/debugenable.h). The entry point sets it before
// anything is traced; without it debug mode stays off.
void setDebugEnableCheck(bool (*check)());

// Forgets the decision so that the next debugMessage decides again (tests only).
void resetDebugModeForTest();
