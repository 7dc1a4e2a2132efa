// The running program and its key drive: names and paths set at start-up
// (the program's path, folder, caption and command letter, the key drive's
// root), the version, and small path helpers. See drive/layout.h for the
// drive's folders.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t kPathSize = 260;
constexpr std::size_t kFolderSize = 256;

extern wchar_t programPath[kPathSize];
extern wchar_t programFolder[kPathSize];    // a drive's root keeps its separator ("K:\\")
extern wchar_t caption[kPathSize];
extern wchar_t commandLetter;
extern wchar_t keyDriveRoot[kPathSize];
extern wchar_t versionText[1024];
extern const wchar_t* const buildStamp;

// Fills the names above from the running program's path; 1 when the path
// does not fit (reported).
int initProgramPaths();
// Same, from a given program path (tests).
int setProgramPaths(const wchar_t* path);

// The folder part of path up to and including its last separator ('\' or
// '/' on Windows, '/' on POSIX), or empty text, in a
// shared buffer that the next call overwrites; nullptr (after reporting)
// when it does not fit.
const wchar_t* directoryOf(const wchar_t* path);

// Formats versionText from buildStamp.
void setVersionText();
// The one line for --version: the program's name and versionText.
std::wstring versionLine(const wchar_t* programName);

// True when the environment variable is defined, whatever its value.
bool environmentHas(const wchar_t* name);
