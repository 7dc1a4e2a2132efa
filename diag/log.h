// The log on the key drive: "./LOG/log.txt", written only when the folder
// LOG exists. Entries are UTF-8 with CR LF line ends on every build.
#pragma once

#include <cstdarg>

// Writes one entry: timestamp, message, empty line. Never fails as seen by
// the caller and keeps the last system error code.
void logMessage(const wchar_t* format, ...);

// The entry writer shared with debugMessage.
void writeLogEntry(const wchar_t* format, va_list args);

// Closes the log stream so that the next entry opens it again: the key
// drive tool, which goes from one drive's folder to the next, closes it
// when it leaves a drive (the program keeps it open until it ends).
void closeLog();
// The same, for tests.
void closeLogForTest();
