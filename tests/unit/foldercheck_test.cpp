// A dropped folder is checked as a whole: a folder that cannot be done is
// refused with one message before anything in it changes.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "codec/encrypt.h"
#include "codec_keydrive.h"
#include "walk/dirtree.h"
#include "walk/foldercheck.h"

namespace {

using namespace codectest;

class FolderCheckTest : public KeyDriveTest {
protected:
    uint32_t blockCount() const override { return 400; }
    void SetUp() override {
        KeyDriveTest::SetUp();
        tree = root / "work" / "tree";
        fs::create_directories(tree / "sub");
        writeBytes(tree / "a.txt", randomBytes(50000, 1));
        writeBytes(tree / "sub" / "b.txt", randomBytes(50000, 2));
        writeBytes(tree / "c.txt", randomBytes(50000, 3));
    }
    void TearDown() override {
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(tree, ec))
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        KeyDriveTest::TearDown();
    }
    std::map<std::wstring, Bytes> contents() const {
        std::map<std::wstring, Bytes> files;
        for (const auto& e : fs::recursive_directory_iterator(tree))
            files[e.path().wstring()] = e.is_regular_file() ? readBytes(e.path()) : Bytes();
        return files;
    }
    // Encrypts the whole tree (with the folder check and the walk).
    void encryptTree() {
        WalkContext plain = {0};
        ASSERT_EQ(checkFolderForEncrypt(tree.wstring().c_str(), &plain), 0) << lastError();
        ASSERT_EQ(walkTree(tree.wstring().c_str(), encryptAction, &plain, nullptr, nullptr), 0) << lastError();
    }
    // Whether the permissions of a read-only file or folder bind this user.
    bool bites(const fs::path& path) {
        if (fs::is_directory(path)) {
            FILE* f = plat::openFile((path / "probe").wstring(), L"wb");
            if (!f) return true;
            std::fclose(f);
            fs::remove(path / "probe");
            return false;
        }
        FILE* f = plat::openFile(path.wstring(), L"rb+");
        if (f) std::fclose(f);
        return f == nullptr;
    }
    fs::path tree;
};

TEST_F(FolderCheckTest, AFolderThatCannotBeDoneIsRefusedUntouched) {
    struct Case {
        const char* what;
        bool decrypting;
        std::function<bool()> spoil;   // false: the case does not apply here
        std::wstring message;          // part of the refusal
    };
    const Case cases[] = {
        {"a file under an encrypted name", false,
         [this] { writeBytes(tree / "c.txt (encrypted)", Bytes{'o', 'l', 'd'}); return true; },
         L"c.txt (encrypted)' exists already"},
        {"a file with another name (a hard link)", false,
         [this] {
             std::error_code ec;
             fs::create_hard_link(tree / "sub" / "b.txt", tree.parent_path() / "second name", ec);
             return !ec;
         },
         L"b.txt' has 2 names (hard links)"},
        {"not key enough for all the files", false,
         [this] { setHighWaterMark(399 - 100); return true; },
         L"key exhausted: this needs 159.0 KB of key, but this key drive has only 101.0 KB left"},
#ifndef _WIN32
        {"a name that would not decrypt", false,
         [this] { writeBytes(tree / "tab\there.txt", Bytes{'t'}); return true; },
         L"its name contains a control character"},
#endif
        {"a read-only file", false,
         [this] {
             fs::permissions(tree / "sub" / "b.txt", fs::perms::owner_read, fs::perm_options::replace);
             return bites(tree / "sub" / "b.txt");
         },
         L"b.txt' for writing, so it cannot be erased"},
        {"a read-only folder", false,
         [this] {
             fs::permissions(tree / "sub", fs::perms::owner_read | fs::perms::owner_exec,
                             fs::perm_options::replace);
             return bites(tree / "sub");
         },
         L"cannot write into the folder of '"},
        {"two files that decrypt to one name", true,
         [this] {
             encryptTree();
             fs::copy_file(tree / "a.txt (encrypted)", tree / "sub" / "copy.dat");
             fs::copy_file(tree / "sub" / "b.txt (encrypted)", tree / "sub" / "twin.dat");
             return true;
         },
         L"b.txt' would be written by two files of the folder"},
        {"a plaintext in the way", true,
         [this] {
             encryptTree();
             writeBytes(tree / "c.txt", Bytes{'n', 'e', 'w'});
             return true;
         },
         L"c.txt' exists already; move it away or rename it first"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        if (!c.spoil()) continue;
        const auto before = contents();
        const uint32_t mark = highWaterMark();
        WalkContext plain = {0};
        const std::wstring folder = tree.wstring();
        const int result = c.decrypting ? checkFolderForDecrypt(folder.c_str(), &plain)
                                        : checkFolderForEncrypt(folder.c_str(), &plain);
        EXPECT_EQ(result, 1);
        EXPECT_NE(lastError().find(c.message), std::wstring::npos) << lastError();
        const std::wstring tail = L"; nothing in '" + folder + L"' was changed";
        EXPECT_EQ(lastError().substr(lastError().size() - std::min(lastError().size(), tail.size())), tail);
        EXPECT_EQ(contents(), before);
        EXPECT_EQ(highWaterMark(), mark);
    }
}

TEST_F(FolderCheckTest, AFolderThatCanBeDoneIsPassed) {
    encryptTree();
    WalkContext plain = {0};
    ASSERT_EQ(checkFolderForDecrypt(tree.wstring().c_str(), &plain), 0) << lastError();
    ASSERT_EQ(walkTree(tree.wstring().c_str(), decryptAction, &plain, nullptr, nullptr), 0) << lastError();
    EXPECT_EQ(readBytes(tree / "c.txt"), randomBytes(50000, 3));
}

}  // namespace
