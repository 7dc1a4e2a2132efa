// Which reparse points of the Windows file system lead elsewhere.
#pragma once

namespace plat {
namespace win32 {

enum class ReparseKind {
    Ordinary,   // holds its own content: a deduplicated file, a cloud placeholder, ...
    Link,       // leads elsewhere: a symbolic link, a junction, a mount point
    Special,    // a socket, pipe or device of the Linux subsystem
};

// The kind of a reparse point from its tag (the dwReserved0 of a listing
// entry, or the ReparseTag of FileAttributeTagInfo).
ReparseKind reparseKindOf(unsigned long tag);

}  // namespace win32
}  // namespace plat
