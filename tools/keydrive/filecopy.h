// Copying a key drive's large files (the key file, the index) in bounded
// memory, with progress, committed to the disk before it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "tools/keydrive/progress.h"

namespace keydrive {

struct FileCopy {
    std::wstring from;
    std::wstring to;                 // created or truncated
    ProgressOutput progress;         // shown when enabled and `label` is not empty
    std::wstring label;              // "copying the key"
    // Sees every byte copied, in order (for a digest computed on the way).
    std::function<void(const uint8_t* bytes, size_t length)> onBytes;
};

// Copies through a buffer of 4 MiB whatever the file's size and commits the
// copy. 0 on success; 1 with the reason in *error (the copy may be left
// partly written: the caller removes it). A source whose size changed while
// it was copied fails.
int copyFileCommitted(const FileCopy& copy, std::wstring* error);

}  // namespace keydrive
