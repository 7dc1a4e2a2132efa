// Adding several files at once, as the windows do with a file chooser's
// choice or with files dropped on them.
#pragma once

#include <string>
#include <vector>

namespace bkfm {

// Adds each path in turn (addPath); the messages one per line. 1 when any
// of them failed.
int addPaths(const std::wstring& archive, const std::vector<std::wstring>& paths, std::wstring* message);

}  // namespace bkfm
