// The file manager's window on the Linux desktop, drawn with GTK 3 loaded at
// run time.
#pragma once

#include <string>

namespace bkfm {

// Shows the workspace in a window until the user closes it; *exitCode is
// then 0. False, with the reason on standard error, when no window can be
// shown (no GTK 3, or no display it can open): the caller falls back to
// the terminal.
bool runWindow(const std::wstring& archive, int* exitCode);

}  // namespace bkfm
