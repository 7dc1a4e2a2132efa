// What the POSIX entry point hands to the backend before the core runs.
#pragma once

#include <string>

namespace plat {
// The path the program was started by (argv[0]).
void setStartPath(const char* argv0);
// The command-line tail made from the arguments: joined with single blanks,
// each argument holding a blank enclosed in double quotes.
std::wstring joinArguments(int argc, char** argv);
// Takes the progress line off the terminal, so that a message stands alone.
void clearProgressLine();
}  // namespace plat
