// The lines fed to the Linux desktop's progress dialog.
#ifndef _WIN32
#include <gtest/gtest.h>

#include "platform/posix/desktopdialog.h"

using plat::posix::progressBarLine;
using plat::posix::progressTextLine;

TEST(ProgressDialogLines, TextIsOneLineWhateverTheNamesHold) {
    struct Case {
        const wchar_t* phase;
        const wchar_t* estimate;
        const char* line;
    };
    const Case cases[] = {
        {L"Scanning file\n/x/a.txt", L"", "#Scanning file\\n/x/a.txt\\n \n"},
        {L"Deleting /x/a.txt", L"Estimated remaining time is 1 second",
         "#Deleting /x/a.txt\\nEstimated remaining time is 1 second\n"},
        // A name with a line break cannot start a line of its own (here a
        // bar position of 100 %, which would close the dialog).
        {L"Encrypting file\n/x/a\n100", L"", "#Encrypting file\\n/x/a\\n100\\n \n"},
        {L"Encrypting file\n/x/a\rb", L"", "#Encrypting file\\n/x/a\\rb\\n \n"},
        // A backslash stays a backslash after the dialog undoes its escapes.
        {L"Decrypting file\n/x/a\\nb\\", L"", "#Decrypting file\\n/x/a\\\\nb\\\\\\n \n"},
        {L"Scanning file\n/x/M\u00fcller", L"", "#Scanning file\\n/x/M\xc3\xbcller\\n \n"},
    };
    for (const Case& c : cases) EXPECT_EQ(progressTextLine(c.phase, c.estimate), c.line);
}

TEST(ProgressDialogLines, VeryLongTextIsCutToOneAtomicWrite) {
    std::wstring phase = L"Scanning file\n" + std::wstring(3000, L'\u00e9');   // 2 bytes each
    std::string line = progressTextLine(phase, L"Estimated remaining time is 3 seconds");
    EXPECT_LE(line.size(), 4096u);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    // Cut between characters, and the estimate kept.
    EXPECT_NE(line.find("\xc3\xa9\\nEstimated remaining time is 3 seconds\n"), std::string::npos);
}

TEST(ProgressDialogLines, BarStaysBelowTheDialogsOwnClosingMark) {
    const std::pair<int, const char*> cases[] = {
        {0, "0.0\n"}, {1, "0.1\n"}, {505, "50.5\n"}, {998, "99.8\n"}, {999, "99.9\n"}, {1000, "99.9\n"},
        {-5, "0.0\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(progressBarLine(c.first), c.second) << c.first;
}
#endif
