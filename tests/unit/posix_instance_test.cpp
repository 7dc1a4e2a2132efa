// Where the POSIX single-instance guard keeps its lock files: only in a
// folder that belongs to the user and is closed to everyone else.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "tests/support/tempfolder.h"

namespace fs = std::filesystem;

namespace {

class LockFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = testsupport::makeTempFolder("velkin-locks");
        save("XDG_RUNTIME_DIR", &runtime_);
        save("XDG_CACHE_HOME", &cache_);
        ::setenv("XDG_CACHE_HOME", (root_ / "cache").c_str(), 1);
        fs::create_directories(root_ / "cache");
    }
    void TearDown() override {
        restore("XDG_RUNTIME_DIR", runtime_);
        restore("XDG_CACHE_HOME", cache_);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // A folder below the test's own with the given mode.
    fs::path folder(const std::string& name, mode_t mode) {
        fs::path path = root_ / name;
        fs::create_directories(path);
        ::chmod(path.c_str(), mode);
        return path;
    }
    // A mutex name of its own for each call.
    std::wstring freshName() {
        static int count = 0;
        return L"Global\\velkin-test-" + std::to_wstring(::getpid()) + L"-" + std::to_wstring(++count);
    }
    static std::string lockFile(const std::wstring& name) {
        std::string file(name.begin(), name.end());
        for (char& c : file) {
            if (c == '\\' || c == '/') c = '_';
        }
        return file + ".lock";
    }

    struct Saved {
        bool set = false;
        std::string value;
    };
    static void save(const char* variable, Saved* saved) {
        const char* value = std::getenv(variable);
        saved->set = value != nullptr;
        if (value) saved->value = value;
    }
    static void restore(const char* variable, const Saved& saved) {
        if (saved.set) ::setenv(variable, saved.value.c_str(), 1);
        else ::unsetenv(variable);
    }

    fs::path root_;
    Saved runtime_, cache_;
};

TEST_F(LockFolderTest, PrivateRuntimeFolderHoldsTheLocks) {
    fs::path runtime = folder("runtime", 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    std::wstring name = freshName();
    EXPECT_EQ(plat::createNamedMutex(name), 0);
    EXPECT_TRUE(fs::exists(runtime / lockFile(name)));
    EXPECT_EQ(plat::createNamedMutex(name), 1);
    EXPECT_FALSE(fs::exists(root_ / "cache" / "velkin"));
}

TEST_F(LockFolderTest, RuntimeFolderOthersCouldWriteIsPassedOver) {
    struct Case {
        const char* name;
        mode_t mode;
    };
    const Case cases[] = {{"open-to-all", 0777}, {"readable", 0755}, {"group", 0770}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path runtime = folder(c.name, c.mode);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        std::wstring name = freshName();
        EXPECT_EQ(plat::createNamedMutex(name), 0);
        EXPECT_TRUE(fs::is_empty(runtime));
        // The fallback is made private to the user.
        fs::path fallback = root_ / "cache" / "velkin";
        EXPECT_TRUE(fs::exists(fallback / lockFile(name)));
        struct stat st;
        ASSERT_EQ(::stat(fallback.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
}

TEST_F(LockFolderTest, WithoutAPrivateFolderTheGuardIsRefusedClearly) {
    ::unsetenv("XDG_RUNTIME_DIR");
    // Someone made the fallback first, open to all.
    fs::path fallback = root_ / "cache" / "velkin";
    fs::create_directories(fallback);
    ::chmod(fallback.c_str(), 0777);
    std::wstring why;
    EXPECT_EQ(plat::createNamedMutex(freshName(), &why), 2);
    std::wstring folderText = fallback.wstring();
    EXPECT_NE(why.find(L"'" + folderText + L"'"), std::wstring::npos) << std::string(why.begin(), why.end());
    EXPECT_NE(why.find(L"0700"), std::wstring::npos);
    EXPECT_TRUE(fs::is_empty(fallback));
}

TEST_F(LockFolderTest, FolderOfAnotherUserIsPassedOver) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
    fs::path runtime = folder("others", 0700);
    ASSERT_EQ(::chown(runtime.c_str(), 65534, 65534), 0);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    fs::path fallback = root_ / "cache" / "velkin";
    fs::create_directories(fallback);
    ::chmod(fallback.c_str(), 0700);
    ASSERT_EQ(::chown(fallback.c_str(), 65534, 65534), 0);
    std::wstring why;
    EXPECT_EQ(plat::createNamedMutex(freshName(), &why), 2);
    EXPECT_TRUE(fs::is_empty(runtime));
    EXPECT_TRUE(fs::is_empty(fallback));
}

}  // namespace
#endif
