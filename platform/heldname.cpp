// What both backends share about held files: whether a name holds the file
// of an open stream, asked through the platform's own identity calls.
#include "platform/platform.h"

namespace plat {

bool nameHolds(const std::wstring& path, FILE* f) {
    FileId named, held;
    return nameIdentity(path, &named) && named.kind == FileKind::File && streamIdentity(f, &held) &&
           sameFileId(named, held);
}

}  // namespace plat
