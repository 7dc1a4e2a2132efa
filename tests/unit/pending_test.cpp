// The journal of work in progress: records survive as written, and the next
// run finishes (or leaves alone) what a stopped run left behind.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/pending.h"
#include "diag/error.h"
#include "diag/log.h"
#include "platform/platform.h"
#include "tests/support/tempfolder.h"

namespace fs = std::filesystem;

namespace {

class PendingTest : public ::testing::Test {
protected:
    // Warnings of the recovery go to standard error, never to a desktop
    // dialog that would wait for a click.
    void hideDisplays() {
        for (const wchar_t* name : {L"DISPLAY", L"WAYLAND_DISPLAY"}) {
            std::wstring value;
            if (plat::getEnv(name, &value)) saved_.push_back(std::wstring(name) + L"=" + value);
            plat::unsetEnv(name);
        }
    }
    void SetUp() override {
        hideDisplays();
        drive_ = testsupport::makeTempFolder("velkin-pending");
        fs::create_directories(drive_ / "SETTINGS");
        fs::create_directories(drive_ / "LOG");
        fs::create_directories(drive_ / "work");
        savedCwd_ = plat::currentDir();
        ASSERT_EQ(plat::setCurrentDir(drive_.wstring()), 0);
        resetPendingForTest();
        closeLogForTest();
    }
    void TearDown() override {
        for (const std::wstring& assignment : saved_) plat::putEnv(assignment);
        resetPendingForTest();
        closeLogForTest();
        plat::setCurrentDir(savedCwd_);
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(drive_, ec))
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(drive_, ec);
    }

    std::wstring work(const std::wstring& name) const {
        return (drive_ / "work").wstring() + plat::kSep + name;
    }
    static void write(const std::wstring& path, const std::string& content) {
        std::ofstream out{fs::path(path), std::ios::binary};
        out << content;
    }
    static std::string read(const std::wstring& path) {
        std::ifstream in{fs::path(path), std::ios::binary};
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<std::wstring> journal() const {
        std::vector<std::wstring> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(drive_ / "SETTINGS" / "PENDING", ec))
            names.push_back(e.path().filename().wstring());
        return names;
    }
    std::string log() {
        closeLogForTest();
        return read((drive_ / "LOG" / "log.txt").wstring());
    }
    // Leaves a record as a run stopped in the middle would: its files stay,
    // its lock is gone.
    void leaveRecordOfAStoppedRun(const PendingRecord& record) {
        uint32_t ticket = 0;
        ASSERT_EQ(beginPending(record, &ticket), 0) << lastErrorText;
        resetPendingForTest();
    }
    // Puts another file under path: written beside it and renamed over it,
    // or (anew) written after path was removed, so that the system may give
    // it the removed file's number again.
    enum class Replace { No, Over, Anew };
    static void replace(const std::wstring& path, Replace how) {
        if (how == Replace::Over) {
            write(path + L".other", "another file");
            fs::rename(fs::path(path + L".other"), fs::path(path));
        } else if (how == Replace::Anew) {
            fs::remove(fs::path(path));
            write(path, "another file");
        }
    }
    static PendingRecord eraseRecord(const std::wstring& original, const std::vector<std::wstring>& names,
                                     const plat::FileId& id) {
        PendingRecord record;
        record.kind = PendingKind::Erase;
        record.id = id;
        record.paths.push_back(original);
        for (const std::wstring& n : names) record.paths.push_back(n);
        return record;
    }

    fs::path drive_;
    std::wstring savedCwd_;
    std::vector<std::wstring> saved_;
};

TEST_F(PendingTest, RecordsReadBackAsWrittenAndGoWhenEnded) {
    PendingRecord record;
    record.kind = PendingKind::PlainOutput;
    record.id = {0x1122334455667788ull, 42, 77, 1u << 31, -5};
    std::wstring odd = work(L"caf\u00e9 \u65e5\u672c.txt");
    if (sizeof(wchar_t) == 4) odd += static_cast<wchar_t>(0x1F600);
    odd += static_cast<wchar_t>(0xDC80);   // a lone surrogate: names may hold one
    record.paths = {odd + L".tmp", odd, L""};
    uint32_t ticket = 0;
    ASSERT_EQ(beginPending(record, &ticket), 0) << lastErrorText;
    PendingRecord back;
    ASSERT_TRUE(readPendingRecord(pendingRecordPathForTest(ticket), &back));
    EXPECT_EQ(back.kind, record.kind);
    EXPECT_EQ(back.id.volume, record.id.volume);
    EXPECT_EQ(back.id.index, record.id.index);
    EXPECT_EQ(back.id.created, record.id.created);
    EXPECT_EQ(back.id.size, record.id.size);
    EXPECT_EQ(back.id.modified, record.id.modified);
    EXPECT_EQ(back.paths, record.paths);

    record.kind = PendingKind::Erase;
    record.paths.pop_back();
    ASSERT_EQ(updatePending(ticket, record), 0) << lastErrorText;
    ASSERT_TRUE(readPendingRecord(pendingRecordPathForTest(ticket), &back));
    EXPECT_EQ(back.kind, PendingKind::Erase);
    EXPECT_EQ(back.paths.size(), 2u);

    endPending(ticket);
    EXPECT_FALSE(fs::exists(fs::path(pendingRecordPathForTest(ticket))));
    closePending();
    EXPECT_TRUE(journal().empty()) << "the lock file goes with the last record";
}

// A stopped erase is finished wherever the file stands: under one of its
// random names (the last one it reached), or under its own name when the
// run stopped before the first rename. A file that is no longer the one
// recorded is left alone.
TEST_F(PendingTest, StoppedErasesAreFinished) {
    struct Case {
        const char* what;
        int standsAs;        // 0: its own name, 1 to 3: random name k
        Replace replaced;    // another file now stands there
        bool changed;        // the file changed since the record was made
        bool erased;
    };
    const Case cases[] = {
        {"under the first random name", 1, Replace::No, false, true},
        {"under the last random name", 3, Replace::No, false, true},
        {"under its own name", 0, Replace::No, false, true},
        {"under its own name, changed since", 0, Replace::No, true, false},
        {"another file under the random name", 2, Replace::Over, false, false},
#ifndef _WIN32
        // Told apart by its creation time, which Windows emulations lack.
        {"a new file under the random name", 2, Replace::Anew, false, false},
#endif
        {"gone already", -1, Replace::No, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring original = work(L"secret.txt");
        const std::vector<std::wstring> names = {work(std::wstring(40, L'a')), work(std::wstring(40, L'b')),
                                                 work(std::wstring(40, L'c'))};
        write(original, std::string(3000, 'S'));
        plat::FileId id;
        ASSERT_TRUE(plat::fileIdentity(original, &id));
        std::wstring now = original;
        if (c.standsAs > 0) {
            now = names[c.standsAs - 1];
            fs::rename(fs::path(original), fs::path(now));
        }
        leaveRecordOfAStoppedRun(eraseRecord(original, names, id));
        replace(now, c.replaced);
        if (c.changed) write(now, std::string(3001, 'S'));
        if (c.standsAs < 0) fs::remove(fs::path(now));

        recoverPending();
        closePending();   // as the run ends
        EXPECT_EQ(fs::exists(fs::path(now)), !c.erased);
        EXPECT_TRUE(journal().empty()) << "the record is done with";
        if (c.erased && c.standsAs >= 0) {
            EXPECT_NE(log().find("finished erasing '" + fs::path(original).string() + "'"), std::string::npos);
        }
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(drive_ / "work", ec)) fs::remove(e.path(), ec);
    }
}

// A stopped decryption's partial plaintext is erased, a stopped encryption's
// partial output removed; a file that replaced them is left alone. A record
// made before its output existed names no identity: then only an empty
// file (the output just created) is removed.
TEST_F(PendingTest, StoppedOutputsAreCleared) {
    struct Case {
        PendingKind kind;
        Replace replaced;
        bool identified;
        std::size_t size;
        const char* logged;   // nullptr: the file stays
    };
    const Case cases[] = {
        {PendingKind::PlainOutput, Replace::No, true, 5000, "the partial plaintext of an interrupted decryption"},
        {PendingKind::EncryptedOutput, Replace::No, true, 5000, "the partial output of an interrupted encryption"},
        {PendingKind::PlainOutput, Replace::Over, true, 5000, nullptr},
#ifndef _WIN32
        {PendingKind::PlainOutput, Replace::Anew, true, 5000, nullptr},
#endif
        {PendingKind::PlainOutput, Replace::No, false, 0, "the partial plaintext of an interrupted decryption"},
        {PendingKind::EncryptedOutput, Replace::No, false, 0, "the partial output of an interrupted encryption"},
        {PendingKind::PlainOutput, Replace::No, false, 5000, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.kind) << " identified " << c.identified
                                        << " size " << c.size);
        const std::wstring temp = work(L"report.txt.tmp");
        write(temp, std::string(c.size, 'P'));
        PendingRecord record;
        record.kind = c.kind;
        if (c.identified) {
            ASSERT_TRUE(plat::fileIdentity(temp, &record.id));
        }
        record.paths = {temp, work(L"report.txt")};
        leaveRecordOfAStoppedRun(record);
        replace(temp, c.replaced);
        closeLogForTest();
        fs::remove(drive_ / "LOG" / "log.txt");
        recoverPending();
        EXPECT_EQ(fs::exists(fs::path(temp)), c.logged == nullptr);
        if (c.logged) {
            EXPECT_NE(log().find(c.logged), std::string::npos);
        }
        EXPECT_TRUE(journal().empty());
        fs::remove(fs::path(temp));
    }
}

// The records of a run that still holds its lock are not touched; once it
// has ended, the next run finishes them. Records of the other build are
// never touched.
TEST_F(PendingTest, RecordsOfRunningInstancesAndOfTheOtherBuildStay) {
    const std::wstring original = work(L"held.txt");
    const std::wstring random = work(std::wstring(50, L'd'));
    write(original, "held");
    plat::FileId id;
    ASSERT_TRUE(plat::fileIdentity(original, &id));
    fs::rename(fs::path(original), fs::path(random));
    leaveRecordOfAStoppedRun(eraseRecord(original, {random, random + L"e", random + L"f"}, id));
    std::vector<std::wstring> files = journal();
    ASSERT_EQ(files.size(), 2u);
    const fs::path lock = drive_ / "SETTINGS" / "PENDING" / (files[0].find(L".lock") != std::wstring::npos ? files[0] : files[1]);

    // Another instance holds the lock.
    FILE* held = plat::openFile(lock.wstring(), L"rb+");
    ASSERT_NE(held, nullptr);
    ASSERT_EQ(plat::lockRange(held, 0, 1, true, false), 0);
    recoverPending();
    EXPECT_TRUE(fs::exists(fs::path(random)));
    EXPECT_EQ(journal().size(), 2u);
    std::fclose(held);

    // The same files under the other build's letter.
    const wchar_t other = lock.filename().wstring()[0] == L'p' ? L'w' : L'p';
    for (const std::wstring& name : journal()) {
        std::wstring renamed = name;
        renamed[0] = other;
        fs::rename(drive_ / "SETTINGS" / "PENDING" / name, drive_ / "SETTINGS" / "PENDING" / renamed);
    }
    recoverPending();
    EXPECT_TRUE(fs::exists(fs::path(random)));
    EXPECT_EQ(journal().size(), 2u);
}

#ifndef _WIN32
// A journal that cannot be written (a key drive switched to read-only after
// a run was stopped): the work cannot be taken over, but the warning says
// where the file is, and nothing is touched.
TEST_F(PendingTest, ReadOnlyJournalTellsWhereTheFileIs) {
    const std::wstring original = work(L"diary.txt");
    const std::wstring random = work(std::wstring(50, L'f'));
    write(original, std::string(2048, 'D'));
    plat::FileId id;
    ASSERT_TRUE(plat::fileIdentity(original, &id));
    fs::rename(fs::path(original), fs::path(random));
    leaveRecordOfAStoppedRun(eraseRecord(original, {work(L"r1"), work(L"r2"), random}, id));
    const fs::path pending = drive_ / "SETTINGS" / "PENDING";
    for (const auto& e : fs::directory_iterator(pending))
        fs::permissions(e.path(), fs::perms::owner_read, fs::perm_options::replace);
    fs::permissions(pending, fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
    if (FILE* f = plat::openFile((pending / journal()[0]).wstring(), L"rb+")) {
        std::fclose(f);
        GTEST_SKIP() << "permissions do not stop this user";
    }
    testing::internal::CaptureStderr();
    recoverPending();
    const std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_NE(shown.find("Erasing '" + fs::path(original).string() + "' was interrupted. The file is left as '" +
                        fs::path(random).string() + "' and cannot be erased while 'SETTINGS/PENDING' cannot be written"),
              std::string::npos)
        << shown;
    EXPECT_EQ(read(random), std::string(2048, 'D'));
    fs::permissions(pending, fs::perms::owner_all, fs::perm_options::replace);
    EXPECT_EQ(journal().size(), 2u);
}

// A file that cannot be erased now is named in a warning, and the record
// stays for the next run.
TEST_F(PendingTest, ReadOnlyFolderKeepsTheRecordForTheNextRun) {
    const std::wstring original = work(L"stuck.txt");
    const std::wstring random = work(std::wstring(50, L'e'));
    write(original, std::string(2048, 'X'));
    plat::FileId id;
    ASSERT_TRUE(plat::fileIdentity(original, &id));
    fs::rename(fs::path(original), fs::path(random));
    leaveRecordOfAStoppedRun(eraseRecord(original, {work(L"r1"), work(L"r2"), random}, id));
    fs::permissions(fs::path(random), fs::perms::owner_read, fs::perm_options::replace);
    fs::permissions(drive_ / "work", fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
    if (FILE* f = plat::openFile(random, L"rb+")) {
        std::fclose(f);
        GTEST_SKIP() << "permissions do not stop this user";
    }
    testing::internal::CaptureStderr();
    recoverPending();
    const std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_NE(shown.find("[warning]"), std::string::npos) << shown;
    EXPECT_NE(shown.find("is left as '" + fs::path(random).string() + "'"), std::string::npos) << shown;
    EXPECT_TRUE(fs::exists(fs::path(random)));
    EXPECT_EQ(journal().size(), 2u) << "record and lock stay";

    fs::permissions(drive_ / "work", fs::perms::owner_all, fs::perm_options::replace);
    fs::permissions(fs::path(random), fs::perms::owner_all, fs::perm_options::replace);
    recoverPending();
    EXPECT_FALSE(fs::exists(fs::path(random)));
    EXPECT_TRUE(journal().empty());
}
#endif

}  // namespace
