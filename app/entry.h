// The program's run from start to exit code, shared by both builds' entry points.
#pragma once

#include <string>

// Runs one command for the command-line tail (the text after the program's
// own name) and returns the exit code.
int runProgram(const wchar_t* commandTail);

// Result of reading the command-line tail.
enum class TailResult { Ok, Unexpected, NotSingle, TooLong };
// Reads the optional "-x" command letter and the single path.
TailResult parseCommandTail(const wchar_t* tail, wchar_t* letter, std::wstring* path);
// The mutex name for a dropped path: every character other than an ASCII
// letter or digit or a character beyond ASCII becomes '/'.
std::wstring mutexNameFor(const std::wstring& path);
