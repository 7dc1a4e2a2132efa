// The rules by which the open command recognises a window that shows its
// working copy, and the own-window exception.
#include <gtest/gtest.h>

#include <string>

#include "app/windowmatch.h"
#include "drive/util.h"
#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::wstring inFolder(const wchar_t* name) {
    return std::wstring(L"TEMP") + plat::kSep + name;
}

TEST(WindowMatch, NameAndTitlePrefixOfThePath) {
    struct Case {
        std::wstring path;
        const wchar_t* name;
        const wchar_t* prefix;
    };
    const Case cases[] = {
        {inFolder(L"report.docx"), L"report.docx", L"report - "},
        {inFolder(L"notes"), L"notes", L"notes - "},
        {inFolder(L"archive.tar.gz"), L"archive.tar.gz", L"archive.tar - "},
        {L"report.docx", L"report.docx", L"report - "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        WindowMatch match;
        match.found = 1;
        prepareWindowMatch(&match, c.path.c_str());
        EXPECT_EQ(std::wstring(match.name), c.name);
        EXPECT_EQ(match.nameLength, static_cast<int>(std::wstring(c.name).size()));
        EXPECT_EQ(std::wstring(match.titlePrefix), c.prefix);
        EXPECT_EQ(match.prefixLength, static_cast<int>(std::wstring(c.prefix).size()));
        EXPECT_EQ(match.found, 0);
        EXPECT_EQ(match.depth, 0);
    }
}

TEST(WindowMatch, TitlesThatShowTheFile) {
    struct Case {
        const wchar_t* file;
        const wchar_t* title;
        bool shows;
    };
    const Case cases[] = {
        // Name rule: the whole name, at the start or after a blank or a
        // folder separator, followed by the end, a blank or '*'.
        {L"report.docx", L"report.docx - Editor", true},
        {L"report.docx", L"Editor - C:\\x\\report.docx", true},
        {L"report.docx", L"Editor - /home/u/report.docx", true},
        {L"report.docx", L"Editor - report.docx*", true},
        {L"report.docx", L"report.docx", true},
        {L"report.docx", L"myreport.docx - Editor", false},       // a letter before it
        {L"report.docx", L"Editor [report.docx]", false},         // brackets around it
        {L"report.docx", L"report.docxx - Editor", false},        // a letter after it
        {L"report.docx", L"Report.docx - Editor", false},         // case counts
        {L"report.docx", L"xreport.docx report.docx", false},     // only the first occurrence
        // Prefix rule: the name without its extension, " - ", and more.
        {L"report.docx", L"report - Editor", true},
        {L"report.docx", L"Editor: report - draft", true},
        {L"report.docx", L"report - ", false},                    // nothing follows
        {L"report.docx", L"myreport - Editor report - x", false}, // only the first occurrence
        {L"report.docx", L"", false},
        // A name without an extension: the prefix is the whole name.
        {L"notes", L"notes - Editor", true},
        {L"notes", L"Editor - notes", true},
        {L"notes", L"notes.txt - Editor", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        WindowMatch match;
        prepareWindowMatch(&match, inFolder(c.file).c_str());
        EXPECT_EQ(textShowsFile(match, c.title), c.shows);
    }
}

#ifdef _WIN32
// The program's own windows (the progress window names the file being
// opened, in its title or in a control) never count; the same windows of
// another program do.
TEST(WindowMatch, OwnWindowsNeverCount) {
    HWND top = CreateWindowExW(0, L"STATIC", L"Velkin", WS_POPUP, 0, 0, 100, 50, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(top, nullptr);
    HWND child = CreateWindowExW(0, L"STATIC", L"Scanning file\nTEMP\\report.docx", WS_CHILD, 0, 0,
                                 100, 20, top, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(child, nullptr);

    const std::wstring saved = programPath;
    ASSERT_EQ(setProgramPaths(plat::modulePath().c_str()), 0);
    WindowMatch match;
    prepareWindowMatch(&match, L"TEMP\\report.docx");
    plat::enumTopWindows(matchEditorWindow, &match);
    EXPECT_EQ(match.found, 0);

    // Taken for another program's window, the child control matches.
    ASSERT_EQ(setProgramPaths(L"C:\\elsewhere\\Open.exe"), 0);
    prepareWindowMatch(&match, L"TEMP\\report.docx");
    plat::enumTopWindows(matchEditorWindow, &match);
    EXPECT_EQ(match.found, 1);
    EXPECT_EQ(std::wstring(match.matchedTitle), L"Scanning file\nTEMP\\report.docx");
    EXPECT_EQ(match.depth, 0);

    DestroyWindow(top);
    setProgramPaths(saved.c_str());
}
#endif

}  // namespace
