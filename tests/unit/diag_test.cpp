// The log file, the last-error text and the message-box text buffer.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "diag/error.h"
#include "diag/log.h"
#include "tests/support/tempfolder.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

class LogFolder : public testing::Test {
protected:
    void SetUp() override {
        saved_ = plat::currentDir();
        root_ = testsupport::makeTempFolder("velkin-diag");
        ASSERT_EQ(plat::setCurrentDir(root_.wstring()), 0);
        closeLogForTest();
    }
    void TearDown() override {
        closeLogForTest();
        plat::setCurrentDir(saved_);
        fs::remove_all(root_);
    }
    std::string logBytes() {
        std::ifstream in(root_ / "LOG" / "log.txt", std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::wstring saved_;
    fs::path root_;
};

TEST_F(LogFolder, NothingIsWrittenWithoutTheLogFolder) {
    logMessage(L"no folder, no log %d", 1);
    reportError(L"cannot open '%ls': %ls", L"x", L"y");
    EXPECT_FALSE(fs::exists(root_ / "LOG"));
    EXPECT_EQ(std::wstring(lastErrorText), L"cannot open 'x': y");
}

TEST_F(LogFolder, EntriesAreUtf8WithCrLfAndAnEmptyLineBetween) {
    fs::create_directory(root_ / "LOG");
    logMessage(L"first %ls", L"caf\u00e9");
    reportError(L"cannot read '%ls': %ls", L"SETTINGS/KEY.DAT", L"gone");
    logMessage(L"two\nlines\r\nkept");
    std::string log = logBytes();
    std::regex entry("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ");
    std::string stamp = "0000-00-00 00:00:00 ";
    std::string expected = stamp + "first caf\xc3\xa9\r\n\r\n" + stamp +
                           "ERROR: cannot read 'SETTINGS/KEY.DAT': gone\r\n\r\n" + stamp +
                           "two\r\nlines\r\nkept\r\n\r\n";
    EXPECT_EQ(std::regex_replace(log, entry, stamp), expected);
}

TEST_F(LogFolder, ReportingKeepsTheCallersErrorCodes) {
    fs::create_directory(root_ / "LOG");
    errno = ENOENT;
    plat::setLastSystemError(5);
    uint32_t systemBefore = plat::lastSystemError();
    int errnoBefore = errno;
    reportError(L"failure %d", 1);
    logMessage(L"line");
    EXPECT_EQ(plat::lastSystemError(), systemBefore);
    EXPECT_EQ(errno, errnoBefore);
}

TEST(ErrorText, LongTextsAreCutAtTheirBuffers) {
    std::wstring long3000(3000, L'x');
    reportError(L"%ls", long3000.c_str());
    EXPECT_EQ(std::wstring(lastErrorText), std::wstring(2047, L'x'));
    EXPECT_EQ(std::wstring(formatText(L"Error: %ls", lastErrorText)).size(), 1023u);
}

TEST(ErrorText, SystemErrorTextIsSuccessForCodeZero) {
    plat::setLastSystemError(0);
    EXPECT_EQ(std::wstring(systemErrorText()), L"success");
    plat::setLastSystemError(2);
    EXPECT_FALSE(std::wstring(systemErrorText()).empty());
    EXPECT_NE(std::wstring(systemErrorText()), L"success");
}

}  // namespace
