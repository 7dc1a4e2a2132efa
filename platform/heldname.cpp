// What both backends share about held files: whether a name holds the file
// of an open stream, and removing a name only while it holds a given file,
// done through the platform's own identity and held-file calls.
#include "platform/platform.h"

namespace plat {

bool nameHolds(const std::wstring& path, FILE* f) {
    FileId named, held;
    return nameIdentity(path, &named) && named.kind == FileKind::File && streamIdentity(f, &held) &&
           sameFileId(named, held);
}

HeldStep removeExpected(const std::wstring& path, const FileId& expected, bool sameVersionOnly, bool commitNow) {
    FileId held;
    FILE* f = openNoFollow(path, true, &held);
    if (!f) return HeldStep::Failed;
    const bool same = sameVersionOnly ? sameVersion(held, expected) : sameFileId(held, expected);
    const HeldStep step = same ? removeHeld(f, path, commitNow) : HeldStep::Elsewhere;
    std::fclose(f);
    return step;
}

}  // namespace plat
