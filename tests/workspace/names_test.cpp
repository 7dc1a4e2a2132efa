// The file manager's names: which member names can be files on this build,
// free names for a member saved beside another, and members typed as the
// list shows them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/bkfm/membernames.h"
#include "tools/bkfm/workspacefile.h"

namespace {

constexpr bool kWindows =
#ifdef _WIN32
    true;
#else
    false;
#endif

TEST(MemberNames, WindowsRefusesDeviceNamesAndNamesItCannotStore) {
    const struct {
        const wchar_t* part;
        bool onWindows;   // storable on Windows; everything but these is storable on Linux
        bool onLinux;
    } cases[] = {
        {L"report.txt", true, true},
        {L"aux.txt", false, true},
        {L"AUX", false, true},
        {L"Con", false, true},
        {L"nul.tar.gz", false, true},
        {L"com1", false, true},
        {L"LPT9.log", false, true},
        {L"com\u00b9", false, true},
        {L"conin$", false, true},
        {L"aux .txt", false, true},
        {L"auxiliary.txt", true, true},
        {L"com10", true, true},
        {L"name.", false, true},
        {L"name ", false, true},
        {L"a:b", false, true},
        {L"..", false, false},
        {L"", false, false},
        {L"line\nbreak", false, false},
    };
    for (const auto& c : cases) {
        std::wstring why;
        EXPECT_EQ(bkfm::storablePart(c.part, &why), kWindows ? c.onWindows : c.onLinux) << c.part;
    }
    std::wstring why;
    EXPECT_FALSE(bkfm::storableName("docs/aux.txt", &why) && kWindows);
    if (kWindows) {
        EXPECT_NE(why.find(L"reserves it for a device"), std::wstring::npos);
    }
}

TEST(MemberNames, AFreeNameBesideATakenOne) {
    std::vector<tar::Member> members;
    for (const char* name : {"notes.txt", "notes (2).txt", "dir/file", ".profile", "folder", "folder/inner"}) {
        tar::Member m;
        m.name = name;
        members.push_back(m);
    }
    const struct {
        const char* wanted;
        const char* free;
    } cases[] = {
        {"new.txt", "new.txt"},
        {"notes.txt", "notes (3).txt"},
        {"dir/file", "dir/file (2)"},
        {".profile", ".profile (2)"},
        {"folder", "folder (2)"},
    };
    for (const auto& c : cases) EXPECT_EQ(bkfm::freeMemberName(members, c.wanted), c.free) << c.wanted;
}

TEST(MemberNames, AMemberIsTypedByItsNameOrAsTheListShowsIt) {
    std::vector<bkfm::Entry> entries;
    for (const char* name : {"plain.txt", "evil\x1b[2J.txt", "caf\xe9.txt", "caf\xe8.txt", "sub/x\ny.txt"}) {
        bkfm::Entry e;
        e.member.name = name;
        entries.push_back(e);
    }
    const struct {
        const wchar_t* typed;
        bool found;
        const char* name;
    } cases[] = {
        {L"plain.txt", true, "plain.txt"},
        {L"evil\\x1B[2J.txt", true, "evil\x1b[2J.txt"},
        {L"sub/x\\x0Ay.txt", true, "sub/x\ny.txt"},
        {L"caf\uFFFD.txt", false, ""},   // shown alike: which one is meant cannot be told
        {L"missing.txt", false, ""},
    };
    for (const auto& c : cases) {
        std::string name;
        EXPECT_EQ(bkfm::findTypedMember(entries, c.typed, &name), c.found) << c.typed;
        if (c.found) {
            EXPECT_EQ(name, c.name);
        }
    }
}

}  // namespace
