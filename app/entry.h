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

// Result of reading the command line: a command letter (when one is given)
// and a path, or -h / --help, or --version, each alone on the command line;
// or what is wrong with it. An option is -d, -e, -o or -s at the start (the
// path may follow the letter directly: -dC:\a.txt), and "--" ends the
// options; any other word that begins with '-' before the path is an
// unknown option.
enum class TailResult { Ok, Help, Version, BadOption, Unexpected, NotSingle, TooLong };
// Reads the command-line tail as the system hands it to the Windows build:
// a path with blanks stands between double quotes. *unknownOption names
// the option of a BadOption.
TailResult parseCommandTail(const wchar_t* tail, wchar_t* letter, std::wstring* path,
                            std::wstring* unknownOption = nullptr);
// The same from separate arguments, as on Linux: each is taken whole, so a
// path may hold blanks and double quotes.
TailResult parseArguments(const std::vector<std::wstring>& arguments, wchar_t* letter,
                          std::wstring* path, std::wstring* unknownOption = nullptr);
// The mutex name for a dropped path: every character other than an ASCII
// letter or digit or a character beyond ASCII becomes '/'.
std::wstring mutexNameFor(const std::wstring& path);
// The single-instance guard's name for a dropped path: keyed on the file or
// folder the path names (its identity), so that every spelling of one path
// shares one guard; mutexNameFor's text for a path that names nothing.
std::wstring guardNameFor(const std::wstring& path);
