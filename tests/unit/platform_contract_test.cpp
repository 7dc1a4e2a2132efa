// What the core relies on from the platform layer, checked on whichever
// build runs it: the Windows backend under Wine and the POSIX backend natively.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsigned char tag[8];
        ASSERT_TRUE(plat::cryptoRandom(tag, sizeof tag));
        std::string name = "velkin-platform-";
        for (unsigned char c : tag) name += "0123456789abcdef"[c & 15];
        root_ = fs::temp_directory_path() / name;
        fs::create_directories(root_);
        folder_ = root_.wstring() + plat::kSep;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    std::wstring path(const std::wstring& name) const { return folder_ + name; }

    void writeFile(const std::wstring& name, const std::string& bytes) {
        FILE* f = plat::openFile(path(name), L"wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        ASSERT_EQ(std::fclose(f), 0);
    }

    // Read sharing every access, as files the program holds open allow.
    std::string readFile(const std::wstring& name) {
        FILE* f = plat::openNoFollow(path(name), false, nullptr);
        if (!f) return "<missing>";
        std::string bytes;
        char buffer[256];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
        std::fclose(f);
        return bytes;
    }

    fs::path root_;
    std::wstring folder_;
};

TEST_F(PlatformTest, StreamsSeekTellCommitAndLock) {
    // The Windows runtime's hints ride along in the mode; POSIX ignores them.
    FILE* f = plat::openFile(path(L"data.bin"), L"wbSc");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite("0123456789", 1, 10, f), 10u);
    EXPECT_EQ(plat::commitFile(f), 0);
    // The data commit leaves the stream where it was.
    EXPECT_EQ(plat::commitFileData(f), 0);
    EXPECT_EQ(plat::tellFile(f), 10);
    EXPECT_EQ(plat::lockFile(f), 0);
    EXPECT_EQ(plat::unlockFile(f), 0);
    EXPECT_EQ(plat::seekFile(f, 4, SEEK_SET), 0);
    EXPECT_EQ(plat::tellFile(f), 4);
    EXPECT_EQ(plat::seekFile(f, 0, SEEK_END), 0);
    EXPECT_EQ(plat::tellFile(f), 10);
    std::fclose(f);
    EXPECT_EQ(readFile(L"data.bin"), "0123456789");

    errno = 0;
    EXPECT_EQ(plat::openFile(path(L"missing.bin"), L"rb"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(plat::stdErrorMessage(ENOENT), L"No such file or directory");
}

TEST_F(PlatformTest, RangeLocksConflictOnlyWhereTheyMeet) {
    writeFile(L"record.bin", "0123456789ab");
    FILE* a = plat::openFile(path(L"record.bin"), L"rb+");
    FILE* b = plat::openFile(path(L"record.bin"), L"rb+");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const uint64_t far = uint64_t(1) << 32;   // beyond the end of the file
    EXPECT_EQ(plat::lockRange(a, far, 1, false, false), 0);
    EXPECT_EQ(plat::lockRange(b, far, 1, false, false), 0) << "shared locks go together";
    EXPECT_EQ(plat::unlockRange(b, far, 1), 0);
    EXPECT_EQ(plat::lockRange(b, far, 1, true, false), 1) << "an exclusive lock stands alone";
    EXPECT_EQ(plat::lockRange(b, 0, 12, true, true), 0) << "other bytes are free";
    EXPECT_EQ(plat::lockRange(a, 0, 12, true, false), 1);
    EXPECT_EQ(plat::unlockRange(b, 0, 12), 0);
    EXPECT_EQ(plat::lockRange(a, 0, 12, true, false), 0);
    EXPECT_EQ(plat::unlockRange(a, 0, 12), 0);
    // Closing a stream ends its locks.
    std::fclose(a);
    EXPECT_EQ(plat::lockRange(b, far, 1, true, false), 0);
    std::fclose(b);
}

#ifndef _WIN32
// A child program (a dialog, an editor) must not inherit the key files, nor
// keep their locks alive after the program has ended.
TEST_F(PlatformTest, StreamsAreNotInheritedByChildren) {
    writeFile(L"key.bin", "secret");
    for (const wchar_t* mode : {L"rb", L"rb+T", L"wb", L"ab"}) {
        FILE* f = plat::openFile(path(L"key.bin"), mode);
        ASSERT_NE(f, nullptr);
        EXPECT_NE(::fcntl(::fileno(f), F_GETFD) & FD_CLOEXEC, 0) << "mode " << std::string(mode, mode + 2);
        std::fclose(f);
    }
}
#endif

// Committed at once or left to a later commit of the folder, alike.
TEST_F(PlatformTest, MoveNoReplaceRefusesAnExistingTarget) {
    for (bool commitNow : {true, false}) {
        SCOPED_TRACE(commitNow ? "committed at once" : "committed later");
        writeFile(L"new", "fresh");
        writeFile(L"old", "kept");
        EXPECT_FALSE(plat::moveNoReplace(path(L"new"), path(L"old"), commitNow));
        EXPECT_EQ(readFile(L"old"), "kept");
        EXPECT_EQ(readFile(L"new"), "fresh");
        EXPECT_TRUE(plat::moveNoReplace(path(L"new"), path(L"other"), commitNow));
        plat::commitFolderOf(path(L"other"));
        EXPECT_EQ(readFile(L"other"), "fresh");
        EXPECT_EQ(readFile(L"new"), "<missing>");
        fs::remove(root_ / "other");
        fs::remove(root_ / "old");
    }
}

TEST_F(PlatformTest, RenameNeverReplacesButMoveReplaceDoes) {
    writeFile(L"a", "first");
    writeFile(L"b", "second");
    EXPECT_NE(plat::renameNoReplace(path(L"a"), path(L"b")), 0);
    EXPECT_EQ(readFile(L"a"), "first");
    EXPECT_EQ(readFile(L"b"), "second");

    EXPECT_EQ(plat::renameNoReplace(path(L"a"), path(L"c")), 0);
    EXPECT_EQ(readFile(L"a"), "<missing>");
    EXPECT_EQ(readFile(L"c"), "first");

    EXPECT_TRUE(plat::moveReplace(path(L"c"), path(L"b")));
    EXPECT_EQ(readFile(L"b"), "first");
    EXPECT_EQ(readFile(L"c"), "<missing>");

    EXPECT_EQ(plat::removeFile(path(L"b")), 0);
    errno = 0;
    EXPECT_NE(plat::removeFile(path(L"b")), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(PlatformTest, FileInfoAndFolders) {
    writeFile(L"five", "12345");
    plat::FileInfo info;
    ASSERT_TRUE(plat::fileInfo(path(L"five"), &info));
    EXPECT_FALSE(info.isDirectory);
    EXPECT_FALSE(info.isLink);
    EXPECT_EQ(info.size, 5u);
    // Without a record to fill, the call still tells whether the path exists.
    EXPECT_TRUE(plat::fileInfo(path(L"five"), nullptr));
    EXPECT_FALSE(plat::fileInfo(path(L"none"), nullptr));

    EXPECT_TRUE(plat::createDirectory(path(L"sub")));
    EXPECT_TRUE(plat::createDirectory(path(L"sub")));      // already there: fine
    EXPECT_FALSE(plat::createDirectory(path(L"five")));    // a file of that name is not
    ASSERT_TRUE(plat::fileInfo(path(L"sub"), &info));
    EXPECT_TRUE(info.isDirectory);

    plat::setLastSystemError(0);
    EXPECT_FALSE(plat::fileInfo(path(L"nothing"), &info));
    uint32_t code = plat::lastSystemError();
    EXPECT_NE(code, 0u);
    EXPECT_FALSE(plat::systemErrorMessage(code).empty());

    writeFile(L"sub" + std::wstring(1, plat::kSep) + L"inner", "x");
    EXPECT_FALSE(plat::removeDirectory(path(L"sub")));     // not empty
    EXPECT_TRUE(plat::deleteFile(path(L"sub") + plat::kSep + L"inner"));
    EXPECT_FALSE(plat::deleteFile(path(L"sub") + plat::kSep + L"inner"));
    EXPECT_TRUE(plat::removeDirectory(path(L"sub")));
    EXPECT_FALSE(plat::fileInfo(path(L"sub"), &info));
}

TEST_F(PlatformTest, ListingGivesEveryEntryThenTheEnd) {
    writeFile(L"one.txt", "1");
    writeFile(L"three.bin", "333");
    ASSERT_TRUE(plat::createDirectory(path(L"folder")));

    std::map<std::wstring, plat::DirEntry> seen;
    plat::DirEntry entry;
    plat::DirHandle listing = plat::findFirst(folder_, &entry);
    ASSERT_NE(listing, nullptr);
    int more = 1;
    while (more == 1) {
        seen[entry.name] = entry;
        more = plat::findNext(listing, &entry);
    }
    plat::findClose(listing);
    EXPECT_EQ(more, 0);
    seen.erase(L".");
    seen.erase(L"..");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[L"one.txt"].size, 1u);
    EXPECT_FALSE(seen[L"one.txt"].isDirectory);
    EXPECT_EQ(seen[L"three.bin"].size, 3u);
    EXPECT_TRUE(seen[L"folder"].isDirectory);

    EXPECT_EQ(plat::findFirst(path(L"nothing") + plat::kSep, &entry), nullptr);
}

// Identity through a name, a final link not followed: the kind, the number
// of names, and what tells one version of a file from the next.
TEST_F(PlatformTest, IdentityOfANameTellsKindNamesAndVersion) {
    writeFile(L"file", "content");
    fs::create_directories(root_ / "folder");
    plat::FileId file, again, folder;
    ASSERT_TRUE(plat::nameIdentity(path(L"file"), &file));
    EXPECT_EQ(file.kind, plat::FileKind::File);
    EXPECT_EQ(file.size, 7u);
    EXPECT_EQ(file.links, 1u);
    ASSERT_TRUE(plat::nameIdentity(path(L"folder"), &folder));
    EXPECT_EQ(folder.kind, plat::FileKind::Folder);
    EXPECT_FALSE(plat::nameIdentity(path(L"missing"), &again));

    std::error_code ec;
    fs::create_hard_link(root_ / "file", root_ / "second name", ec);
    if (!ec) {
        ASSERT_TRUE(plat::nameIdentity(path(L"file"), &again));
        EXPECT_EQ(again.links, 2u);
        EXPECT_TRUE(plat::sameVersion(file, again)) << "another name is not another version";
        fs::remove(root_ / "second name");
    }
    fs::create_symlink(root_ / "file", root_ / "link", ec);
    if (!ec) {
        plat::FileId link;
        ASSERT_TRUE(plat::nameIdentity(path(L"link"), &link));
        EXPECT_EQ(link.kind, plat::FileKind::Link);
        ASSERT_TRUE(plat::fileIdentity(path(L"link"), &link));
        EXPECT_TRUE(plat::sameFileId(link, file)) << "fileIdentity follows the link";
    }
    writeFile(L"file", "longer content");
    ASSERT_TRUE(plat::nameIdentity(path(L"file"), &again));
    EXPECT_TRUE(plat::sameFileId(again, file));
    EXPECT_FALSE(plat::sameVersion(again, file));
}

// A held file is opened without following a link, and renamed and removed
// only while its name still holds it.
TEST_F(PlatformTest, HeldFilesAreRenamedAndRemovedOnlyUnderTheirOwnName) {
    writeFile(L"held", "mine");
    plat::FileId id;
    FILE* f = plat::openNoFollow(path(L"held"), true, &id);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(id.kind, plat::FileKind::File);
    EXPECT_TRUE(plat::nameHolds(path(L"held"), f));
    EXPECT_EQ(plat::renameHeld(f, path(L"held"), path(L"moved")), plat::HeldStep::Done);
    EXPECT_EQ(readFile(L"moved"), "mine");
    EXPECT_FALSE(plat::nameHolds(path(L"held"), f));

    // A name that holds another file now: nothing is done to either.
    writeFile(L"held", "another");
    EXPECT_EQ(plat::renameHeld(f, path(L"held"), path(L"x")), plat::HeldStep::Elsewhere);
    EXPECT_EQ(plat::removeHeld(f, path(L"held")), plat::HeldStep::Elsewhere);
    EXPECT_EQ(readFile(L"held"), "another");
    // A taken new name is never replaced.
    errno = 0;
    EXPECT_EQ(plat::renameHeld(f, path(L"moved"), path(L"held")), plat::HeldStep::Failed);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(readFile(L"held"), "another");
    EXPECT_EQ(plat::removeHeld(f, path(L"moved")), plat::HeldStep::Done);
    std::fclose(f);
    EXPECT_FALSE(fs::exists(root_ / "moved"));

    // Removed without a commit of its own (the caller commits the folder).
    writeFile(L"later", "gone");
    f = plat::openNoFollow(path(L"later"), true, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(plat::removeHeld(f, path(L"held"), false), plat::HeldStep::Elsewhere);
    EXPECT_EQ(plat::removeHeld(f, path(L"later"), false), plat::HeldStep::Done);
    std::fclose(f);
    plat::commitFolderOf(path(L"later"));
    EXPECT_FALSE(fs::exists(root_ / "later"));
    EXPECT_EQ(readFile(L"held"), "another");

    // Not a regular file under the name: refused, with the reason.
    fs::create_directories(root_ / "folder");
    errno = 0;
    EXPECT_EQ(plat::openNoFollow(path(L"folder"), true, nullptr), nullptr);
    EXPECT_EQ(errno, EISDIR);
    std::error_code ec;
    fs::create_symlink(root_ / "held", root_ / "link", ec);
    if (!ec) {
        errno = 0;
        EXPECT_EQ(plat::openNoFollow(path(L"link"), false, nullptr), nullptr);
        EXPECT_EQ(errno, ELOOP);
    }
}

// A folder is walked through a handle: listed with each entry's identity,
// its entries asked again through it, a link in a subfolder's place refused.
TEST_F(PlatformTest, FoldersAreWalkedThroughHandles) {
    fs::create_directories(root_ / "top" / "sub");
    writeFile(L"top" + std::wstring(1, plat::kSep) + L"a", "a");
    plat::FileId topId, subId, entry;
    plat::FolderHandle top = plat::openFolder(path(L"top"), &topId);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(topId.kind, plat::FileKind::Folder);
    const std::wstring topPath = path(L"top") + plat::kSep;
    std::vector<plat::DirEntry> entries;
    ASSERT_EQ(plat::listFolder(top, topPath, &entries), 0);
    std::map<std::wstring, plat::FileKind> kinds;
    for (const plat::DirEntry& e : entries) kinds[e.name] = e.id.kind;
    EXPECT_EQ(kinds, (std::map<std::wstring, plat::FileKind>{{L"a", plat::FileKind::File},
                                                               {L"sub", plat::FileKind::Folder}}));
    ASSERT_TRUE(plat::entryIdentity(top, L"a", topPath + L"a", &entry));
    EXPECT_EQ(entry.size, 1u);
    plat::FolderHandle sub = plat::openSubfolder(top, L"sub", topPath + L"sub" + plat::kSep, &subId);
    ASSERT_NE(sub, nullptr);
    plat::closeFolder(sub);
    EXPECT_EQ(plat::openSubfolder(top, L"a", topPath + L"a", &subId), nullptr) << "a file is no folder";
    plat::closeFolder(top);
    EXPECT_EQ(plat::openFolder(path(L"missing"), &topId), nullptr);
#ifndef _WIN32
    fs::rename(root_ / "top" / "sub", root_ / "elsewhere");
    fs::create_directory_symlink(root_ / "elsewhere", root_ / "top" / "sub");
    top = plat::openFolder(path(L"top"), &topId);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(plat::openSubfolder(top, L"sub", topPath + L"sub/", &subId), nullptr) << "a link is not followed";
    plat::closeFolder(top);
    EXPECT_EQ(plat::openFolder(path(L"top") + L"/sub", &subId), nullptr);
#endif
}

// Guards by name: one holder at a time, free again once released.
TEST(PlatformGuard, OneHolderAtATime) {
    unsigned char tag[8];
    ASSERT_TRUE(plat::cryptoRandom(tag, sizeof tag));
    std::wstring name = L"Global\\velkin-guard-test-";
    for (unsigned char c : tag) name += L"0123456789abcdef"[c & 15];
    plat::GuardHandle first = nullptr, second = nullptr;
    ASSERT_EQ(plat::takeGuard(name, &first), 0);
    EXPECT_EQ(plat::takeGuard(name, &second), 1);
    plat::releaseGuard(first);
    ASSERT_EQ(plat::takeGuard(name, &second), 0);
    plat::releaseGuard(second);
}

// A lock file is locked before it takes its name, and can be removed while
// it is held.
TEST_F(PlatformTest, LockFilesAreLockedBeforeTheyAppear) {
    FILE* owner = plat::createLockedFile(path(L"run.lock"));
    ASSERT_NE(owner, nullptr);
    EXPECT_FALSE(fs::exists(root_ / ("run.lock" + fs::path(plat::kLockingSuffix).string())));
    FILE* other = plat::openLockFile(path(L"run.lock"));
    ASSERT_NE(other, nullptr);
    EXPECT_NE(plat::lockRange(other, 0, 1, true, false), 0) << "the owner holds it from the start";
    errno = 0;
    EXPECT_EQ(plat::createLockedFile(path(L"run.lock")), nullptr);
    EXPECT_EQ(errno, EEXIST);
    std::fclose(other);
    EXPECT_EQ(plat::removeFile(path(L"run.lock")), 0) << "removed while held";
    std::fclose(owner);
    EXPECT_FALSE(fs::exists(root_ / "run.lock"));
}

#ifndef _WIN32
// New files are the owner's alone; a stream's file takes permission bits
// within the creation mask.
TEST_F(PlatformTest, NewFilesArePrivateAndTakeTheirModeWithinTheMask) {
    const mode_t saved = ::umask(027);
    FILE* f = plat::createNewFile(path(L"private"));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fs::status(root_ / "private").permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(plat::setPermissions(f, 0664), 0);
    std::fclose(f);
    ::umask(saved);
    EXPECT_EQ(fs::status(root_ / "private").permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    plat::FileId id;
    ASSERT_TRUE(plat::nameIdentity(path(L"private"), &id));
    EXPECT_EQ(id.mode, 0640u);
}
#endif

TEST_F(PlatformTest, VolumeSpaceAsksTheFolderOfAFileNotYetWritten) {
    uint64_t freeBytes = 0;
    bool isFat = true;
    ASSERT_TRUE(plat::volumeSpace(path(L"not-yet.bin"), &freeBytes, &isFat));
    EXPECT_GT(freeBytes, 0u);
    EXPECT_FALSE(isFat);  // the temporary folder is on no FAT volume here
    EXPECT_FALSE(plat::volumeSpace(path(L"nothing") + plat::kSep + L"x.bin", &freeBytes, &isFat));
}

TEST_F(PlatformTest, FinalPathFollowsLinksToTheFileItself) {
    writeFile(L"target.bin", "data");
    std::wstring final;
    ASSERT_TRUE(plat::finalPath(path(L"target.bin"), &final));
    EXPECT_TRUE(plat::sameFile(final, path(L"target.bin")));
    EXPECT_EQ(final.substr(final.size() - 10), L"target.bin");
    std::error_code ec;
    fs::create_symlink(root_ / "target.bin", root_ / "link", ec);
    if (!ec) {   // where the system lets this user make links
        std::wstring throughLink;
        ASSERT_TRUE(plat::finalPath(path(L"link"), &throughLink));
        EXPECT_EQ(throughLink, final);
    }
    EXPECT_FALSE(plat::finalPath(path(L"nothing"), &final));
}

TEST_F(PlatformTest, EnvironmentRoundTrip) {
    std::wstring value;
    ASSERT_EQ(plat::putEnv(L"VKLIB_PLATFORM_TEST=some value"), 0);
    ASSERT_TRUE(plat::getEnv(L"VKLIB_PLATFORM_TEST", &value));
    EXPECT_EQ(value, L"some value");
    ASSERT_EQ(plat::putEnv(L"VKLIB_PLATFORM_TEST="), 0);
    // Removed or empty: either way no value is left.
    EXPECT_TRUE(!plat::getEnv(L"VKLIB_PLATFORM_TEST", &value) || value.empty());
}

TEST_F(PlatformTest, ProcessFacts) {
    std::wstring self = plat::modulePath();
    ASSERT_FALSE(self.empty());
    plat::FileInfo info;
    EXPECT_TRUE(plat::fileInfo(self, &info));
    EXPECT_FALSE(info.isDirectory);

    std::wstring before = plat::currentDir();
    ASSERT_EQ(plat::setCurrentDir(folder_), 0);
    EXPECT_TRUE(plat::fileInfo(plat::currentDir(), &info));
    EXPECT_EQ(fs::equivalent(fs::path(plat::currentDir()), root_), true);
    EXPECT_NE(plat::setCurrentDir(path(L"nothing")), 0);
    ASSERT_EQ(plat::setCurrentDir(before), 0);

    uint32_t start = plat::tickCount();
    plat::sleepMs(60);
    // Clock ticks may be coarse (about 16 ms on Windows): allow for that.
    EXPECT_GE(plat::tickCount() - start, 30u);

    // The wall clock agrees with the C runtime's to the second (it may tick
    // between the two readings).
    const int64_t clockBefore = static_cast<int64_t>(std::time(nullptr));
    const int64_t seconds = plat::unixSeconds();
    const int64_t clockAfter = static_cast<int64_t>(std::time(nullptr));
    EXPECT_GE(seconds, clockBefore);
    EXPECT_LE(seconds, clockAfter);

    plat::setLastSystemError(1234);
    EXPECT_EQ(plat::lastSystemError(), 1234u);
    plat::setLastSystemError(0);
    EXPECT_GE(plat::maxPathLength(), 260u);
}

TEST_F(PlatformTest, StandardErrorRedirectedToAFileGetsUtf8AndIsNoTerminal) {
    const std::wstring file = path(L"stderr.txt");
    std::fflush(stderr);
#ifdef _WIN32
    int target = _wopen(file.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    int saved = _dup(2);
    ASSERT_GE(target, 0);
    ASSERT_EQ(_dup2(target, 2), 0);
#else
    int target = ::open(fs::path(file).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int saved = ::dup(2);
    ASSERT_GE(target, 0);
    ASSERT_EQ(::dup2(target, 2), 2);
#endif
    bool terminal = plat::stderrIsTerminal();
    plat::writeStderr(L"progress: 42% \u00e9t\u00e9\n");
    std::fflush(stderr);
#ifdef _WIN32
    _dup2(saved, 2);
    _close(saved);
    _close(target);
#else
    ::dup2(saved, 2);
    ::close(saved);
    ::close(target);
#endif
    EXPECT_FALSE(terminal);
    FILE* f = std::fopen(fs::path(file).string().c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char bytes[64] = {};
    size_t got = std::fread(bytes, 1, sizeof bytes, f);
    std::fclose(f);
    EXPECT_EQ(std::string(bytes, got), "progress: 42% \xc3\xa9t\xc3\xa9\n");
}

TEST(PlatformRandom, FillsTheWholeBuffer) {
    // Two draws of 4096 bytes agreeing anywhere over a 64-byte stretch, or a
    // stretch of zeros at the end, would mean a buffer left partly unfilled.
    std::string a(4096, '\0'), b(4096, '\0');
    ASSERT_TRUE(plat::cryptoRandom(&a[0], a.size()));
    ASSERT_TRUE(plat::cryptoRandom(&b[0], b.size()));
    EXPECT_NE(a.substr(4032), b.substr(4032));
    EXPECT_NE(a.substr(4032), std::string(64, '\0'));
    EXPECT_NE(a.substr(0, 64), b.substr(0, 64));
}

TEST(PlatformMutex, SecondCreationOfOneNameIsRefused) {
    unsigned char tag[8];
    ASSERT_TRUE(plat::cryptoRandom(tag, sizeof tag));
    std::wstring name = L"Global\\velkin-test-";
    for (unsigned char c : tag) name += L"0123456789abcdef"[c & 15];
    EXPECT_EQ(plat::createNamedMutex(name), 0);
    EXPECT_EQ(plat::createNamedMutex(name), 1);
    EXPECT_EQ(plat::createNamedMutex(name + L"-other"), 0);
}

TEST(PlatformChild, ExitCodeOfTheChildAndMinusOneWhenItCannotStart) {
    // The child sees the environment that putEnv gave this process.
    ASSERT_EQ(plat::putEnv(L"VELKIN_CHILD_TEST=7"), 0);
#ifdef _WIN32
    const std::wstring shell = L"C:\\windows\\system32\\cmd.exe";
    EXPECT_EQ(plat::runChildAndWait(shell, {L"/c", L"exit", L"3"}), 3);
    EXPECT_EQ(plat::runChildAndWait(shell, {L"/c", L"exit", L"%VELKIN_CHILD_TEST%"}), 7);
    EXPECT_EQ(plat::runChildAndWait(L"C:\\no-such-folder\\none.exe", {}), -1);
#else
    EXPECT_EQ(plat::runChildAndWait(L"/bin/sh", {L"-c", L"exit 3"}), 3);
    EXPECT_EQ(plat::runChildAndWait(L"/bin/sh", {L"-c", L"exit $VELKIN_CHILD_TEST"}), 7);
    // An argument with blanks and quotes arrives as one argument, unchanged.
    EXPECT_EQ(plat::runChildAndWait(L"/bin/sh", {L"-c", L"[ \"$1\" = 'a \"b\" c' ]", L"x",
                                                 L"a \"b\" c"}),
              0);
    EXPECT_EQ(plat::runChildAndWait(L"/no-such-folder/none", {}), -1);
#endif
    plat::unsetEnv(L"VELKIN_CHILD_TEST");
}

#ifdef _WIN32
TEST(PlatformWindows, SystemTextsAreTheSystemsOwn) {
    // ERROR_FILE_NOT_FOUND, with the line break the system puts at the end.
    std::wstring text = plat::systemErrorMessage(2);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), L'\n');
    EXPECT_EQ(plat::maxPathLength(), 260u);
    EXPECT_EQ(plat::kSep, L'\\');
}
#endif

}  // namespace
