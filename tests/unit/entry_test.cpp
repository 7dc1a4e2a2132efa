// Reading the command line, the mutex name and the program's own names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/entry.h"
#include "app/usage.h"
#include "drive/util.h"
#include "platform/platform.h"

namespace {

struct TailCase {
    const wchar_t* tail;
    TailResult result;
    wchar_t letter;      // expected letter ('x' = unchanged default)
    const wchar_t* path; // expected path, or for BadOption the option named
};

TEST(CommandTail, ParsesEveryForm) {
    const TailCase cases[] = {
        {L"", TailResult::Ok, L'x', L""},
        {L"C:\\a.txt", TailResult::Ok, L'x', L"C:\\a.txt"},
        {L"-d   \"C:\\My Files\\a.txt\"", TailResult::Ok, L'd', L"C:\\My Files\\a.txt"},
        {L"-dC:\\a.txt", TailResult::Ok, L'd', L"C:\\a.txt"},
        {L"-oC:\\x.txt", TailResult::Ok, L'o', L"C:\\x.txt"},
        {L"-s", TailResult::Ok, L's', L""},
        {L"\"C:\\My Files\\a.txt\"", TailResult::Ok, L'x', L"C:\\My Files\\a.txt"},
        {L"C:\\My Files\\a.txt", TailResult::NotSingle, L'x', nullptr},
        {L"\"C:\\a.txt\" \"C:\\b.txt\"", TailResult::NotSingle, L'x', nullptr},
        {L"\"C:\\a.txt\"x", TailResult::NotSingle, L'x', nullptr},
        {L"\"C:\\a.txt", TailResult::Unexpected, L'x', nullptr},
        {L"\"\"", TailResult::Ok, L'x', L""},
        // "--" ends the options: a path that begins with '-' follows it.
        {L"-- -name", TailResult::Ok, L'x', L"-name"},
        {L"-e -- -name", TailResult::Ok, L'e', L"-name"},
        {L"-e -- \"-my name\"", TailResult::Ok, L'e', L"-my name"},
        {L"--", TailResult::Ok, L'x', L""},
        {L"-d-x", TailResult::Ok, L'd', L"-x"},   // right after the letter: the path
        // Help and version stand alone.
        {L"-h", TailResult::Help, L'x', nullptr},
        {L"--help  ", TailResult::Help, L'x', nullptr},
        {L"--version", TailResult::Version, L'x', nullptr},
        {L"\"--help\"", TailResult::Ok, L'x', L"--help"},
        // Anything else that begins with '-' before the path is an unknown option.
        {L"-E", TailResult::BadOption, L'x', L"-E"},
        {L"-x C:\\a.txt", TailResult::BadOption, L'x', L"-x"},
        {L"-", TailResult::BadOption, L'x', L"-"},
        {L"--verbose C:\\a.txt", TailResult::BadOption, L'x', L"--verbose"},
        {L"--HELP", TailResult::BadOption, L'x', L"--HELP"},
        {L"-e --help", TailResult::BadOption, L'e', L"--help"},
        {L"-e -name", TailResult::BadOption, L'e', L"-name"},
        {L"-name", TailResult::BadOption, L'x', L"-name"},
    };
    for (const TailCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        wchar_t letter = L'x';
        std::wstring path = L"untouched";
        std::wstring option = L"untouched";
        EXPECT_EQ(parseCommandTail(c.tail, &letter, &path, &option), c.result);
        EXPECT_EQ(letter, c.letter);
        if (c.path && c.result == TailResult::Ok) {
            EXPECT_EQ(path, c.path);
        }
        if (c.path && c.result == TailResult::BadOption) {
            EXPECT_EQ(option, c.path);
        }
    }
}

struct ArgumentsCase {
    std::vector<std::wstring> arguments;
    TailResult result;
    wchar_t letter;      // expected letter ('x' = unchanged default)
    const wchar_t* path; // expected path, or for BadOption the option named
};

TEST(CommandArguments, EachArgumentIsTakenWhole) {
    const ArgumentsCase cases[] = {
        {{}, TailResult::Ok, L'x', L""},
        {{L"/a.txt"}, TailResult::Ok, L'x', L"/a.txt"},
        {{L"-d", L"/My Files/a.txt"}, TailResult::Ok, L'd', L"/My Files/a.txt"},
        {{L"-d/a.txt"}, TailResult::Ok, L'd', L"/a.txt"},
        // Quotes and blanks are ordinary characters of a name.
        {{L"/x/say \"hi\".txt"}, TailResult::Ok, L'x', L"/x/say \"hi\".txt"},
        {{L"\"a.txt"}, TailResult::Ok, L'x', L"\"a.txt"},
        {{L"-e", L"\" (encrypted)"}, TailResult::Ok, L'e', L"\" (encrypted)"},
        {{L"/a.txt", L"/b.txt"}, TailResult::NotSingle, L'x', nullptr},
        {{L"-d", L"/a.txt", L"/b.txt"}, TailResult::NotSingle, L'd', nullptr},
        {{L"-d/a.txt", L"/b.txt"}, TailResult::NotSingle, L'd', nullptr},
        {{std::wstring(260, L'a')}, TailResult::TooLong, L'x', nullptr},
        // "--" ends the options.
        {{L"--", L"-name"}, TailResult::Ok, L'x', L"-name"},
        {{L"-e", L"--", L"-name"}, TailResult::Ok, L'e', L"-name"},
        {{L"-e", L"--", L"--"}, TailResult::Ok, L'e', L"--"},
        {{L"-e", L"--"}, TailResult::Ok, L'e', L""},
        {{L"-e", L"--", L"a", L"b"}, TailResult::NotSingle, L'e', nullptr},
        // Help and version stand alone.
        {{L"-h"}, TailResult::Help, L'x', nullptr},
        {{L"--help"}, TailResult::Help, L'x', nullptr},
        {{L"--version"}, TailResult::Version, L'x', nullptr},
        {{L"--", L"--help"}, TailResult::Ok, L'x', L"--help"},
        // Unknown options.
        {{L"-E"}, TailResult::BadOption, L'x', L"-E"},
        {{L"-"}, TailResult::BadOption, L'x', L"-"},
        {{L"-x", L"/a.txt"}, TailResult::BadOption, L'x', L"-x"},
        {{L"--force"}, TailResult::BadOption, L'x', L"--force"},
        {{L"-e", L"--help"}, TailResult::BadOption, L'e', L"--help"},
        {{L"-e", L"-name"}, TailResult::BadOption, L'e', L"-name"},
        {{L"/a.txt", L"-e"}, TailResult::BadOption, L'x', L"-e"},
    };
    for (const ArgumentsCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        wchar_t letter = L'x';
        std::wstring path = L"untouched";
        std::wstring option = L"untouched";
        EXPECT_EQ(parseArguments(c.arguments, &letter, &path, &option), c.result);
        EXPECT_EQ(letter, c.letter);
        if (c.path && c.result == TailResult::Ok) {
            EXPECT_EQ(path, c.path);
        }
        if (c.path && c.result == TailResult::BadOption) {
            EXPECT_EQ(option, c.path);
        }
    }
}

TEST(CommandTail, RefusesAPathThatDoesNotFitInsteadOfCuttingIt) {
    wchar_t letter = L'e';
    std::wstring path;
    std::wstring fits(259, L'a'), tooLong(260, L'a');
    EXPECT_EQ(parseCommandTail(fits.c_str(), &letter, &path), TailResult::Ok);
    EXPECT_EQ(path, fits);
    EXPECT_EQ(parseCommandTail(tooLong.c_str(), &letter, &path), TailResult::TooLong);
    EXPECT_EQ(parseCommandTail((L"\"" + tooLong + L"\"").c_str(), &letter, &path), TailResult::TooLong);
}

std::vector<std::wstring> linesOf(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

TEST(Usage, TerminalTextFitsEightyColumnsAndTheBoxTextLeavesBreakingToTheBox) {
    ASSERT_EQ(setProgramPaths(L"Encrypt"), 0);
    const std::wstring terminal = usageText(UsageLayout::Terminal);
    const std::wstring box = usageText(UsageLayout::Box);
    for (const std::wstring& line : linesOf(terminal)) EXPECT_LE(line.size(), 79u) << line;
    EXPECT_NE(terminal.find(L"\n  -d PATH      decrypt the file"), std::wstring::npos) << terminal;
    EXPECT_NE(terminal.find(L"Named Encrypt, this copy encrypts unless"), std::wstring::npos);
    // In the box each option is one line of its own, whole, and nothing is
    // set in columns of blanks, which a proportional font would not keep.
    for (const wchar_t* option : {L"-d PATH", L"-e PATH", L"-o PATH", L"-s", L"--", L"-h, --help", L"--version"}) {
        bool whole = false;
        for (const std::wstring& line : linesOf(box)) {
            if (line.rfind(std::wstring(option) + L" \u2013 ", 0) == 0 && line.back() != L' ') whole = true;
        }
        EXPECT_TRUE(whole) << option;
    }
    for (const std::wstring& line : linesOf(box)) {
        EXPECT_EQ(line.find(L"  "), std::wstring::npos) << line;
    }
    // The same words in both.
    EXPECT_NE(box.find(L"decrypt the file, or every encrypted file in the folder, and erase the encrypted files"),
              std::wstring::npos);
}

TEST(Usage, ABadCommandLineSaysWhatIsWrongBeforeTheUsage) {
    ASSERT_EQ(setProgramPaths(L"Encrypt"), 0);
    EXPECT_EQ(commandLineErrorText(L"-x", UsageLayout::Terminal).rfind(L"Encrypt: unknown option '-x'\nUsage: ", 0),
              0u);
    EXPECT_EQ(commandLineErrorText(L"-x", UsageLayout::Box)
                  .rfind(L"The command line is not understood: unknown option '-x'.\n\nUsage: ", 0),
              0u);
    ASSERT_EQ(setProgramPaths(L"velkin"), 0);
    EXPECT_EQ(commandLineErrorText(L"", UsageLayout::Terminal)
                  .rfind(L"velkin: the name 'velkin' chooses no command: give it as -d, -e, -o or -s\n", 0),
              0u);
}

TEST(MutexName, ReplacesEveryNonAlphanumericCharacter) {
    EXPECT_EQ(mutexNameFor(L"C:\\Docs\\a.txt"), L"Global\\velkin-C//Docs/a/txt");
    EXPECT_EQ(mutexNameFor(L""), L"Global\\velkin-");
    // Paths that differ only in punctuation share a mutex; letter case does not.
    EXPECT_EQ(mutexNameFor(L"C:\\a b"), mutexNameFor(L"C:\\a_b"));
    EXPECT_NE(mutexNameFor(L"C:\\A"), mutexNameFor(L"C:\\a"));
}

TEST(MutexName, CharactersBeyondAsciiKeepPathsApartWhateverTheLocale) {
    // The test process runs in the C locale, where no wide character
    // classification knows these letters.
    EXPECT_EQ(mutexNameFor(L"/x/M\u00fcller"), L"Global\\velkin-/x/M\u00fcller");
    EXPECT_NE(mutexNameFor(L"/x/M\u00fcller"), mutexNameFor(L"/x/M\u00e4ller"));
    EXPECT_NE(mutexNameFor(L"/x/\u65e5"), mutexNameFor(L"/x/\u672c"));
    // Bytes of a POSIX name that is not UTF-8, carried as escapes.
    std::wstring e9 = L"/x/caf", e8 = e9;
    e9 += static_cast<wchar_t>(0xDCE9);
    e8 += static_cast<wchar_t>(0xDCE8);
    EXPECT_NE(mutexNameFor(e9), mutexNameFor(e8));
    // ASCII punctuation still shares a guard.
    EXPECT_EQ(mutexNameFor(L"/x/a-b.txt"), mutexNameFor(L"/x/a b_txt"));
}

TEST(MutexName, LongPathsStayWithinTheNameLimitAndApart) {
    std::wstring a(259, L'a'), b = a;
    b[10] = L'b';
    std::wstring nameA = mutexNameFor(a), nameB = mutexNameFor(b);
    EXPECT_LE(nameA.size(), 259u);
    EXPECT_NE(nameA, nameB);
    EXPECT_EQ(nameA.rfind(L"Global\\velkin-aaaa", 0), 0u);
}

TEST(ProgramPaths, DerivesNamesFromTheProgramPath) {
    std::wstring sep(1, plat::kSep);
    std::wstring folder = L"e:" + sep + L"tools";
    ASSERT_EQ(setProgramPaths((folder + sep + L"Encrypt.exe").c_str()), 0);
    EXPECT_EQ(std::wstring(programFolder), folder);
    EXPECT_EQ(std::wstring(caption), L"Encrypt");
    EXPECT_EQ(commandLetter, L'e');
    EXPECT_EQ(std::wstring(keyDriveRoot), L"E:");

    ASSERT_EQ(setProgramPaths((folder + sep + L"my.tool.v2.exe").c_str()), 0);
    EXPECT_EQ(std::wstring(caption), L"my.tool.v2");
    EXPECT_EQ(commandLetter, L'm');

    ASSERT_EQ(setProgramPaths(L"Status"), 0);
    EXPECT_EQ(std::wstring(programFolder), L"");
    EXPECT_EQ(std::wstring(caption), L"Status");
    EXPECT_EQ(commandLetter, L's');

    std::wstring tooLong = folder + sep + std::wstring(300, L'x');
    EXPECT_NE(setProgramPaths(tooLong.c_str()), 0);
}

TEST(ProgramPaths, ARootFolderKeepsItsSeparator) {
    // Without it, "K:" would name whatever folder of drive K is current.
    struct Case {
        const wchar_t* program;
        const wchar_t* folder;
        const wchar_t* root;
    };
#ifdef _WIN32
    const Case cases[] = {
        {L"K:\\Encrypt.exe", L"K:\\", L"K:"},
        {L"k:\\Status.exe", L"k:\\", L"K:"},
        {L"K:\\tools\\Status.exe", L"K:\\tools", L"K:"},
        {L"\\Status.exe", L"\\", L"\\"},
    };
#else
    const Case cases[] = {
        {L"/Encrypt", L"/", L"/"},
        {L"/media/key/Status", L"/media/key", L"/media/key"},
    };
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (&c - cases));
        ASSERT_EQ(setProgramPaths(c.program), 0);
        EXPECT_EQ(std::wstring(programFolder), c.folder);
        EXPECT_EQ(std::wstring(keyDriveRoot), c.root);
    }
}

TEST(DirectoryOf, KeepsTheTrailingSeparator) {
    std::wstring sep(1, plat::kSep);
    EXPECT_EQ(std::wstring(directoryOf((L"a" + sep + L"b" + sep + L"c.txt").c_str())), L"a" + sep + L"b" + sep);
    EXPECT_EQ(std::wstring(directoryOf(L"c.txt")), L"");
    // A path written with '/' keeps its folder on every build, so output
    // written beside the file never lands in the current folder instead.
    EXPECT_EQ(std::wstring(directoryOf(L"C:/docs/a.txt")), L"C:/docs/");
    EXPECT_EQ(std::wstring(directoryOf((L"C:" + sep + L"docs/sub/a.txt").c_str())),
              L"C:" + sep + L"docs/sub/");
    std::wstring deep = std::wstring(255, L'd') + sep + L"f";
    EXPECT_EQ(directoryOf(deep.c_str()), nullptr);
    std::wstring fits = std::wstring(254, L'd') + sep + L"f";
    ASSERT_NE(directoryOf(fits.c_str()), nullptr);
    EXPECT_EQ(std::wstring(directoryOf(fits.c_str())).size(), 255u);
}

}  // namespace
