// What the editor wait relies on from the platform layer, on whichever build
// runs it: whether another program holds a file, owner-only working copies,
// the way to the editor and the text of the no-association error.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "tests/support/tempfolder.h"

#ifndef _WIN32
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/spawn.h"
#endif

namespace fs = std::filesystem;

namespace {

class EditorPlatformTest : public ::testing::Test {
protected:
    void SetUp() override { folder_ = testsupport::makeTempFolder("velkin-editor"); }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    std::wstring path(const wchar_t* name) const { return (folder_ / name).wstring(); }
    void create(const wchar_t* name) {
        FILE* f = plat::openFile(path(name), L"wb");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    fs::path folder_;
};

// Polls until the file's hold is the wanted one, for up to five seconds.
bool becomes(const std::wstring& file, plat::FileHold wanted) {
    for (int i = 0; i < 100; ++i) {
        if (plat::fileHold(file) == wanted) return true;
        plat::sleepMs(50);
    }
    return false;
}

TEST_F(EditorPlatformTest, FileHoldSeesAnotherHolderAndAMissingFile) {
    create(L"held.txt");
    EXPECT_EQ(plat::fileHold(path(L"held.txt")), plat::FileHold::Free);
#ifdef _WIN32
    // Any open handle keeps an exclusive open out, this process's own too.
    FILE* holder = plat::openFile(path(L"held.txt"), L"rb");
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(plat::fileHold(path(L"held.txt")), plat::FileHold::Held);
    std::fclose(holder);
#else
    // This process's own descriptors do not count: the program reads the
    // file itself. Another process's do.
    FILE* own = plat::openFile(path(L"held.txt"), L"rb");
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(plat::fileHold(path(L"held.txt")), plat::FileHold::Free);
    std::fclose(own);
    plat::posix::Child child;
    ASSERT_TRUE(plat::posix::startChild(
        {"sh", "-c", "exec sleep 30 < \"$0\"", fs::path(path(L"held.txt")).string()}, {}, &child));
    EXPECT_TRUE(becomes(path(L"held.txt"), plat::FileHold::Held));
    ::kill(child.pid, SIGTERM);
    plat::posix::waitChild(child.pid);
#endif
    EXPECT_TRUE(becomes(path(L"held.txt"), plat::FileHold::Free));

    plat::setLastSystemError(0);
    EXPECT_EQ(plat::fileHold(path(L"missing.txt")), plat::FileHold::Unknown);
    EXPECT_NE(plat::lastSystemError(), 0u);
}

TEST_F(EditorPlatformTest, OwnerOnlyFilesWhileOn) {
#ifdef _WIN32
    plat::ownerOnlyFiles(true);   // nothing to change on this system: it must not fail
    create(L"copy.txt");
    plat::ownerOnlyFiles(false);
    EXPECT_TRUE(plat::fileInfo(path(L"copy.txt"), nullptr));
#else
    mode_t previous = ::umask(022);
    plat::ownerOnlyFiles(true);
    create(L"private.txt");
    plat::ownerOnlyFiles(false);
    create(L"shared.txt");
    struct stat st;
    ASSERT_EQ(::stat(fs::path(path(L"private.txt")).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(fs::path(path(L"shared.txt")).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ::umask(previous);
#endif
}

TEST(EditorPlatform, NoAssociationHasATextOfItsOwn) {
    EXPECT_FALSE(plat::systemErrorMessage(plat::kNoAssociationError).empty());
#ifdef _WIN32
    EXPECT_EQ(plat::kNoAssociationError, 1155u);
#endif
}

#ifndef _WIN32
// The way to the editor follows the environment: a terminal editor needs a
// terminal (absent under the test runner's pipes), the desktop a display.
TEST(EditorPlatform, RouteFollowsTheSession) {
    const char* names[] = {"DISPLAY", "WAYLAND_DISPLAY", "VISUAL", "EDITOR"};
    std::string saved[4];
    bool had[4];
    for (int i = 0; i < 4; ++i) {
        const char* value = std::getenv(names[i]);
        had[i] = value != nullptr;
        if (value) saved[i] = value;
        ::unsetenv(names[i]);
    }
    ::setenv("EDITOR", "vi", 1);
    if (!::isatty(0) || !::isatty(1)) {
        EXPECT_EQ(plat::editorRoute(), plat::EditorRoute::None);
        ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
        EXPECT_EQ(plat::editorRoute(), plat::EditorRoute::Desktop);
        ::unsetenv("WAYLAND_DISPLAY");
        ::setenv("DISPLAY", ":0", 1);
        EXPECT_EQ(plat::editorRoute(), plat::EditorRoute::Desktop);
    }
    for (int i = 0; i < 4; ++i) {
        if (had[i]) ::setenv(names[i], saved[i].c_str(), 1);
        else ::unsetenv(names[i]);
    }
}
#endif

}  // namespace
