// The shared last-error text, message-box text formatting and the texts of
// system and C runtime errors.
#pragma once

#include <cstddef>

constexpr std::size_t kLastErrorTextSize = 2048;
constexpr std::size_t kMessageTextSize = 1024;

// Text of the most recent failure reported through reportError.
extern wchar_t lastErrorText[kLastErrorTextSize];

// Records a failure: formats into lastErrorText (cut at 2047 characters) and
// logs "ERROR: %ls". Leaves the last system error code as it found it.
void reportError(const wchar_t* format, ...);

// Text of the last system error, or "success" when it is 0. Valid until the
// program ends.
const wchar_t* systemErrorText();

// The C runtime's text for the current errno, valid until the next call.
const wchar_t* stdErrorText();

// Formats into the shared message buffer (cut at 1023 characters) and
// returns it; the next call overwrites it.
const wchar_t* formatText(const wchar_t* format, ...);
