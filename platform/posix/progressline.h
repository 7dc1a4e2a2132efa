// The progress line on a terminal: one line that never wraps.
#pragma once

#include <string>

namespace plat {
namespace posix {

// Columns a text takes on a terminal: 2 for wide East Asian characters and
// emoji, 0 for combining marks and zero-width characters, 1 for the rest.
int displayColumns(const std::wstring& text);

// head + phase + tail + estimate cut to fit in columns - 1 columns (a line
// that fills the last column wraps on some terminals). The phase (the
// file's path) gives way first, keeping its end after "…"; when that would
// leave it too little room, the estimate goes too; when even head and tail
// do not fit, the line is cut at its end.
std::wstring fitProgressLine(const std::wstring& head, const std::wstring& phase, const std::wstring& tail,
                             const std::wstring& estimate, int columns);

}  // namespace posix
}  // namespace plat
