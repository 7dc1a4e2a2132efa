// What the POSIX entry point hands to the backend before the core runs.
#pragma once

#include <string>

namespace plat {
// The path the program was started by (argv[0]).
void setStartPath(const char* argv0);
// A command-line argument as wide text: a path's bytes, undecodable ones
// escaped as file names are.
std::wstring argumentToWide(const char* argument);
// Takes the progress line off the terminal, so that a message stands alone.
void clearProgressLine();
}  // namespace plat
