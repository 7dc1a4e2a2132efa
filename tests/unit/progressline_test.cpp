// The terminal's progress line never wraps: it is cut to the terminal's
// width, the file's path giving way first and the estimate next.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/progressline.h"

namespace {

using plat::posix::displayColumns;
using plat::posix::fitProgressLine;

TEST(ProgressLine, ColumnsOfWideAndCombiningCharacters) {
    struct Case {
        std::wstring text;
        int columns;
    };
    const Case cases[] = {
        {L"abc", 3},
        {L"\u65e5\u672c.txt", 8},             // two wide characters
        {L"e\u0301t\u00e9", 3},               // a combining accent takes no column
        {std::wstring(1, wchar_t(0x1F600)), 2},
        {std::wstring(1, wchar_t(0xDCE9)), 1},   // a byte of a name that is not UTF-8
    };
    for (const Case& c : cases) EXPECT_EQ(displayColumns(c.text), c.columns);
}

class FitLine : public ::testing::Test {
protected:
    const std::wstring head = L"Encrypting: ";
    const std::wstring tail = L" [##########..........] 50% ";
    const std::wstring estimate = L"Estimated remaining time is 10 seconds";
    const std::wstring shortPath = L"Encrypting file /tmp/a.txt";
    const std::wstring longPath =
        L"Encrypting file /home/someone/a/very/long/folder/path/that/goes/on/report.pdf";
    const std::wstring widePath = L"Encrypting file /tmp/" + std::wstring(30, L'\u65e5') + L".txt";
};

TEST_F(FitLine, UnchangedWhenItFits) {
    EXPECT_EQ(fitProgressLine(head, shortPath, tail, estimate, 200), head + shortPath + tail + estimate);
    // One column stays free: a line that fills the last one wraps on some terminals.
    std::wstring whole = head + shortPath + tail + estimate;
    int width = displayColumns(whole);
    EXPECT_EQ(fitProgressLine(head, shortPath, tail, estimate, width + 1), whole);
    EXPECT_NE(fitProgressLine(head, shortPath, tail, estimate, width), whole);
}

TEST_F(FitLine, ThePathGivesWayKeepingTheFileName) {
    for (int columns : {100, 120}) {
        for (const std::wstring& phase : {longPath, widePath}) {
            SCOPED_TRACE(columns);
            std::wstring line = fitProgressLine(head, phase, tail, estimate, columns);
            EXPECT_LE(displayColumns(line), columns - 1);
            EXPECT_GE(displayColumns(line), columns - 2);   // a wide character may leave one
            EXPECT_EQ(line.substr(0, head.size() + 1), head + L"\u2026");
            EXPECT_EQ(line.substr(line.size() - tail.size() - estimate.size()), tail + estimate);
            std::wstring fileEnd = phase.substr(phase.size() - 4);
            EXPECT_EQ(line.substr(line.size() - tail.size() - estimate.size() - 4, 4), fileEnd);
        }
    }
}

TEST_F(FitLine, TheEstimateGoesWhenThePathWouldHaveTooLittleRoom) {
    std::wstring line = fitProgressLine(head, longPath, tail, estimate, 60);
    EXPECT_LE(displayColumns(line), 59);
    EXPECT_EQ(line.find(L"Estimated"), std::wstring::npos);
    EXPECT_EQ(line.substr(line.size() - tail.size() - 10), L"report.pdf" + tail);
    // A path that fits once the estimate is gone is shown whole.
    EXPECT_EQ(fitProgressLine(head, shortPath, tail, estimate, 70), head + shortPath + tail);
}

TEST_F(FitLine, TooNarrowEvenForTheBarIsCutAtTheEnd) {
    for (int columns : {1, 10, 40}) {
        SCOPED_TRACE(columns);
        std::wstring line = fitProgressLine(head, widePath, tail, estimate, columns);
        EXPECT_LE(displayColumns(line), columns - 1);
        EXPECT_EQ(line, (head + widePath + tail).substr(0, line.size()));
    }
}

}  // namespace
#endif
