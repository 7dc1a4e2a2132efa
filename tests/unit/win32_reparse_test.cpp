// Which reparse points the Windows build treats as links: only those that
// lead elsewhere. A deduplicated or cloud placeholder file holds its own
// content; skipped as a link, it would stay in plaintext.
#ifdef _WIN32
#include <gtest/gtest.h>

#include "platform/win32/reparse.h"

namespace {

using plat::win32::ReparseKind;
using plat::win32::reparseKindOf;

TEST(ReparseKind, OnlyLinksJunctionsAndMountPointsLeadElsewhere) {
    struct Case {
        unsigned long tag;
        ReparseKind kind;
        const char* what;
    };
    const Case cases[] = {
        {0xA000000CUL, ReparseKind::Link, "symbolic link"},
        {0xA0000003UL, ReparseKind::Link, "junction or mount point"},
        {0xA000001DUL, ReparseKind::Link, "symbolic link of the Linux subsystem"},
        {0x80000013UL, ReparseKind::Ordinary, "deduplicated file"},
        {0x9000001AUL, ReparseKind::Ordinary, "cloud placeholder"},
        {0x9000601AUL, ReparseKind::Ordinary, "cloud placeholder, another provider"},
        {0x80000021UL, ReparseKind::Ordinary, "OneDrive file"},
        {0xC0000004UL, ReparseKind::Ordinary, "hierarchical storage"},
        {0x80000008UL, ReparseKind::Ordinary, "file backed by a WIM image"},
        {0x80000017UL, ReparseKind::Ordinary, "file backed by a compressed image"},
        {0x8000001BUL, ReparseKind::Ordinary, "application alias"},
        {0x80000023UL, ReparseKind::Special, "Unix socket"},
        {0x80000024UL, ReparseKind::Special, "pipe of the Linux subsystem"},
    };
    for (const Case& c : cases) EXPECT_EQ(reparseKindOf(c.tag), c.kind) << c.what;
}

}  // namespace
#endif
