// Debug mode: the two environment variables, the debug-enable file shipped
// in tools/debug-enable, and the one-time decision.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "diag/error.h"
#include "diag/log.h"
#include "diag/manufacture.h"
#include "digest/debugenable.h"
#include "digest/filedigest.h"
#include "platform/platform.h"
#include "tests/support/tempfolder.h"

namespace fs = std::filesystem;

namespace {

// The debug-enable file in the source tree. Under Wine the tree's POSIX
// path is reached through drive Z:.
std::wstring enableFilePath() {
    std::wstring path = fs::path(VELKIN_SOURCE_DIR "/tools/debug-enable/velkin-debug.key").wstring();
#ifdef _WIN32
    if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
#endif
    return path;
}

class DebugMode : public testing::Test {
protected:
    void SetUp() override {
        saved_ = plat::currentDir();
        root_ = testsupport::makeTempFolder("velkin-debug");
        fs::create_directories(root_ / "LOG");
        ASSERT_EQ(plat::setCurrentDir(root_.wstring()), 0);
        closeLogForTest();
        plat::unsetEnv(L"VKLIB_DEBUG");
        plat::unsetEnv(L"VKLIB_MANUFACTURER");
        resetDebugModeForTest();
        setDebugEnableCheck(manufacturerCheck);
        std::wcscpy(lastErrorText, L"untouched");
    }
    void TearDown() override {
        closeLogForTest();
        plat::unsetEnv(L"VKLIB_DEBUG");
        plat::unsetEnv(L"VKLIB_MANUFACTURER");
        resetDebugModeForTest();
        plat::setCurrentDir(saved_);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    // The log with every timestamp replaced by "T ".
    std::string log() {
        closeLogForTest();
        std::ifstream in(root_ / "LOG" / "log.txt", std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        static const std::regex stamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ");
        return std::regex_replace(s.str(), stamp, "T ");
    }
    void writeLines() {
        debugMessage(L"first word %08x", 0x1234abcdu);
        debugMessage(L"window '%ls'", L"notes.txt");
    }
    std::wstring saved_;
    fs::path root_;
};

TEST_F(DebugMode, ShippedEnableFileHasTheBuiltInDigest) {
    uint8_t digest[64];
    ASSERT_EQ(digestFile(enableFilePath().c_str(), nullptr, digest), 0) << lastErrorText;
    EXPECT_EQ(std::memcmp(digest, manufacturerDigest, 64), 0);
}

TEST_F(DebugMode, WithoutDebugVariableTheEnableFileIsNotLookedAt) {
    // A missing enable file would be reported if it were digested.
    plat::putEnv(L"VKLIB_MANUFACTURER=" + (root_ / "missing.key").wstring());
    writeLines();
    EXPECT_EQ(log(), "");
    EXPECT_EQ(std::wstring(lastErrorText), L"untouched");
}

TEST_F(DebugMode, MissingEnableFileGivesOneErrorEntryAndNoLines) {
    const std::wstring missing = (root_ / "missing.key").wstring();
    plat::putEnv(L"VKLIB_DEBUG=1");
    plat::putEnv(L"VKLIB_MANUFACTURER=" + missing);
    writeLines();
    debugMessage(L"third");
    const std::wstring expectedError =
        L"cannot open file '" + missing + L"': " + plat::stdErrorMessage(ENOENT);
    EXPECT_EQ(std::wstring(lastErrorText), expectedError);
    std::ostringstream expected;
    expected << "T ERROR: " << fs::path(expectedError).u8string() << "\r\n\r\n";
    EXPECT_EQ(log(), expected.str());
}

TEST_F(DebugMode, EnableFileLogsEveryLineFromTheFirst) {
    plat::putEnv(L"VKLIB_DEBUG=anything");
    plat::putEnv(L"VKLIB_MANUFACTURER=" + enableFilePath());
    writeLines();
    EXPECT_EQ(log(), "T first word 1234abcd\r\n\r\nT window 'notes.txt'\r\n\r\n");
    EXPECT_EQ(std::wstring(lastErrorText), L"untouched");
}

TEST_F(DebugMode, OtherFileOrNoFileNameKeepsDebugOff) {
    // Same length as the enable file, one byte different.
    std::ifstream in(fs::path(enableFilePath()), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(content.empty());
    content[0] ^= 1;
    const fs::path other = root_ / "other.key";
    std::ofstream(other, std::ios::binary) << content;

    plat::putEnv(L"VKLIB_DEBUG=1");
    plat::putEnv(L"VKLIB_MANUFACTURER=" + other.wstring());
    writeLines();
    EXPECT_EQ(log(), "");

    resetDebugModeForTest();
    plat::unsetEnv(L"VKLIB_MANUFACTURER");
    writeLines();
    EXPECT_EQ(log(), "");
    EXPECT_EQ(std::wstring(lastErrorText), L"untouched");
}

TEST_F(DebugMode, DecidedOnceForTheRun) {
    // Off at the first line: turning the variables on later changes nothing.
    debugMessage(L"before");
    plat::putEnv(L"VKLIB_DEBUG=1");
    plat::putEnv(L"VKLIB_MANUFACTURER=" + enableFilePath());
    debugMessage(L"after");
    EXPECT_EQ(log(), "");

    // On at the first line: removing them later changes nothing either.
    resetDebugModeForTest();
    debugMessage(L"on");
    plat::unsetEnv(L"VKLIB_DEBUG");
    plat::unsetEnv(L"VKLIB_MANUFACTURER");
    debugMessage(L"still on");
    EXPECT_EQ(log(), "T on\r\n\r\nT still on\r\n\r\n");
}

}  // namespace
