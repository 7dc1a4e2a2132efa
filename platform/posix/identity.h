// POSIX backend: the identity of a file asked through statx, shared by the
// backend's units.
#pragma once

#include "platform/platform.h"

namespace plat {

// statx of path relative to dirfd with the given flags (AT_SYMLINK_NOFOLLOW,
// AT_EMPTY_PATH); false with errno set when it fails.
bool identityAt(int dirfd, const char* path, int flags, FileId* id);

}  // namespace plat
