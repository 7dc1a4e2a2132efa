// Erasing a file: random names, overwrite passes, removal, and what stays
// behind when it fails.

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codec/expunge.h"
#include "codec/pending.h"
#include "diag/error.h"
#include "diag/log.h"
#include "tests/support/tempfolder.h"
#include "platform/platform.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

// What the observation points saw during one expungeFile.
struct Seen {
    std::vector<std::wstring> names;               // name after each pass
    std::vector<std::vector<char>> contents;       // content after each pass
    std::vector<PendingRecord> records;            // the journal's record after each pass
    std::vector<double> fractions;
};
Seen seen;

// Read through the platform layer, which shares the file with the erase
// that holds it open.
std::vector<char> readAll(const fs::path& path) {
    std::vector<char> data;
    FILE* f = plat::openNoFollow(path.wstring(), false, nullptr);
    if (!f) return data;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + got);
    std::fclose(f);
    return data;
}

std::vector<std::wstring> recordsIn(const fs::path& folder);

void recordPass(const wchar_t* randomName, int /*pass*/) {
    seen.names.push_back(randomName);
    seen.contents.push_back(readAll(fs::path(randomName)));
    for (const std::wstring& path : recordsIn(fs::path(plat::currentDir()))) {
        PendingRecord record;
        if (readPendingRecord(path, &record)) seen.records.push_back(record);
    }
}
void recordFraction(double fraction) { seen.fractions.push_back(fraction); }
const ExpungeTestHooks kRecorder = {recordPass, recordFraction};

std::wstring namePart(const std::wstring& path) {
    std::size_t at = path.find_last_of(L"/\\");
    return at == std::wstring::npos ? path : path.substr(at + 1);
}

bool isLowerHex(const std::wstring& text) {
    for (wchar_t c : text) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    }
    return !text.empty();
}

std::wstring hexOf(const std::vector<char>& bytes, std::size_t count) {
    std::wstring text;
    wchar_t pair[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::swprintf(pair, 3, L"%02x", static_cast<unsigned>(static_cast<unsigned char>(bytes[i])));
        text += pair;
    }
    return text;
}

// The entries of a folder, but for the key drive's SETTINGS (the journal
// of work in progress).
std::vector<std::wstring> namesIn(const fs::path& folder) {
    std::vector<std::wstring> names;
    for (const auto& e : fs::directory_iterator(folder)) {
        if (e.path().filename() != "SETTINGS") names.push_back(e.path().filename().wstring());
    }
    return names;
}

// The records of work in progress in the journal below folder.
std::vector<std::wstring> recordsIn(const fs::path& folder) {
    std::vector<std::wstring> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder / "SETTINGS" / "PENDING", ec)) {
        if (e.path().extension() == ".rec") names.push_back(e.path().wstring());
    }
    return names;
}

class ExpungeTest : public ::testing::Test {
protected:
    // The test's folder is the key drive: the program's current folder,
    // whose SETTINGS holds the journal of work in progress.
    void SetUp() override {
        dir_ = testsupport::makeTempFolder("velkin-expunge");
        fs::create_directories(dir_ / "SETTINGS");
        seen = Seen();
        setExpungeTestHooks(&kRecorder);
        savedCwd_ = plat::currentDir();
        ASSERT_EQ(plat::setCurrentDir(dir_.wstring()), 0);
        resetPendingForTest();
    }
    void TearDown() override {
        setExpungeTestHooks(nullptr);
        closeLogForTest();
        closePending();
        plat::setCurrentDir(savedCwd_);
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(dir_, ec)) {
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
        fs::remove_all(dir_, ec);
    }
    // A file of the given size with recognisable content; its full path with
    // the system's separator.
    std::wstring makeFile(const fs::path& folder, const std::wstring& name, std::size_t size) {
        std::ofstream out(folder / name, std::ios::binary);
        for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>('A' + i % 26));
        return folder.wstring() + plat::kSep + name;
    }

    fs::path dir_;
    std::wstring savedCwd_;
};

// The passes leave the file as long as it was, rounded up to whole blocks,
// filled with one 1024-byte random block repeated; all three passes write
// the same bytes, and the random name spells the start of that block.
TEST_F(ExpungeTest, PassesReplaceContentByRoundedUpRandomBlocks) {
    struct Case {
        std::size_t size;
        std::size_t lengthAfterPass;
        std::size_t updates;
        double lastFraction;
    };
    const Case cases[] = {
        {0, 0, 0, 0.0},
        {1, 1024, 3, 2.0 / 3.0},
        {2048, 2048, 6, 5.0 / 6.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        seen = Seen();
        std::wstring path = makeFile(dir_, L"notes.txt", c.size);
        ASSERT_EQ(expungeFile(path.c_str()), 0) << lastErrorText;

        ASSERT_EQ(seen.names.size(), 3u);
        for (int pass = 0; pass < 3; ++pass) {
            EXPECT_EQ(seen.names[pass], seen.names[0]);
            ASSERT_EQ(seen.contents[pass].size(), c.lengthAfterPass);
            EXPECT_EQ(seen.contents[pass], seen.contents[0]);
        }
        const std::vector<char>& data = seen.contents[0];
        for (std::size_t i = 1024; i < data.size(); ++i) EXPECT_EQ(data[i], data[i - 1024]);
        if (!data.empty()) {
            std::wstring name = namePart(seen.names[0]);
            EXPECT_EQ(name, hexOf(data, name.size() / 2));
            EXPECT_NE(std::string(data.begin(), data.begin() + 26),
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
        }

        ASSERT_EQ(seen.fractions.size(), c.updates);
        for (std::size_t i = 1; i < seen.fractions.size(); ++i) {
            EXPECT_LT(seen.fractions[i - 1], seen.fractions[i]);
        }
        if (c.updates) {
            EXPECT_DOUBLE_EQ(seen.fractions.front(), 0.0);
            EXPECT_DOUBLE_EQ(seen.fractions.back(), c.lastFraction);
        }

        // No trace: neither the first name, nor a random name, nor a
        // temporary file.
        EXPECT_TRUE(namesIn(dir_).empty());
    }
}

// The random name fills the path up to 98 or 99 characters; a bare name
// stays in the current folder and becomes 98 hexadecimal digits.
TEST_F(ExpungeTest, RandomNameFillsShortPaths) {
    fs::create_directories(dir_ / "sub");
    ASSERT_EQ(plat::setCurrentDir(dir_.wstring()), 0);
    makeFile(dir_, L"plain.txt", 10);
    makeFile(dir_ / "sub", L"x.txt", 10);

    struct Case {
        std::wstring path;
        std::size_t folderLength;
    };
    const Case cases[] = {
        {L"plain.txt", 0},
        {std::wstring(L"sub") + plat::kSep + L"x.txt", 4},
        {L"sub/x.txt", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        if (c.path == L"sub/x.txt") makeFile(dir_ / "sub", L"x.txt", 10);
        seen = Seen();
        ASSERT_EQ(expungeFile(c.path.c_str()), 0) << lastErrorText;
        ASSERT_EQ(seen.names.size(), 3u);
        const std::wstring& name = seen.names[0];
        EXPECT_EQ(name.substr(0, c.folderLength), c.path.substr(0, c.folderLength));
        EXPECT_EQ(name.size(), c.folderLength + 2 * ((99 - c.folderLength) / 2));
        EXPECT_TRUE(isLowerHex(name.substr(c.folderLength)));
    }
    EXPECT_TRUE(namesIn(dir_ / "sub").empty());
    std::vector<std::wstring> left = namesIn(dir_);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], L"sub");
}

// The name part begins after the last separator of the build: on Windows a
// folder written with '/' followed by a '\' keeps the file in its folder; on
// POSIX a '\' is part of the name and the whole name is replaced.
TEST_F(ExpungeTest, RandomNamesStayInTheFilesOwnFolder) {
    fs::create_directories(dir_ / "sub" / "deep");
    ASSERT_EQ(plat::setCurrentDir(dir_.wstring()), 0);
    struct Case {
        fs::path file;          // created below dir_
        std::wstring path;      // as handed to expungeFile
        std::size_t folderLength;
    };
    const Case cases[] = {
        {fs::path("sub") / "deep" / "y.txt", L"sub/deep" + std::wstring(1, plat::kSep) + L"y.txt", 9},
#ifndef _WIN32
        {fs::path("back\\slash.txt"), L"back\\slash.txt", 0},
        {fs::path("sub") / "back\\slash.txt", L"sub/back\\slash.txt", 4},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        makeFile((dir_ / c.file).parent_path(), c.file.filename().wstring(), 10);
        seen = Seen();
        ASSERT_EQ(expungeFile(c.path.c_str()), 0) << lastErrorText;
        ASSERT_EQ(seen.names.size(), 3u);
        EXPECT_EQ(seen.names[0].substr(0, c.folderLength), c.path.substr(0, c.folderLength));
        EXPECT_TRUE(isLowerHex(seen.names[0].substr(c.folderLength)));
    }
    EXPECT_TRUE(namesIn(dir_ / "sub" / "deep").empty());
    std::vector<std::wstring> left = namesIn(dir_ / "sub");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], L"deep");
}

// The expunge line of the log names the file the caller gave, not a random
// name.
TEST_F(ExpungeTest, LogNamesTheCallersPath) {
    fs::create_directories(dir_ / "LOG");
    ASSERT_EQ(plat::setCurrentDir(dir_.wstring()), 0);
    closeLogForTest();
    makeFile(dir_, L"diary.txt", 5);
    ASSERT_EQ(expungeFile(L"diary.txt"), 0) << lastErrorText;
    closeLogForTest();
    std::vector<char> log = readAll(dir_ / "LOG" / "log.txt");
    std::string text(log.begin(), log.end());
    EXPECT_NE(text.find("file 'diary.txt' expunged\r\n\r\n"), std::string::npos) << text;
}

// Paths beyond the 99 characters of a filled name, or whose folder leaves
// no room for a hexadecimal pair, get a random name part of 32 digits.
TEST_F(ExpungeTest, LongPathsGetFixedLengthRandomNames) {
    const std::wstring base = dir_.wstring() + plat::kSep;
    std::wstring deepName(std::size_t(110) > base.size() ? 110 - base.size() : 1, L'd');
    fs::create_directories(dir_ / deepName);

    struct Case {
        std::wstring folder;   // with trailing separator
        std::wstring name;
    };
    const Case cases[] = {
        {base, std::wstring(120, L'n') + L".txt"},   // long name, short folder
        {base + deepName + plat::kSep, L"f.txt"},    // folder of 110 characters
    };
    for (const Case& c : cases) {
        std::wstring path = c.folder + c.name;
        SCOPED_TRACE(path.size());
        ASSERT_GE(path.size(), 100u);
        makeFile(fs::path(c.folder), c.name, 3000);
        seen = Seen();
        ASSERT_EQ(checkExpungeable(path.c_str()), 0) << lastErrorText;
        ASSERT_EQ(expungeFile(path.c_str()), 0) << lastErrorText;
        ASSERT_EQ(seen.names.size(), 3u);
        EXPECT_EQ(seen.names[0].substr(0, c.folder.size()), c.folder);
        std::wstring name = seen.names[0].substr(c.folder.size());
        EXPECT_EQ(name.size(), 32u);
        EXPECT_TRUE(isLowerHex(name));
        EXPECT_EQ(seen.contents[2].size(), 3072u);
        EXPECT_FALSE(fs::exists(fs::path(path)));
        // Only the deep folder itself stays beside the first file.
        EXPECT_EQ(namesIn(fs::path(c.folder)).size(), c.folder == base ? 1u : 0u);
    }
}

// A file whose folder leaves no room for a random name within the system's
// path limit is refused before anything happens to it.
TEST_F(ExpungeTest, PathWithoutRoomForARandomNameIsRefusedUntouched) {
    std::size_t limit = plat::maxPathLength();
    if (limit > 1024) limit = 1024;
    // A folder path of about limit - 31 characters: the file's own name fits,
    // 32 digits and ".tmp" do not.
    const std::size_t target = limit - 31;
    fs::path folder = dir_;
    std::size_t length = dir_.wstring().size();
    while (length < target) {
        std::size_t part = target - length - 1;
        if (part > 200) part = 200;
        if (part < 1) part = 1;
        folder /= std::wstring(part, L'p');
        length += part + 1;
    }
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) GTEST_SKIP() << "cannot create a folder path of " << length << " characters";
    std::wstring path = folder.wstring() + plat::kSep + L"f.txt";
    {
        std::ofstream out(fs::path(path), std::ios::binary);
        out << "secret";
    }
    if (!fs::exists(fs::path(path))) GTEST_SKIP() << "cannot create the file";

    EXPECT_EQ(checkExpungeable(path.c_str()), 1);
    EXPECT_NE(std::wstring(lastErrorText).find(L"too long"), std::wstring::npos) << lastErrorText;
    EXPECT_EQ(expungeFile(path.c_str()), 1);
    EXPECT_TRUE(seen.names.empty());
    std::vector<char> content = readAll(fs::path(path));
    EXPECT_EQ(std::string(content.begin(), content.end()), "secret");
}

// A folder is not a file to expunge: refused, left where it is.
TEST_F(ExpungeTest, FolderIsRefused) {
    fs::create_directories(dir_ / "keep");
    std::wstring path = dir_.wstring() + plat::kSep + L"keep";
    EXPECT_EQ(expungeFile(path.c_str()), 1);
    EXPECT_TRUE(fs::is_directory(dir_ / "keep"));
}

// A file that cannot be erased is refused before anything happens to it:
// it stays under its own name with its content, no random name appears,
// and no record of work in progress is left. So is every file when the
// journal cannot be written (here: no SETTINGS folder).
TEST_F(ExpungeTest, ReadOnlyMissingOrUnmeasurableFilesAreRefusedUnderTheirOwnName) {
    struct Case {
        const char* what;
        std::function<std::wstring()> make;   // the path to erase
        std::wstring message;                 // start of the error text; {} is the path
    };
    const std::wstring base = dir_.wstring() + plat::kSep;
    const Case cases[] = {
        {"missing", [&] { return base + L"absent.txt"; },
         L"cannot open file '{}' for writing, so it cannot be erased: "},
        {"read-only",
         [&] {
             std::wstring path = makeFile(dir_, L"locked.txt", 100);
             fs::permissions(dir_ / "locked.txt",
                             fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
             return path;
         },
         L"cannot open file '{}' for writing, so it cannot be erased: "},
#ifndef _WIN32
        // A length that cannot be learnt (a seek on a pipe fails) is not
        // taken for an empty file.
        {"pipe",
         [&] {
             EXPECT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0600), 0);
             return base + L"pipe";
         },
         L"cannot find the length of file '{}', so it cannot be erased: "},
#endif
        {"journal not writable",
         [&] {
             fs::remove_all(dir_ / "SETTINGS");
             resetPendingForTest();
             return makeFile(dir_, L"kept.txt", 2000);
         },
         L"cannot record the work in progress in 'SETTINGS/PENDING': "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        seen = Seen();
        const std::wstring path = c.make();
        if (std::string(c.what) == "read-only") {
            if (FILE* f = plat::openFile(path, L"rb+")) {
                std::fclose(f);
                continue;   // permissions do not stop this user
            }
        }
        // A pipe is not read: that would wait for a writer.
        const bool regular = fs::is_regular_file(fs::path(path));
        std::vector<char> before = regular ? readAll(fs::path(path)) : std::vector<char>();
        std::vector<std::wstring> entries = namesIn(dir_);

        EXPECT_EQ(expungeFile(path.c_str()), 1);
        std::wstring expected = c.message;
        const std::size_t at = expected.find(L"{}");
        if (at != std::wstring::npos) expected.replace(at, 2, path);
        EXPECT_EQ(std::wstring(lastErrorText).substr(0, expected.size()), expected) << lastErrorText;
        EXPECT_TRUE(seen.names.empty()) << "no pass ran";
        EXPECT_EQ(namesIn(dir_), entries) << "nothing renamed";
        if (regular) {
            EXPECT_EQ(readAll(fs::path(path)), before);
        }
        EXPECT_TRUE(recordsIn(dir_).empty());
    }
}

#ifndef _WIN32
// A failure after the first rename names the file being erased and the
// random name it is left under, and the record stays for the next run
// (here the folder becomes read-only during the passes, so the removal
// fails).
fs::path lockedFolder;
void lockFolderAfterLastPass(const wchar_t* randomName, int pass) {
    recordPass(randomName, pass);
    if (pass == 2) fs::permissions(lockedFolder, fs::perms::owner_read | fs::perms::owner_exec,
                                   fs::perm_options::replace);
}

TEST_F(ExpungeTest, ReadOnlyFolderAfterTheRenamesNamesTheFileAndKeepsTheRecord) {
    fs::create_directories(dir_ / "box");
    lockedFolder = dir_ / "box";
    const std::wstring path = makeFile(dir_ / "box", L"letter.txt", 1500);
    const ExpungeTestHooks locking = {lockFolderAfterLastPass, recordFraction};
    setExpungeTestHooks(&locking);
    const int result = expungeFile(path.c_str());
    fs::permissions(lockedFolder, fs::perms::owner_all, fs::perm_options::replace);
    if (result == 0) GTEST_SKIP() << "permissions do not stop this user";
    ASSERT_EQ(seen.names.size(), 3u);
    const std::wstring left = seen.names[2];
    EXPECT_EQ(std::wstring(lastErrorText),
              L"error removing file '" + left + L"': Permission denied (the file being erased, '" + path +
                  L"', is left as '" + left + L"')");
    EXPECT_TRUE(fs::exists(fs::path(left)));
    EXPECT_EQ(recordsIn(dir_).size(), 1u) << "the next run finishes the erase";
}
#endif

// The data is overwritten where it lies: a file with a second name (a hard
// link) would be destroyed under that name as well. It is refused under its
// own name, untouched, with no record left.
TEST_F(ExpungeTest, FileWithOtherNamesIsRefused) {
    std::wstring path = makeFile(dir_, L"linked.txt", 5000);
    const std::vector<char> content = readAll(dir_ / "linked.txt");
    std::error_code ec;
    fs::create_hard_link(dir_ / "linked.txt", dir_ / "other name", ec);
    if (ec) GTEST_SKIP() << "no hard links here: " << ec.message();
    EXPECT_EQ(checkExpungeable(path.c_str()), 1);
    EXPECT_EQ(expungeFile(path.c_str()), 1);
    EXPECT_EQ(std::wstring(lastErrorText),
              L"'" + path + L"' has 2 names (hard links): erasing it would destroy it under its other names as "
                            L"well, so it was left as it is; remove its other names first");
    EXPECT_TRUE(seen.names.empty()) << "no pass ran";
    EXPECT_EQ(readAll(dir_ / "linked.txt"), content);
    EXPECT_EQ(readAll(dir_ / "other name"), content);
    EXPECT_TRUE(recordsIn(dir_).empty());
}

// An erase acts on the very version it was given: when the name holds
// another file (a new version saved over it) or the file changed in place,
// nothing is renamed or overwritten, and the message says which version is
// where.
TEST_F(ExpungeTest, OnlyTheVersionThatWasReadIsErased) {
    struct Case {
        const char* what;
        EraseRole role;
        bool inPlace;   // changed where it lies, rather than replaced
        std::wstring message;   // {} is the path, [] the counterpart
    };
    const Case cases[] = {
        {"a new plaintext saved over it", EraseRole::Plaintext, false,
         L"'{}' was not erased: it changed after it was read for encryption (a new version was saved under its "
         L"name). The new version is kept as '{}'; '[]' holds the encrypted copy of the version that was read"},
        {"a plaintext written in place", EraseRole::Plaintext, true,
         L"'{}' was not erased: it changed after it was read for encryption"},
        {"a new encrypted file delivered", EraseRole::Encrypted, false,
         L"'{}' was not erased: it changed after it was read for decryption (a new version was saved under its "
         L"name). The new version is kept as '{}' and was not decrypted; '[]' holds the plaintext of the version "
         L"that was read"},
        {"no counterpart", EraseRole::Other, false, L"'{}' was not erased: it changed since it was checked"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        seen = Seen();
        const std::wstring path = makeFile(dir_, L"report.txt", 3000);
        EraseOrder order;
        order.path = path;
        order.expectedKnown = true;
        ASSERT_TRUE(plat::nameIdentity(path, &order.expected));
        order.role = c.role;
        order.counterpart = dir_.wstring() + plat::kSep + L"counterpart";
        if (c.inPlace) {
            std::ofstream(dir_ / "report.txt", std::ios::binary | std::ios::app) << "more";
        } else {
            makeFile(dir_, L"newer", 2000);
            fs::rename(dir_ / "newer", dir_ / "report.txt");
        }
        const std::vector<char> now = readAll(dir_ / "report.txt");
        EXPECT_EQ(eraseFile(order), 1);
        std::wstring expected = c.message;
        for (std::size_t at; (at = expected.find(L"{}")) != std::wstring::npos;) expected.replace(at, 2, path);
        for (std::size_t at; (at = expected.find(L"[]")) != std::wstring::npos;)
            expected.replace(at, 2, order.counterpart);
        EXPECT_EQ(std::wstring(lastErrorText).substr(0, expected.size()), expected) << lastErrorText;
        EXPECT_TRUE(seen.names.empty()) << "no pass ran";
        EXPECT_EQ(readAll(dir_ / "report.txt"), now);
        EXPECT_EQ(namesIn(dir_), std::vector<std::wstring>{L"report.txt"});
        EXPECT_TRUE(recordsIn(dir_).empty());
        fs::remove(dir_ / "report.txt");
    }
}

// A link under the name is never followed: the file it leads to is left.
TEST_F(ExpungeTest, LinkIsRefused) {
    const std::wstring target = makeFile(dir_, L"target.txt", 100);
    std::error_code ec;
    fs::create_symlink(dir_ / "target.txt", dir_ / "link", ec);
    if (ec) GTEST_SKIP() << "cannot create links here: " << ec.message();
    const std::wstring link = dir_.wstring() + plat::kSep + L"link";
    EXPECT_EQ(expungeFile(link.c_str()), 1);
    EXPECT_EQ(std::wstring(lastErrorText), L"cannot erase '" + link + L"': it is a link; links are not followed");
    EXPECT_EQ(readAll(dir_ / "target.txt").size(), 100u);
    EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
}

// Erases planned ahead for a batch: their records go to the journal in one
// record file; each erase takes the names of its plan, the record file
// stays until the last erase of the batch is done, and a file replaced
// since it was planned is left as it is, its record ended.
TEST_F(ExpungeTest, PlannedErasesFollowTheirPlansAndShareOneRecordFile) {
    struct Case {
        const wchar_t* name;
        bool replaced;   // another file put under its name after the plan
    };
    const Case cases[] = {{L"a.txt", false}, {L"b.txt", true}, {L"c.txt", false}};
    std::vector<ErasePlan> plans(3);
    std::vector<EraseOrder> orders(3);
    std::vector<PendingRecord> records;
    for (std::size_t i = 0; i < 3; ++i) {
        const std::wstring path = makeFile(dir_, cases[i].name, 1500 + 100 * i);
        orders[i].path = path;
        orders[i].expectedKnown = true;
        ASSERT_TRUE(plat::nameIdentity(path, &orders[i].expected));
        ASSERT_EQ(planErase(orders[i], &plans[i]), 0) << lastErrorText;
        EXPECT_TRUE(fs::exists(fs::path(path))) << "planning touches nothing";
        EXPECT_EQ(plans[i].record.paths.size(), 4u);
        EXPECT_EQ(plans[i].record.paths[0], path);
        records.push_back(plans[i].record);
    }
    std::vector<uint32_t> tickets;
    ASSERT_EQ(beginPendingBatch(records, &tickets), 0) << lastErrorText;
    ASSERT_EQ(recordsIn(dir_).size(), 1u);
    for (std::size_t i = 0; i < 3; ++i) plans[i].ticket = tickets[i];
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(cases[i].name);
        seen = Seen();
        if (cases[i].replaced) {
            makeFile(dir_, L"newer", 900);
            fs::rename(dir_ / "newer", fs::path(orders[i].path));
            EXPECT_EQ(eraseFile(orders[i], &plans[i]), 1);
            EXPECT_TRUE(seen.names.empty()) << "no pass ran";
            EXPECT_EQ(readAll(fs::path(orders[i].path)).size(), 900u);
        } else {
            EXPECT_EQ(eraseFile(orders[i], &plans[i]), 0) << lastErrorText;
            ASSERT_EQ(seen.names.size(), 3u);
            EXPECT_EQ(seen.names[0], plans[i].record.paths[3]) << "the last name of its plan";
            EXPECT_FALSE(fs::exists(fs::path(orders[i].path)));
        }
        EXPECT_EQ(recordsIn(dir_).size(), i < 2 ? 1u : 0u) << "the batch's record file goes with its last erase";
    }
    EXPECT_EQ(namesIn(dir_), std::vector<std::wstring>{L"b.txt"});
}

// While the file is being erased, the journal records its first name and
// all three random names (absolute) with the file's identity; the record is
// gone when the erase is done.
TEST_F(ExpungeTest, JournalRecordsEveryNameUntilTheEraseIsDone) {
    std::wstring path = makeFile(dir_, L"journal.txt", 3000);
    plat::FileId before;
    ASSERT_TRUE(plat::fileIdentity(path, &before));
    ASSERT_EQ(expungeFile(L"journal.txt"), 0) << lastErrorText;
    ASSERT_EQ(seen.records.size(), 3u);
    for (const PendingRecord& record : seen.records) {
        EXPECT_EQ(record.kind, PendingKind::Erase);
        ASSERT_EQ(record.paths.size(), 4u);
        EXPECT_EQ(record.paths[0], path);
        EXPECT_EQ(record.paths[3], dir_.wstring() + plat::kSep + seen.names[0]);
        EXPECT_NE(record.paths[1], record.paths[2]);
        EXPECT_TRUE(plat::sameFileId(record.id, before));
        EXPECT_EQ(record.id.size, 3000u);
    }
    EXPECT_TRUE(recordsIn(dir_).empty());
}

}  // namespace
