// The program's run from start to exit code, shared by both builds' entry points.
#pragma once

#include <string>
#include <vector>

// Runs one command for the command-line tail (the text after the program's
// own name) and returns the exit code. The Windows build: the system hands
// the program one text.
int runProgram(const wchar_t* commandTail);
// The same for arguments that arrive one by one, as on Linux: each is taken
// as it is, so a path may hold blanks and double quotes.
int runProgramWithArguments(const std::vector<std::wstring>& arguments);

// Result of reading the command line.
enum class TailResult { Ok, Unexpected, NotSingle, TooLong };
// Reads the optional "-x" command letter and the single path.
TailResult parseCommandTail(const wchar_t* tail, wchar_t* letter, std::wstring* path);
// The same from separate arguments: an optional first argument "-x" (the
// path may follow the letter directly, as in "-d/a.txt"), then at most one
// path, taken whole.
TailResult parseArguments(const std::vector<std::wstring>& arguments, wchar_t* letter,
                          std::wstring* path);
// The mutex name for a dropped path: every character other than an ASCII
// letter or digit or a character beyond ASCII becomes '/'.
std::wstring mutexNameFor(const std::wstring& path);
