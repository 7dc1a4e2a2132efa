// The walk over a dropped file or folder and its actions.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "codec_keydrive.h"
#include "diag/error.h"
#include "diag/log.h"
#include "drive/util.h"
#include "platform/platform.h"
#include "tests/support/tempfolder.h"
#include "walk/dirtree.h"

namespace fs = std::filesystem;

namespace {

using Call = std::pair<std::wstring, int>;
std::vector<Call> calls;
std::wstring failAt;             // the action fails on a path ending with this
std::set<std::wstring> deleted;  // files the deleting action removed

int recordAction(WalkContext*, const wchar_t* path, int kind) {
    calls.emplace_back(path, kind);
    return 0;
}

// Deletes each file it is given, and fails on the chosen one.
int deleteUntilAction(WalkContext*, const wchar_t* path, int kind) {
    std::wstring p = path;
    calls.emplace_back(p, kind);
    if (!failAt.empty() && p.size() >= failAt.size() &&
        p.compare(p.size() - failAt.size(), failAt.size(), failAt) == 0) {
        return 1;
    }
    if (kind == 0) {
        fs::remove(fs::path(p));
        deleted.insert(p);
    }
    return 0;
}

void writeFile(const fs::path& path, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>('a' + i % 26));
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool startsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

class WalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::makeTempFolder("velkin-walk");
        calls.clear();
        failAt.clear();
        deleted.clear();
        savedCwd_ = plat::currentDir();
    }
    void TearDown() override {
        closeLogForTest();
        plat::setCurrentDir(savedCwd_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // Path text as the walk forms it: the system's separator, folders with a
    // trailing one.
    std::wstring p(const std::wstring& relative) const {
        std::wstring text = dir_.wstring() + plat::kSep + relative;
        for (wchar_t& c : text) {
            if (c == L'/') c = plat::kSep;
        }
        return text;
    }

    fs::path dir_;
    std::wstring savedCwd_;
};

// The folder of the example: a.txt, sub holding b.txt, z.txt. Each file
// once, each folder after its contents, the dropped folder last, in the
// order in which the system lists the entries.
TEST_F(WalkTest, VisitsContentsBeforeTheirFolderAndTheTopFolderLast) {
    fs::create_directories(dir_ / "w" / "sub");
    writeFile(dir_ / "w" / "a.txt", 1);
    writeFile(dir_ / "w" / "sub" / "b.txt", 1);
    writeFile(dir_ / "w" / "z.txt", 1);

    // The expected calls, in the system's listing order of w.
    std::vector<Call> expected;
    plat::DirEntry entry;
    plat::DirHandle h = plat::findFirst(p(L"w/"), &entry);
    ASSERT_NE(h, nullptr);
    do {
        if (entry.name == L"a.txt" || entry.name == L"z.txt") expected.emplace_back(p(L"w/" + entry.name), 0);
        if (entry.name == L"sub") {
            expected.emplace_back(p(L"w/sub/b.txt"), 0);
            expected.emplace_back(p(L"w/sub/"), -1);
        }
    } while (plat::findNext(h, &entry) == 1);
    plat::findClose(h);
    expected.emplace_back(p(L"w/"), -1);

    EXPECT_EQ(walkTree(p(L"w").c_str(), recordAction, nullptr, nullptr, nullptr), 0) << lastErrorText;
    EXPECT_EQ(calls, expected);
}

// A deeper tree: the calls under each folder form one block that ends with
// the folder's own call.
TEST_F(WalkTest, DepthFirstOverNestedFolders) {
    for (const char* folder : {"t/s1/s2", "t/s1/empty", "t/s3"}) fs::create_directories(dir_ / folder);
    for (const char* file : {"t/f1", "t/s1/f2", "t/s1/s2/f3", "t/s1/s2/f4", "t/s3/f5"}) writeFile(dir_ / file, 3);

    ASSERT_EQ(walkTree(p(L"t").c_str(), recordAction, nullptr, nullptr, nullptr), 0) << lastErrorText;

    std::map<std::wstring, int> kinds;
    for (const Call& c : calls) EXPECT_TRUE(kinds.emplace(c.first, c.second).second) << c.first;
    const std::map<std::wstring, int> expectedKinds = {
        {p(L"t/"), -1},         {p(L"t/f1"), 0},           {p(L"t/s1/"), -1},
        {p(L"t/s1/f2"), 0},     {p(L"t/s1/s2/"), -1},      {p(L"t/s1/s2/f3"), 0},
        {p(L"t/s1/s2/f4"), 0},  {p(L"t/s1/empty/"), -1},   {p(L"t/s3/"), -1},
        {p(L"t/s3/f5"), 0},
    };
    EXPECT_EQ(kinds, expectedKinds);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), Call(p(L"t/"), -1));
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].second != -1) continue;
        const std::wstring& folder = calls[i].first;
        // Everything inside comes right before the folder, in one block.
        std::size_t inside = 0;
        for (const Call& c : calls) {
            if (c.first != folder && startsWith(c.first, folder)) ++inside;
        }
        ASSERT_GE(i, inside);
        for (std::size_t j = i - inside; j < i; ++j) EXPECT_TRUE(startsWith(calls[j].first, folder)) << calls[j].first;
    }
}

// Totals count files and their bytes, not folders; they are set for a
// counting walk without action too.
TEST_F(WalkTest, TotalsOfFilesAndBytes) {
    fs::create_directories(dir_ / "t" / "s" / "e");
    writeFile(dir_ / "t" / "a", 10);
    writeFile(dir_ / "t" / "s" / "b", 2000);
    writeFile(dir_ / "t" / "s" / "c", 0);
    writeFile(dir_ / "t" / "z", 5);
    struct Case {
        const wchar_t* path;
        WalkAction action;
        uint64_t files;
        uint64_t bytes;
        std::size_t callCount;
    };
    const Case cases[] = {
        {L"t", nullptr, 4, 2015, 0},
        {L"t", recordAction, 4, 2015, 7},
        {L"t/s/b", nullptr, 1, 2000, 0},
        {L"t/s/b", recordAction, 1, 2000, 1},
        {L"t/s/e", recordAction, 0, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path, c.path + std::wcslen(c.path)));
        calls.clear();
        uint64_t files = 99, bytes = 99;
        ASSERT_EQ(walkTree(p(c.path).c_str(), c.action, nullptr, &files, &bytes), 0) << lastErrorText;
        EXPECT_EQ(files, c.files);
        EXPECT_EQ(bytes, c.bytes);
        EXPECT_EQ(calls.size(), c.callCount);
    }
    // The dropped file: one call with kind 0 and no folder call.
    calls.clear();
    ASSERT_EQ(walkTree(p(L"t/s/b").c_str(), recordAction, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], Call(p(L"t/s/b"), 0));
    // The empty folder: only its own call.
    calls.clear();
    ASSERT_EQ(walkTree(p(L"t/s/e").c_str(), recordAction, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], Call(p(L"t/s/e/"), -1));
}

// The first failing action stops the walk: the entries before it are done,
// the rest untouched, the totals not written, the folder calls not made.
TEST_F(WalkTest, FailingActionStopsTheWalk) {
    fs::create_directories(dir_ / "t" / "s");
    std::vector<fs::path> files;
    for (const char* name : {"t/1", "t/2", "t/stop", "t/3", "t/4", "t/s/5", "t/s/6"}) {
        writeFile(dir_ / name, 4);
        files.push_back((dir_ / name).make_preferred());
    }
    failAt = std::wstring(1, plat::kSep) + L"stop";
    uint64_t count = 77, bytes = 88;
    EXPECT_EQ(walkTree(p(L"t").c_str(), deleteUntilAction, nullptr, &count, &bytes), 1);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(bytes, 88u);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), Call(p(L"t/stop"), 0));
    for (const Call& c : calls) EXPECT_NE(c, Call(p(L"t/"), -1));
    for (const fs::path& f : files) {
        bool done = deleted.count(f.wstring()) != 0;
        EXPECT_NE(fs::exists(f), done) << f;
    }
    EXPECT_TRUE(fs::exists(dir_ / "t" / "stop"));
}

// A walk that cannot find its path says so in the user's words and leaves
// the caller's totals alone.
TEST_F(WalkTest, MissingPathFailsAndLeavesTotals) {
    uint64_t count = 5, bytes = 6;
    std::wstring path = p(L"absent");
    EXPECT_EQ(walkTree(path.c_str(), recordAction, nullptr, &count, &bytes), 1);
    EXPECT_TRUE(startsWith(lastErrorText, L"cannot find '" + path + L"': ")) << lastErrorText;
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(bytes, 6u);
    EXPECT_TRUE(calls.empty());
}

// The removal messages, word for word (two blanks, the "s" after the path).
TEST_F(WalkTest, RemoveActionMessages) {
    fs::create_directories(dir_ / "full");
    writeFile(dir_ / "full" / "x", 1);
    std::wstring folder = p(L"full/");
    EXPECT_EQ(removeAction(nullptr, folder.c_str(), -1), 1);
    EXPECT_TRUE(startsWith(lastErrorText, L"Cannot remove directory  " + folder + L"s: ")) << lastErrorText;
    // The system's reason follows, not "success".
    std::wstring reason = std::wstring(lastErrorText).substr(std::min(std::wcslen(lastErrorText), folder.size() + 28));
    EXPECT_FALSE(reason.empty());
    EXPECT_NE(reason, L"success");

    std::wstring file = p(L"absent");
    EXPECT_EQ(removeAction(nullptr, file.c_str(), 0), 1);
    EXPECT_TRUE(startsWith(lastErrorText, L"Cannot remove file  " + file + L"s: ")) << lastErrorText;
    EXPECT_NE(std::wstring(lastErrorText).substr(std::min(std::wcslen(lastErrorText), file.size() + 23)), L"success");

    // A removal walk empties and removes the folder.
    fs::create_directories(dir_ / "full" / "deep");
    writeFile(dir_ / "full" / "deep" / "y", 1);
    EXPECT_EQ(walkTree(p(L"full").c_str(), removeAction, nullptr, nullptr, nullptr), 0) << lastErrorText;
    EXPECT_FALSE(fs::exists(dir_ / "full"));
}

// Links are neither followed nor acted on: a removal walk over a folder
// holding links to the outside leaves the outside whole and the links in
// place, and so fails to remove the folder. A dropped link is refused.
TEST_F(WalkTest, LinksAreSkippedAndLogged) {
    fs::create_directories(dir_ / "outside" / "inner");
    writeFile(dir_ / "outside" / "precious", 7);
    writeFile(dir_ / "outside" / "inner" / "deep", 7);
    fs::create_directories(dir_ / "t");
    writeFile(dir_ / "t" / "own", 1);
    std::error_code ec;
    fs::create_directory_symlink(dir_ / "outside", dir_ / "t" / "dirlink", ec);
    if (!ec) fs::create_symlink(dir_ / "outside" / "precious", dir_ / "t" / "filelink", ec);
    if (ec) GTEST_SKIP() << "cannot create links here: " << ec.message();

    fs::create_directories(dir_ / "LOG");
    ASSERT_EQ(plat::setCurrentDir(dir_.wstring()), 0);
    closeLogForTest();

    EXPECT_EQ(walkTree(p(L"t").c_str(), removeAction, nullptr, nullptr, nullptr), 1);
    EXPECT_TRUE(startsWith(lastErrorText, L"Cannot remove directory  " + p(L"t/") + L"s: ")) << lastErrorText;
    EXPECT_FALSE(fs::exists(dir_ / "t" / "own"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "t" / "dirlink"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "t" / "filelink"));
    EXPECT_EQ(readText(dir_ / "outside" / "precious"), "abcdefg");
    EXPECT_EQ(readText(dir_ / "outside" / "inner" / "deep"), "abcdefg");

    closeLogForTest();
    std::string log = readText(dir_ / "LOG" / "log.txt");
    EXPECT_NE(log.find("dirlink' because it is a link"), std::string::npos) << log;
    EXPECT_NE(log.find("filelink' because it is a link"), std::string::npos) << log;

    // Counting never sees what lies behind a link either.
    uint64_t count = 0, bytes = 0;
    ASSERT_EQ(walkTree(p(L"t").c_str(), nullptr, nullptr, &count, &bytes), 0);
    EXPECT_EQ(count, 0u);

    for (const wchar_t* dropped : {L"t/dirlink", L"t/dirlink/", L"t/filelink"}) {
        calls.clear();
        EXPECT_EQ(walkTree(p(dropped).c_str(), recordAction, nullptr, &count, &bytes), 1);
        EXPECT_NE(std::wstring(lastErrorText).find(L"link"), std::wstring::npos) << lastErrorText;
        EXPECT_TRUE(calls.empty());
    }
}

#ifndef _WIN32
// A named pipe has no content to protect, and opening it would wait for a
// writer: inside a folder it is skipped, dropped on its own it is refused.
TEST_F(WalkTest, PipesAreSkippedAndRefused) {
    fs::create_directories(dir_ / "t");
    writeFile(dir_ / "t" / "own", 1);
    ASSERT_EQ(::mkfifo((dir_ / "t" / "pipe").c_str(), 0600), 0);
    fs::create_directories(dir_ / "LOG");
    ASSERT_EQ(plat::setCurrentDir(dir_.wstring()), 0);
    closeLogForTest();

    calls.clear();
    EXPECT_EQ(walkTree(p(L"t").c_str(), recordAction, nullptr, nullptr, nullptr), 0);
    for (const auto& call : calls) EXPECT_EQ(call.first.find(L"pipe"), std::wstring::npos);
    closeLogForTest();
    EXPECT_NE(readText(dir_ / "LOG" / "log.txt").find("pipe' because it is not a file or folder"),
              std::string::npos);

    calls.clear();
    EXPECT_EQ(walkTree(p(L"t/pipe").c_str(), recordAction, nullptr, nullptr, nullptr), 1);
    EXPECT_TRUE(calls.empty());
    EXPECT_NE(std::wstring(lastErrorText).find(L"is not a file or folder"), std::wstring::npos)
        << lastErrorText;
}
#endif

// A folder's listing is read before its entries are acted on: files that
// the actions write into it are not visited, and entries that vanish in the
// meantime (removed by another instance, or temporary files) are passed
// over without an error.
int firstCallRearranges(WalkContext*, const wchar_t* path, int kind) {
    calls.emplace_back(path, kind);
    if (kind == 0 && calls.size() == 1) {
        const fs::path folder = fs::path(path).parent_path();
        for (const auto& e : fs::directory_iterator(folder)) {
            if (e.path() != fs::path(path)) fs::remove(e.path());
        }
        for (int i = 0; i < 5; ++i) writeFile(folder / ("written-" + std::to_string(i)), 1);
    }
    return 0;
}

TEST_F(WalkTest, ListingIsReadBeforeActingAndVanishedEntriesAreNoErrors) {
    fs::create_directories(dir_ / "t");
    for (const char* name : {"a", "b", "c", "d", "e"}) writeFile(dir_ / "t" / name, 1);
    uint64_t count = 0;
    ASSERT_EQ(walkTree(p(L"t").c_str(), firstCallRearranges, nullptr, &count, nullptr), 0) << lastErrorText;
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].second, 0);
    EXPECT_EQ(calls[1], Call(p(L"t/"), -1));
    EXPECT_EQ(count, 1u);
}

// Paths beyond 259 characters are refused, never cut.
TEST_F(WalkTest, OverlongPathsAreRefused) {
    std::wstring longPath = p(std::wstring(300, L'x'));
    EXPECT_EQ(walkTree(longPath.c_str(), recordAction, nullptr, nullptr, nullptr), 1);
    EXPECT_NE(std::wstring(lastErrorText).find(L"too long"), std::wstring::npos) << lastErrorText;
    EXPECT_TRUE(calls.empty());

    // An entry whose path passes the limit inside a folder that fits.
    std::wstring folderName(250 - std::min<std::size_t>(240, dir_.wstring().size()), L'f');
    std::error_code ec;
    fs::create_directories(dir_ / folderName, ec);
    if (!ec) writeFile(dir_ / folderName / std::wstring(20, L'n'), 1);
    if (ec || !fs::exists(dir_ / folderName / std::wstring(20, L'n'))) {
        GTEST_SKIP() << "cannot create a path of 270 characters here";
    }
    ASSERT_LT(p(folderName).size(), 259u);
    EXPECT_EQ(walkTree(p(folderName).c_str(), recordAction, nullptr, nullptr, nullptr), 1);
    EXPECT_NE(std::wstring(lastErrorText).find(L"too long"), std::wstring::npos) << lastErrorText;
    EXPECT_TRUE(calls.empty());
}

// ----------------------------------------------------------------- with the codec

class WalkCodecTest : public codectest::KeyDriveTest {
protected:
    void makeTree() {
        const fs::path work = root / "work";
        fs::create_directories(work / "sub");
        codectest::writeBytes(work / "a.txt", codectest::randomBytes(100, 1));
        codectest::writeBytes(work / "blank name.txt", {});
        codectest::writeBytes(work / "sub" / "b.bin", codectest::randomBytes(5000, 2));
        original_ = snapshot();
    }
    // Relative name -> content of every file under work.
    std::map<std::wstring, codectest::Bytes> snapshot() const {
        std::map<std::wstring, codectest::Bytes> files;
        for (const auto& e : fs::recursive_directory_iterator(root / "work")) {
            if (e.is_regular_file()) {
                files[fs::relative(e.path(), root / "work").generic_wstring()] = codectest::readBytes(e.path());
            }
        }
        return files;
    }
    bool isEncrypted(const fs::path& file) {
        int32_t encrypted = 0, archive = 0;
        return probeFile(file.wstring().c_str(), &encrypted, &archive) == 0 && encrypted != 0;
    }
    std::wstring work() const { return (root / "work").wstring(); }

    std::map<std::wstring, codectest::Bytes> original_;
};

// With keepFileName every file keeps its name and holds its encrypted form;
// decrypting then finds its own name stored, writes the plaintext over the
// encrypted file and erases nothing.
TEST_F(WalkCodecTest, KeepFileNameRoundTrip) {
    makeTree();
    WalkContext keep = {-1};
    ASSERT_EQ(walkTree(work().c_str(), encryptAction, &keep, nullptr, nullptr), 0) << lastError();

    std::map<std::wstring, codectest::Bytes> encrypted = snapshot();
    ASSERT_EQ(encrypted.size(), original_.size());
    for (const auto& [name, content] : encrypted) {
        ASSERT_TRUE(original_.count(name)) << name;
        EXPECT_NE(content, original_[name]);
        EXPECT_TRUE(isEncrypted(root / "work" / name));
    }
    const uint32_t usedByEncryption = highWaterMark();
    EXPECT_GT(usedByEncryption, 1u);

    WalkContext plain = {0};
    ASSERT_EQ(walkTree(work().c_str(), decryptAction, &plain, nullptr, nullptr), 0) << lastError();
    EXPECT_EQ(snapshot(), original_);

    // A second decrypt leaves the plaintexts alone.
    ASSERT_EQ(walkTree(work().c_str(), decryptAction, &plain, nullptr, nullptr), 0) << lastError();
    EXPECT_EQ(snapshot(), original_);
    EXPECT_EQ(highWaterMark(), usedByEncryption);
}

// Without keepFileName the encrypted files carry " (encrypted)" and the
// plaintexts are gone; decrypting brings back the plaintexts and erases the
// encrypted files.
TEST_F(WalkCodecTest, EncryptedNamesRoundTrip) {
    makeTree();
    WalkContext plain = {0};
    ASSERT_EQ(walkTree(work().c_str(), encryptAction, &plain, nullptr, nullptr), 0) << lastError();
    std::map<std::wstring, codectest::Bytes> encrypted = snapshot();
    ASSERT_EQ(encrypted.size(), original_.size());
    for (const auto& entry : original_) {
        ASSERT_TRUE(encrypted.count(entry.first + L" (encrypted)")) << entry.first;
    }
    // Encrypting again skips what is encrypted.
    const uint32_t mark = highWaterMark();
    ASSERT_EQ(walkTree(work().c_str(), encryptAction, &plain, nullptr, nullptr), 0) << lastError();
    EXPECT_EQ(snapshot(), encrypted);
    EXPECT_EQ(highWaterMark(), mark);

    ASSERT_EQ(walkTree(work().c_str(), decryptAction, &plain, nullptr, nullptr), 0) << lastError();
    EXPECT_EQ(snapshot(), original_);
}

// A run stopped after writing a file's counterpart but before erasing the
// file leaves both: when they hold the same plaintext, the next run only
// erases; when they differ, nothing is replaced or erased.
class WalkResumeTest : public WalkCodecTest {
protected:
    uint32_t blockCount() const override { return 2000; }   // a file of 800 KiB
};

TEST_F(WalkResumeTest, BothFilesOfAStoppedRunAreResumedOnlyWhenTheyAgree) {
    const fs::path plain = root / "work" / "both.txt";
    const fs::path encrypted = root / "work" / "both.txt (encrypted)";
    struct Case {
        const char* what;
        bool decrypting;
        bool plaintextChanged;
        std::size_t size = 7000;
    };
    // Files of several pieces of the comparison too, changed in their last.
    const std::size_t large = 3 * 256 * 1024 + 5000;
    const Case cases[] = {
        {"encrypt, same plaintext", false, false},
        {"encrypt, plaintext changed since", false, true},
        {"decrypt, same plaintext", true, false},
        {"decrypt, plaintext changed since", true, true},
        {"encrypt, same large plaintext", false, false, large},
        {"decrypt, large plaintext changed since", true, true, large},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(plain);
        fs::remove(encrypted);
        const codectest::Bytes data = codectest::randomBytes(c.size, 21);
        codectest::writeBytes(plain, data);
        const wchar_t* result = nullptr;
        const std::wstring folder = work() + plat::kSep;
        ASSERT_EQ(encryptFile(folder.c_str(), plain.wstring().c_str(), nullptr, &result), 0) << lastError();
        if (c.plaintextChanged) {
            codectest::Bytes other = data;
            other[c.size - 4000] ^= 1;
            codectest::writeBytes(plain, other);
        }
        const codectest::Bytes plainBefore = codectest::readBytes(plain);
        const codectest::Bytes encryptedBefore = codectest::readBytes(encrypted);
        const uint32_t mark = highWaterMark();

        const fs::path dropped = c.decrypting ? encrypted : plain;
        const int rc = (c.decrypting ? decryptAction : encryptAction)(nullptr, dropped.wstring().c_str(), 0);
        EXPECT_EQ(highWaterMark(), mark) << "no key spent";
        if (c.plaintextChanged) {
            EXPECT_EQ(rc, 1);
            EXPECT_NE(lastError().find(L"exists already"), std::wstring::npos) << lastError();
            EXPECT_EQ(codectest::readBytes(plain), plainBefore);
            EXPECT_EQ(codectest::readBytes(encrypted), encryptedBefore);
        } else {
            EXPECT_EQ(rc, 0) << lastError();
            EXPECT_EQ(fs::exists(plain), c.decrypting);
            EXPECT_EQ(fs::exists(encrypted), !c.decrypting);
            if (c.decrypting) {
                EXPECT_EQ(codectest::readBytes(plain), data);
            } else {
                EXPECT_EQ(codectest::readBytes(encrypted), encryptedBefore);
            }
        }
    }
}

// The key drive's own files are never encrypted, decrypted or erased,
// whatever spelling reaches them: a walk over the drive leaves them (and
// names them); dropped on their own they are refused.
TEST_F(WalkCodecTest, KeyDriveOwnFilesAreNeverTouched) {
    const std::wstring savedProgram = programPath;
    // Programs of either build in the program's folder: the copies named
    // after the commands.
    codectest::Bytes program = codectest::randomBytes(4000, 9);
    std::copy_n("\x7f" "ELF", 4, program.begin());
    codectest::Bytes windowsProgram = codectest::randomBytes(4000, 15);
    std::copy_n("MZ", 2, windowsProgram.begin());
    codectest::writeBytes(root / "Encrypt", program);
    codectest::writeBytes(root / "Decrypt", program);
    codectest::writeBytes(root / "Open.exe", windowsProgram);
    codectest::writeBytes(root / "lookalike", codectest::randomBytes(4000, 10));   // no program
    codectest::writeBytes(root / "Decrypt.desktop", codectest::randomBytes(300, 13));   // a copy's launcher
    codectest::writeBytes(root / "notes.desktop", codectest::randomBytes(300, 14));     // nobody's launcher
    fs::create_directories(root / "LOG");
    fs::create_directories(root / "TEMP");
    codectest::writeBytes(root / "TEMP" / "working copy.txt", codectest::randomBytes(50, 11));
    codectest::writeBytes(root / "work" / "notes.txt", codectest::randomBytes(300, 12));
    ASSERT_EQ(setProgramPaths((root / "Encrypt").wstring().c_str()), 0);
    const codectest::Bytes key = codectest::readBytes(root / "SETTINGS" / "KEY.DAT");
    const codectest::Bytes index = codectest::readBytes(root / "SETTINGS" / "INDEX.DAT");

    WalkContext plain = {0};
    const std::wstring drive = root.wstring();
    ASSERT_EQ(walkTree(drive.c_str(), encryptAction, &plain, nullptr, nullptr), 0) << lastError();
    EXPECT_TRUE(fs::exists(root / "work" / "notes.txt (encrypted)"));
    EXPECT_TRUE(fs::exists(root / "lookalike (encrypted)"));
    EXPECT_TRUE(fs::exists(root / "notes.desktop (encrypted)"));
    EXPECT_EQ(codectest::readBytes(root / "Decrypt.desktop"), codectest::randomBytes(300, 13));
    EXPECT_EQ(codectest::readBytes(root / "SETTINGS" / "KEY.DAT"), key);
    EXPECT_EQ(codectest::readBytes(root / "SETTINGS" / "INDEX.DAT"), index);
    EXPECT_EQ(codectest::readBytes(root / "Encrypt"), program);
    EXPECT_EQ(codectest::readBytes(root / "Decrypt"), program);
    EXPECT_EQ(codectest::readBytes(root / "Open.exe"), windowsProgram);
    EXPECT_TRUE(fs::exists(root / "TEMP" / "working copy.txt"));
    const std::wstring shown = walkSkippedText();
    for (const wchar_t* name :
         {L"SETTINGS'", L"LOG'", L"TEMP'", L"Encrypt'", L"Decrypt'", L"Open.exe'", L"Decrypt.desktop'"}) {
        EXPECT_NE(shown.find(plat::kSep + std::wstring(name) + L": it is one of the key drive's own files"),
                  std::wstring::npos)
            << name << " in " << std::string(shown.begin(), shown.end());
    }

    std::error_code ec;
    fs::create_hard_link(root / "SETTINGS" / "KEY.DAT", root / "work" / "innocent.bin", ec);
    std::vector<std::wstring> dropped = {
        (root / "SETTINGS").wstring(),
        (root / "SETTINGS" / "KEY.DAT").wstring(),
        (root / "work").wstring() + plat::kSep + L".." + plat::kSep + L"SETTINGS" + plat::kSep + L"INDEX.DAT",
        (root / "Decrypt").wstring(),
        (root / "TEMP" / "working copy.txt").wstring(),
        (root / "LOG").wstring(),
    };
    if (!ec) dropped.push_back((root / "work" / "innocent.bin").wstring());
    for (const std::wstring& path : dropped) {
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        for (WalkAction action : {encryptAction, decryptAction, removeAction}) {
            EXPECT_EQ(walkTree(path.c_str(), action, &plain, nullptr, nullptr), 1);
            EXPECT_EQ(lastError(), L"'" + path + L"' is one of the key drive's own files; they are never "
                                                 L"encrypted, decrypted or erased");
        }
    }
    EXPECT_EQ(codectest::readBytes(root / "SETTINGS" / "KEY.DAT"), key);
    EXPECT_EQ(codectest::readBytes(root / "SETTINGS" / "INDEX.DAT"), index);
    EXPECT_EQ(codectest::readBytes(root / "Decrypt"), program);
    EXPECT_TRUE(fs::exists(root / "TEMP" / "working copy.txt"));
    setProgramPaths(savedProgram.c_str());
}

// A plaintext that could not be erased afterwards is not encrypted: no key
// is spent and nothing is written.
TEST_F(WalkCodecTest, UnexpungeablePlaintextIsRefusedBeforeEncryption) {
    std::size_t limit = plat::maxPathLength();
    if (limit > 1024) limit = 1024;
    const std::size_t target = limit - 31;
    fs::path folder = root / "work";
    std::size_t length = folder.wstring().size();
    while (length < target) {
        std::size_t part = std::max<std::size_t>(1, std::min<std::size_t>(200, target - length - 1));
        folder /= std::wstring(part, L'q');
        length += part + 1;
    }
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) GTEST_SKIP() << "cannot create a folder path of " << length << " characters";
    codectest::writeBytes(folder / "f", codectest::randomBytes(10, 3));
    if (!fs::exists(folder / "f")) GTEST_SKIP() << "cannot create the file";
    std::wstring path = folder.wstring() + plat::kSep + L"f";

    EXPECT_EQ(encryptAction(nullptr, path.c_str(), 0), 1);
    EXPECT_NE(lastError().find(L"cannot expunge file '" + path + L"'"), std::wstring::npos) << lastError();
    EXPECT_EQ(highWaterMark(), 1u);
    EXPECT_EQ(listing(folder), std::vector<std::wstring>{L"f"});
    EXPECT_EQ(codectest::readBytes(folder / "f"), codectest::randomBytes(10, 3));
}

}  // namespace
