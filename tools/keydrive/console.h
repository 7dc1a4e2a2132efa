// The key drive tool's console window on Windows.
#pragma once

namespace keydrive {

// Started by a double-click in Explorer, the tool runs in a console window
// that Windows made for it alone and closes the moment the tool ends, before
// anyone could read what it wrote. In that case this asks for a key and
// waits for it; started from a prompt (or with its input or output
// redirected, or on Linux) it returns at once.
void holdOwnConsoleWindow();

}  // namespace keydrive
