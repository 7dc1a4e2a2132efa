// Windows backend: what the backend's units share about file handles.
#pragma once

#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace plat {
namespace win32 {

// The system handle behind a stream; INVALID_HANDLE_VALUE when none.
HANDLE osHandleOf(FILE* f);
// Identity, size, times and names of an open handle; the kind from its
// attributes and reparse tag.
bool identityOfHandle(HANDLE h, FileId* id);
// The C runtime's errno for a system error code.
int errnoFromSystemError(DWORD error);
// A stream over a handle opened by the backend; the stream owns it. On
// failure the handle is closed and nullptr returned (errno set).
FILE* streamOverHandle(HANDLE h, bool write);

}  // namespace win32
}  // namespace plat
