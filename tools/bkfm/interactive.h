// The file manager as a user works with it: a window of its own on Windows,
// the terminal on Linux. Returns the exit code: 0 when the user closes it.
#pragma once

#include <string>

namespace bkfm {

int runInteractive(const std::wstring& archive);

}  // namespace bkfm
