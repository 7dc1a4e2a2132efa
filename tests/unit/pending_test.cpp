// The journal of work in progress: records survive as written, and the next
// run finishes what a stopped run left behind only where the record is
// consistent and the file that holds the same data in the other form (the
// counterpart) is confirmed; otherwise it keeps the file, back under its
// own name where it can, and says where it is.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "codec/bufferedwrite.h"
#include "codec/encrypt.h"
#include "codec/expunge.h"
#include "codec/format.h"
#include "codec/pending.h"
#include "codec_keydrive.h"
#include "diag/error.h"
#include "diag/log.h"
#include "platform/platform.h"

namespace {

using namespace codectest;

class PendingTest : public KeyDriveTest {
protected:
    void SetUp() override {
        KeyDriveTest::SetUp();
        fs::create_directories(root / "LOG");
        resetPendingForTest();
        closeLogForTest();
        warnings_.clear();
        setPendingWarningsForTest(&warnings_);
    }
    void TearDown() override {
        setPendingWarningsForTest(nullptr);
        resetPendingForTest();
        closeLogForTest();
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(root, ec))
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        KeyDriveTest::TearDown();
    }

    std::string log() {
        closeLogForTest();
        const Bytes bytes = readBytes(root / "LOG" / "log.txt");
        return std::string(bytes.begin(), bytes.end());
    }
    static std::string narrow(const std::wstring& text) { return fs::path(text).string(); }
    // Leaves a record as a run stopped in the middle would: its files stay,
    // its lock is gone.
    void leaveRecordOfAStoppedRun(const PendingRecord& record) {
        uint32_t ticket = 0;
        ASSERT_EQ(beginPending(record, &ticket), 0) << lastErrorText;
        resetPendingForTest();
    }
    // The next run: its recovery, and its end.
    void nextRun() {
        recoverPending();
        closePending();
    }
    // Random names such as an erase of original gives: lowercase
    // hexadecimal digits of the length the program uses, in its folder.
    static std::vector<std::wstring> randomNames(const std::wstring& original) {
        const std::wstring folder = fs::path(original).parent_path().wstring() + plat::kSep;
        std::vector<std::wstring> names;
        for (int n = 0; n < 3; ++n) {
            for (std::size_t digits = 2; digits < 200; digits += 2) {
                const Bytes bytes = randomBytes(digits / 2, 100 + static_cast<uint32_t>(n));
                std::wstring name = folder;
                for (uint8_t b : bytes) {
                    static const wchar_t hex[] = L"0123456789abcdef";
                    name += hex[b >> 4];
                    name += hex[b & 15];
                }
                if (isRandomNameFor(name, original)) {
                    names.push_back(name);
                    break;
                }
            }
        }
        return names;
    }
    // The encrypted copy of a plaintext beside it.
    std::wstring encryptCopy(const std::wstring& plain) {
        const wchar_t* result = nullptr;
        const std::wstring folder = fs::path(plain).parent_path().wstring() + plat::kSep;
        EXPECT_EQ(encryptFile(folder.c_str(), plain.c_str(), nullptr, &result), 0) << lastErrorText;
        return result ? std::wstring(result) : std::wstring();
    }
    // A plaintext of `size` random bytes in the folder work/sub (made when
    // missing), with its encrypted copy beside it; the plaintext's path.
    std::wstring plaintextWithCopyIn(const char* sub, const wchar_t* name, std::size_t size, uint32_t seed,
                                     std::wstring* encrypted) {
        fs::create_directories(root / "work" / sub);
        const std::wstring plain = (root / "work" / sub).wstring() + plat::kSep + name;
        writeBytes(plain, randomBytes(size, seed));
        *encrypted = encryptCopy(plain);
        return plain;
    }
    // A run stopped while it was erasing a plaintext of work/sub: the
    // encrypted copy written, the file under random name k (0: its own
    // name), the record left.
    struct StoppedErase {
        std::wstring plain, encrypted, now;
        std::vector<std::wstring> names;
    };
    StoppedErase leaveStoppedErase(const char* sub, const wchar_t* name, std::size_t size, uint32_t seed, int k) {
        StoppedErase erase;
        erase.plain = plaintextWithCopyIn(sub, name, size, seed, &erase.encrypted);
        erase.names = randomNames(erase.plain);
        const PendingRecord record = eraseRecord(PendingKind::ErasePlaintext, erase.plain, erase.names, erase.encrypted);
        erase.now = k == 0 ? erase.plain : erase.names[k - 1];
        if (k != 0) fs::rename(fs::path(erase.plain), fs::path(erase.now));
        leaveRecordOfAStoppedRun(record);
        return erase;
    }
    static PendingRecord eraseRecord(PendingKind kind, const std::wstring& original,
                                     const std::vector<std::wstring>& names, const std::wstring& counterpart) {
        PendingRecord record;
        record.kind = kind;
        EXPECT_TRUE(plat::nameIdentity(original, &record.id));
        record.paths.push_back(original);
        for (const std::wstring& n : names) record.paths.push_back(n);
        record.counterpart = counterpart;
        if (!counterpart.empty()) {
            EXPECT_TRUE(plat::nameIdentity(counterpart, &record.counterpartId));
        }
        return record;
    }
    // The file's content replaced by what the first overwrite pass of an
    // erase whose last random name is lastName writes: the bytes the name
    // spells, in a block repeated over the length rounded up.
    static void overwriteAsAPass(const std::wstring& path, const std::wstring& lastName) {
        const std::wstring digits = fs::path(lastName).filename().wstring();
        Bytes block = randomBytes(1024, 77);
        for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
            block[i / 2] = static_cast<uint8_t>(std::stoi(narrow(digits.substr(i, 2)), nullptr, 16));
        const std::size_t size = readBytes(path).size();
        Bytes content;
        for (std::size_t at = 0; at < (size + 1023) / 1024; ++at) content.insert(content.end(), block.begin(), block.end());
        FILE* f = plat::openNoFollow(path, true, nullptr);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(content.data(), content.size(), 1, f), 1u);
        std::fclose(f);
    }
    std::string warningsText() const {
        std::string all;
        for (const std::wstring& w : warnings_) all += narrow(w) + "\n";
        return all;
    }

    std::vector<std::wstring> warnings_;
};

TEST_F(PendingTest, RecordsReadBackAsWrittenAndGoWhenEnded) {
    PendingRecord record;
    record.kind = PendingKind::PlainOutput;
    record.id = {0x1122334455667788ull, 42, 77, 1u << 31, -5};
    std::wstring odd = workPath(L"caf\u00e9 \u65e5\u672c.txt");
    if (sizeof(wchar_t) == 4) odd += static_cast<wchar_t>(0x1F600);
    odd += static_cast<wchar_t>(0xDC80);   // a lone surrogate: names may hold one
    record.paths = {odd + L".tmp", odd, L""};
    record.counterpart = odd + L" (encrypted)";
    record.counterpartId = {9, 8, 7, 6, 5};
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
    EXPECT_EQ(back.counterpart, record.counterpart);
    EXPECT_EQ(back.counterpartId.index, 8u);
    EXPECT_EQ(back.counterpartId.modified, 5);

    record.kind = PendingKind::ErasePlaintext;
    record.paths.pop_back();
    ASSERT_EQ(updatePending(ticket, record), 0) << lastErrorText;
    ASSERT_TRUE(readPendingRecord(pendingRecordPathForTest(ticket), &back));
    EXPECT_EQ(back.kind, PendingKind::ErasePlaintext);
    EXPECT_EQ(back.paths.size(), 2u);

    endPending(ticket);
    EXPECT_FALSE(fs::exists(fs::path(pendingRecordPathForTest(ticket))));
    closePending();
    EXPECT_TRUE(journal().empty()) << "the lock file goes with the last record";
}

// A batch's records stand in one record file, written once; a record of
// the batch that ends leaves the file as it is until the last ends.
TEST_F(PendingTest, BatchRecordsShareOneFileUntilTheLastEnds) {
    std::vector<PendingRecord> records(3);
    for (std::size_t i = 0; i < records.size(); ++i) {
        records[i].kind = PendingKind::EncryptedOutput;
        const std::wstring target = workPath(L"f" + std::to_wstring(i) + L".txt");
        records[i].paths = {target + L".0000000" + std::to_wstring(i) + L".tmp", target};
    }
    std::vector<uint32_t> tickets;
    ASSERT_EQ(beginPendingBatch(records, &tickets), 0) << lastErrorText;
    ASSERT_EQ(tickets.size(), 3u);
    const std::wstring file = pendingRecordPathForTest(tickets[0]);
    for (uint32_t t : tickets) EXPECT_EQ(pendingRecordPathForTest(t), file);
    std::vector<PendingRecord> back;
    ASSERT_TRUE(readPendingRecords(file, &back));
    ASSERT_EQ(back.size(), 3u);
    for (std::size_t i = 0; i < back.size(); ++i) EXPECT_EQ(back[i].paths, records[i].paths);

    // Identities learnt for all at once: one write of the file.
    for (std::size_t i = 0; i < records.size(); ++i) records[i].id = {1, 100 + i, 0, 0, 0};
    ASSERT_EQ(updatePendingBatch(tickets, records), 0) << lastErrorText;
    ASSERT_TRUE(readPendingRecords(file, &back));
    ASSERT_EQ(back.size(), 3u);
    for (std::size_t i = 0; i < back.size(); ++i) EXPECT_EQ(back[i].id.index, 100 + i);

    // A single record beside the batch has a file of its own.
    uint32_t single = 0;
    ASSERT_EQ(beginPending(records[0], &single), 0) << lastErrorText;
    EXPECT_NE(pendingRecordPathForTest(single), file);

    endPending(tickets[1]);
    ASSERT_TRUE(readPendingRecords(file, &back)) << "the batch's file stays until its last record ends";
    EXPECT_EQ(back.size(), 3u);
    // A record updated after another ended: the ended one is left out.
    records[2].id.index = 7;
    ASSERT_EQ(updatePending(tickets[2], records[2]), 0) << lastErrorText;
    ASSERT_TRUE(readPendingRecords(file, &back));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].id.index, 100u);
    EXPECT_EQ(back[1].id.index, 7u);
    EXPECT_NE(updatePending(tickets[1], records[1]), 0) << "an ended record cannot be updated";
    endPending(tickets[0]);
    endPending(tickets[2]);
    EXPECT_FALSE(fs::exists(fs::path(file)));
    endPending(single);
    closePending();
    EXPECT_TRUE(journal().empty());
}

// A stopped run's batch: every record of its file is dealt with alike,
// whether its work was done, under way or not begun.
TEST_F(PendingTest, StoppedBatchIsFinishedRecordByRecord) {
    // Erased already (its record outlived it), stopped after the second
    // rename, and not begun: three plaintexts with their encrypted copies.
    std::wstring enc[3];
    const std::wstring plain[3] = {
        plaintextWithCopyIn("batch", L"done.txt", 3000, 51, &enc[0]),
        plaintextWithCopyIn("batch", L"midway.txt", 5000, 52, &enc[1]),
        plaintextWithCopyIn("batch", L"waiting.txt", 700, 53, &enc[2]),
    };
    std::vector<PendingRecord> records;
    std::vector<std::vector<std::wstring>> names;
    for (int i = 0; i < 3; ++i) {
        names.push_back(randomNames(plain[i]));
        for (std::wstring& n : names.back()) n.back() = static_cast<wchar_t>(L'0' + i);
        records.push_back(eraseRecord(PendingKind::ErasePlaintext, plain[i], names.back(), enc[i]));
    }
    // An output of the batch that was being written: a partial temporary file.
    const std::wstring target = workPath(L"partial.txt" + std::wstring(codec::kEncryptedSuffix));
    const std::wstring temp = target + L".0badc0de.tmp";
    writeBytes(temp, randomBytes(2048, 54));
    PendingRecord output;
    output.kind = PendingKind::EncryptedOutput;
    output.paths = {temp, target};
    ASSERT_TRUE(plat::nameIdentity(temp, &output.id));
    records.push_back(output);
    std::vector<uint32_t> tickets;
    ASSERT_EQ(beginPendingBatch(records, &tickets), 0) << lastErrorText;
    resetPendingForTest();
    fs::remove(fs::path(plain[0]));
    fs::rename(fs::path(plain[1]), fs::path(names[1][1]));

    nextRun();
    EXPECT_TRUE(warnings_.empty()) << warningsText();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(fs::exists(fs::path(plain[i]))) << i;
        for (const std::wstring& n : names[i]) EXPECT_FALSE(fs::exists(fs::path(n))) << i;
        EXPECT_TRUE(fs::exists(fs::path(enc[i]))) << i;
    }
    EXPECT_FALSE(fs::exists(fs::path(temp)));
    EXPECT_TRUE(journal().empty());
}

// Records of the first format (no counterpart) are still read.
TEST_F(PendingTest, RecordsOfTheFirstFormatAreRead) {
    Bytes file = {'V', 'K', 'P', 'E', 'N', 'D', 0, 1};
    auto put32 = [&file](uint32_t v) {
        for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
#ifdef _WIN32
    put32(1);
#else
    put32(2);
#endif
    put32(3);                                   // an encryption's output
    for (int i = 0; i < 10; ++i) put32(i + 1);  // identity
    put32(1);
    put32(2);
    put32('a');
    put32('b');
    put32(0x21444E45);
    fs::create_directories(root / "SETTINGS" / "PENDING");
    writeBytes(root / "SETTINGS" / "PENDING" / "old.rec", file);
    PendingRecord back;
    ASSERT_TRUE(readPendingRecord((root / "SETTINGS" / "PENDING" / "old.rec").wstring(), &back));
    EXPECT_EQ(back.kind, PendingKind::EncryptedOutput);
    EXPECT_EQ(back.paths, std::vector<std::wstring>{L"ab"});
    EXPECT_EQ(back.id.index, 0x0000000400000003ull);
    EXPECT_TRUE(back.counterpart.empty());
}

// A stopped erase is finished only where its counterpart (the encrypted
// copy of a plaintext, the plaintext of an encrypted file) is confirmed:
// compared in full while the file still holds its data, the very file
// recorded once the passes had begun. Otherwise the file is kept, back
// under its own name where that is free, and the warning says where.
TEST_F(PendingTest, StoppedErasesAreFinishedOnlyWithTheirCounterpart) {
    enum class Other { Intact, Deleted, Changed };
    enum class End { Erased, BackUnderOwnName, LeftAs, Untouched };
    struct Case {
        const char* what;
        bool erasingEncrypted;   // the file erased is the encrypted one
        int standsAs;            // 0: its own name, 1 to 3: random name k, -1: gone
        bool passesBegun;
        Other counterpart;
        bool ownNameTaken;
        bool replaced;           // another file was put under the name it stands as
        bool otherVolume;        // its drive came back as another device
        End end;
        const char* warning;     // part of the one warning; nullptr: none
    };
    const Case cases[] = {
        {"under random name 1", false, 1, false, Other::Intact, false, false, false, End::Erased, nullptr},
        {"under random name 3", false, 3, false, Other::Intact, false, false, false, End::Erased, nullptr},
        {"under its own name", false, 0, false, Other::Intact, false, false, false, End::Erased, nullptr},
        {"passes begun", false, 3, true, Other::Intact, false, false, false, End::Erased, nullptr},
        {"drive back as another device", false, 2, false, Other::Intact, false, false, true, End::Erased, nullptr},
        {"an encrypted file under random name 2", true, 2, false, Other::Intact, false, false, false, End::Erased,
         nullptr},
        {"counterpart deleted", false, 2, false, Other::Deleted, false, false, false, End::BackUnderOwnName,
         "so the file was not erased: it is back under its own name"},
        {"plaintext of an encrypted file deleted", true, 1, false, Other::Deleted, false, false, false,
         End::BackUnderOwnName, "its plaintext '"},
        {"counterpart holds other data", false, 1, false, Other::Changed, false, false, false,
         End::BackUnderOwnName, "is gone or no longer holds the same data"},
        {"counterpart deleted before the first rename", false, 0, false, Other::Deleted, false, false, false,
         End::Untouched, "so the file was not erased: it is kept as it is"},
        {"counterpart deleted, own name taken", false, 2, false, Other::Deleted, true, false, false, End::LeftAs,
         "Its own name is taken; the file is kept as '"},
        {"passes begun, counterpart deleted", false, 3, true, Other::Deleted, false, false, false, End::LeftAs,
         "What is left of the file is kept as '"},
        {"another file under the random name", false, 2, false, Other::Intact, false, true, false, End::Untouched,
         nullptr},
        {"gone already", false, -1, false, Other::Intact, false, false, false, End::Untouched, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        const std::wstring plain = workPath(L"secret.txt");
        const Bytes data = randomBytes(3000, 5);
        writeBytes(plain, data);
        const std::wstring encrypted = encryptCopy(plain);
        ASSERT_FALSE(encrypted.empty());
        const std::wstring original = c.erasingEncrypted ? encrypted : plain;
        const std::wstring counterpart = c.erasingEncrypted ? plain : encrypted;
        const Bytes content = readBytes(original);
        const std::vector<std::wstring> names = randomNames(original);
        ASSERT_EQ(names.size(), 3u);
        PendingRecord record = eraseRecord(c.erasingEncrypted ? PendingKind::EraseEncrypted
                                                              : PendingKind::ErasePlaintext,
                                           original, names, counterpart);
        if (c.otherVolume) record.id.volume ^= 0x55;
        std::wstring now = original;
        if (c.standsAs > 0) {
            now = names[c.standsAs - 1];
            fs::rename(fs::path(original), fs::path(now));
        }
        leaveRecordOfAStoppedRun(record);
        if (c.passesBegun) overwriteAsAPass(now, names[2]);
        if (c.counterpart == Other::Deleted) fs::remove(fs::path(counterpart));
        if (c.counterpart == Other::Changed) {
            std::wstring otherCopy;
            plaintextWithCopyIn("elsewhere", L"secret.txt", 3000, 6, &otherCopy);
            fs::rename(fs::path(otherCopy), fs::path(counterpart));
        }
        if (c.ownNameTaken) writeBytes(original, Bytes{'n', 'e', 'w'});
        const Bytes other = {'o', 't', 'h', 'e', 'r'};
        if (c.replaced) {
            writeBytes(workPath(L"swap"), other);
            fs::rename(fs::path(workPath(L"swap")), fs::path(now));
        }
        if (c.standsAs < 0) fs::remove(fs::path(original));
        const Bytes before = c.standsAs >= 0 ? readBytes(now) : Bytes();

        nextRun();
        EXPECT_TRUE(journal().empty()) << "the record is done with";
        switch (c.end) {
        case End::Erased:
            EXPECT_FALSE(fs::exists(fs::path(original)));
            for (const std::wstring& name : names) EXPECT_FALSE(fs::exists(fs::path(name)));
            EXPECT_NE(log().find("finished erasing '" + narrow(original) + "'"), std::string::npos);
            ASSERT_EQ(recoveredErases().size(), 1u);
            EXPECT_EQ(recoveredErases()[0].original, original);
            EXPECT_EQ(recoveredErases()[0].counterpart, counterpart);
            break;
        case End::BackUnderOwnName:
            EXPECT_EQ(readBytes(original), content);
            EXPECT_FALSE(fs::exists(fs::path(now)));
            break;
        case End::LeftAs:
            EXPECT_EQ(readBytes(now), before);
            if (c.ownNameTaken) {
                EXPECT_EQ(readBytes(original), (Bytes{'n', 'e', 'w'}));
            }
            break;
        case End::Untouched:
            if (c.standsAs >= 0) {
                EXPECT_EQ(readBytes(now), c.replaced ? other : content);
            }
            EXPECT_TRUE(recoveredErases().empty());
            break;
        }
        if (c.warning) {
            ASSERT_EQ(warnings_.size(), 1u) << warningsText();
            EXPECT_NE(narrow(warnings_[0]).find(c.warning), std::string::npos) << warningsText();
            EXPECT_NE(warnings_[0].find(original), std::wstring::npos) << "names the file";
            if (c.end == End::LeftAs) {
                EXPECT_NE(warnings_[0].find(now), std::wstring::npos) << "names where it is";
            }
        } else {
            EXPECT_TRUE(warnings_.empty()) << warningsText();
        }
    }
}

// A stopped decryption's partial plaintext is erased, a stopped encryption's
// partial output removed; a file that replaced them is left alone. A record
// made before its output existed names no identity: then only an empty
// file under the recorded name (drawn at random) is removed.
TEST_F(PendingTest, StoppedOutputsAreCleared) {
    enum class Replace { No, Over, Anew };
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
        // Told apart by its creation time, which Windows emulations lack.
        {PendingKind::PlainOutput, Replace::Anew, true, 5000, nullptr},
#endif
        {PendingKind::PlainOutput, Replace::No, false, 0, "the partial plaintext of an interrupted decryption"},
        {PendingKind::EncryptedOutput, Replace::No, false, 0, "the partial output of an interrupted encryption"},
        {PendingKind::PlainOutput, Replace::No, false, 5000, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.kind) << " identified " << c.identified
                                        << " size " << c.size);
        const std::wstring target = workPath(L"report.txt");
        const std::wstring temp = target + L".0a1b2c3d.tmp";
        writeBytes(temp, Bytes(c.size, 'P'));
        PendingRecord record;
        record.kind = c.kind;
        if (c.identified) {
            ASSERT_TRUE(plat::fileIdentity(temp, &record.id));
        }
        record.paths = {temp, target};
        leaveRecordOfAStoppedRun(record);
        if (c.replaced == Replace::Over) {
            writeBytes(temp + L".other", Bytes(10, 'O'));
            fs::rename(fs::path(temp + L".other"), fs::path(temp));
        } else if (c.replaced == Replace::Anew) {
            fs::remove(fs::path(temp));
            writeBytes(temp, Bytes(10, 'O'));
        }
        closeLogForTest();
        fs::remove(root / "LOG" / "log.txt");
        nextRun();
        EXPECT_EQ(fs::exists(fs::path(temp)), c.logged == nullptr);
        if (c.logged) {
            EXPECT_NE(log().find(c.logged), std::string::npos);
        }
        EXPECT_TRUE(journal().empty());
        EXPECT_TRUE(warnings_.empty()) << warningsText();
        fs::remove(fs::path(temp));
    }
}

// A record whose files cannot be reached (their drive is not connected) is
// never dropped: every run says where the file was left, and the run that
// reaches it again finishes the work.
TEST_F(PendingTest, UnreachableFilesAreToldUntilTheyAreReachedAgain) {
    const StoppedErase erase = leaveStoppedErase("stick", L"diary.txt", 2500, 8, 2);
    const std::wstring& plain = erase.plain;
    const std::vector<std::wstring>& names = erase.names;
    fs::rename(root / "work" / "stick", root / "work" / "unplugged");

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        warnings_.clear();
        nextRun();
        ASSERT_EQ(warnings_.size(), 1u) << warningsText();
        EXPECT_NE(warnings_[0].find(L"'" + plain + L"' was being erased when a run was interrupted, and its folder "
                                                  L"cannot be reached now"),
                  std::wstring::npos)
            << warningsText();
        EXPECT_NE(warnings_[0].find(fs::path(names[1]).filename().wstring()), std::wstring::npos) << "names the names";
        EXPECT_EQ(journal().size(), 2u) << "record and lock stay";
    }
    fs::rename(root / "work" / "unplugged", root / "work" / "stick");
    warnings_.clear();
    nextRun();
    EXPECT_TRUE(warnings_.empty()) << warningsText();
    EXPECT_FALSE(fs::exists(fs::path(names[1])));
    EXPECT_TRUE(fs::exists(fs::path(erase.encrypted)));
    EXPECT_TRUE(journal().empty());
}

// A record anyone with the drive could have edited is acted on only where
// it is consistent: names of the forms the program gives, in the folder of
// the file. Otherwise nothing it names is touched, the record stays, and
// the warning names it.
TEST_F(PendingTest, InconsistentRecordsAreLeftAlone) {
    const std::wstring plain = workPath(L"letter.txt");
    writeBytes(plain, randomBytes(2000, 9));
    const std::wstring encrypted = encryptCopy(plain);
    fs::create_directories(root / "work" / "sub");
    const std::wstring sub = (root / "work" / "sub").wstring() + plat::kSep;
    struct Case {
        const char* what;
        std::function<void(PendingRecord&)> spoil;
    };
    const Case cases[] = {
        {"a random name in another folder",
         [&](PendingRecord& r) { r.paths[2] = sub + fs::path(r.paths[2]).filename().wstring(); }},
        {"a random name of another length", [&](PendingRecord& r) { r.paths[1] += L"ab"; }},
        {"a random name that is no number", [&](PendingRecord& r) { r.paths[3].back() = L'g'; }},
        {"the counterpart in another folder", [&](PendingRecord& r) { r.counterpart = sub + L"x (encrypted)"; }},
        {"the counterpart is the file itself", [&](PendingRecord& r) { r.counterpart = r.paths[0]; }},
        {"a temporary output not named like one",
         [&](PendingRecord& r) {
             r.kind = PendingKind::PlainOutput;
             r.paths = {plain + L".bak", plain};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PendingRecord record = eraseRecord(PendingKind::ErasePlaintext, plain, randomNames(plain), encrypted);
        c.spoil(record);
        writeBytes(plain + L".bak", Bytes{});
        leaveRecordOfAStoppedRun(record);
        warnings_.clear();
        nextRun();
        EXPECT_TRUE(fs::exists(fs::path(plain)));
        EXPECT_TRUE(fs::exists(fs::path(plain + L".bak")));
        ASSERT_EQ(warnings_.size(), 1u) << warningsText();
        EXPECT_NE(warnings_[0].find(L"names files that this program would not have named so"), std::wstring::npos);
        EXPECT_NE(warnings_[0].find(L".rec'"), std::wstring::npos) << "names the record";
        EXPECT_EQ(journal().size(), 2u);
        fs::remove_all(root / "SETTINGS" / "PENDING");
    }
}

// The records of a run that still holds its lock are not touched; once it
// has ended, the next run finishes them. Records of the other build are
// never touched. A lock file is locked from the moment it has its name: no
// other run can take it for a stopped run's, and one that never got its
// name is cleared once nobody holds it.
TEST_F(PendingTest, RecordsOfRunningInstancesAndOfTheOtherBuildStay) {
    const std::wstring plain = workPath(L"held.txt");
    writeBytes(plain, randomBytes(1500, 10));
    const std::wstring encrypted = encryptCopy(plain);
    const std::vector<std::wstring> names = randomNames(plain);
    const PendingRecord record = eraseRecord(PendingKind::ErasePlaintext, plain, names, encrypted);
    fs::rename(fs::path(plain), fs::path(names[0]));

    uint32_t ticket = 0;
    ASSERT_EQ(beginPending(record, &ticket), 0) << lastErrorText;
    std::vector<std::wstring> files = journal();
    ASSERT_EQ(files.size(), 2u);
    const fs::path lock =
        root / "SETTINGS" / "PENDING" / (files[0].find(L".lock") != std::wstring::npos ? files[0] : files[1]);
    // Its owner holds it: another run's lock is refused.
    FILE* other = plat::openLockFile(lock.wstring());
    ASSERT_NE(other, nullptr);
    EXPECT_NE(plat::lockRange(other, 0, 1, true, false), 0);
    std::fclose(other);
    resetPendingForTest();   // the owner's run ends without finishing

    // Another instance holds the lock now.
    FILE* held = plat::openLockFile(lock.wstring());
    ASSERT_NE(held, nullptr);
    ASSERT_EQ(plat::lockRange(held, 0, 1, true, false), 0);
    recoverPending();
    EXPECT_TRUE(fs::exists(fs::path(names[0])));
    EXPECT_EQ(journal().size(), 2u);
    std::fclose(held);

    // The same files under the other build's letter.
    const wchar_t otherBuild = lock.filename().wstring()[0] == L'p' ? L'w' : L'p';
    for (const std::wstring& name : journal()) {
        std::wstring renamed = name;
        renamed[0] = otherBuild;
        fs::rename(root / "SETTINGS" / "PENDING" / name, root / "SETTINGS" / "PENDING" / renamed);
    }
    recoverPending();
    EXPECT_TRUE(fs::exists(fs::path(names[0])));
    EXPECT_EQ(journal().size(), 2u);

    // Back under this build's letter, with a lock file that never got its
    // name beside it, held by a run that is still making it.
    for (const std::wstring& name : journal()) {
        std::wstring renamed = name;
        renamed[0] = lock.filename().wstring()[0];
        fs::rename(root / "SETTINGS" / "PENDING" / name, root / "SETTINGS" / "PENDING" / renamed);
    }
    const std::wstring making = (root / "SETTINGS" / "PENDING").wstring() + plat::kSep +
                                lock.filename().wstring().substr(0, 2) + L"0123456789abcdef.lock";
    FILE* creating = plat::createLockedFile(making);
    ASSERT_NE(creating, nullptr);
    fs::rename(fs::path(making), fs::path(making + plat::kLockingSuffix));
    nextRun();
    EXPECT_FALSE(fs::exists(fs::path(names[0]))) << "finished once its run had ended";
    EXPECT_EQ(journal(), std::vector<std::wstring>{fs::path(making + plat::kLockingSuffix).filename().wstring()})
        << "still held";
    std::fclose(creating);
    nextRun();
    EXPECT_TRUE(journal().empty()) << "cleared once nobody holds it";
}

#ifndef _WIN32
// A journal that cannot be written (a key drive switched to read-only after
// a run was stopped): the work cannot be taken over, but the warning says
// where the file is, and nothing is touched.
TEST_F(PendingTest, ReadOnlyJournalTellsWhereTheFileIs) {
    const std::wstring plain = workPath(L"diary.txt");
    writeBytes(plain, randomBytes(2048, 11));
    const std::wstring encrypted = encryptCopy(plain);
    const std::vector<std::wstring> names = randomNames(plain);
    const PendingRecord record = eraseRecord(PendingKind::ErasePlaintext, plain, names, encrypted);
    const Bytes content = readBytes(plain);
    fs::rename(fs::path(plain), fs::path(names[2]));
    leaveRecordOfAStoppedRun(record);
    const fs::path pending = root / "SETTINGS" / "PENDING";
    for (const auto& e : fs::directory_iterator(pending))
        fs::permissions(e.path(), fs::perms::owner_read, fs::perm_options::replace);
    fs::permissions(pending, fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
    if (FILE* f = plat::openFile((pending / journal()[0]).wstring(), L"rb+")) {
        std::fclose(f);
        GTEST_SKIP() << "permissions do not stop this user";
    }
    recoverPending();
    ASSERT_EQ(warnings_.size(), 1u) << warningsText();
    EXPECT_EQ(warnings_[0], L"Erasing '" + plain + L"' was interrupted. The file is left as '" + names[2] +
                                L"' and cannot be erased while 'SETTINGS/PENDING' cannot be written");
    EXPECT_EQ(readBytes(names[2]), content);
    fs::permissions(pending, fs::perms::owner_all, fs::perm_options::replace);
    EXPECT_EQ(journal().size(), 2u);
}

// A file that cannot be erased now is named in a warning, and the record
// stays for the next run.
TEST_F(PendingTest, ReadOnlyFolderKeepsTheRecordForTheNextRun) {
    const std::vector<std::wstring> names = leaveStoppedErase("box", L"stuck.txt", 2048, 12, 3).names;
    fs::permissions(fs::path(names[2]), fs::perms::owner_read, fs::perm_options::replace);
    fs::permissions(root / "work" / "box", fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
    if (FILE* f = plat::openFile(names[2], L"rb+")) {
        std::fclose(f);
        GTEST_SKIP() << "permissions do not stop this user";
    }
    nextRun();
    ASSERT_EQ(warnings_.size(), 1u) << warningsText();
    EXPECT_NE(warnings_[0].find(L"is left as '" + names[2] + L"'"), std::wstring::npos) << warningsText();
    EXPECT_TRUE(fs::exists(fs::path(names[2])));
    EXPECT_EQ(journal().size(), 2u) << "record and lock stay";

    fs::permissions(root / "work" / "box", fs::perms::owner_all, fs::perm_options::replace);
    fs::permissions(fs::path(names[2]), fs::perms::owner_all, fs::perm_options::replace);
    warnings_.clear();
    nextRun();
    EXPECT_TRUE(warnings_.empty()) << warningsText();
    EXPECT_FALSE(fs::exists(fs::path(names[2])));
    EXPECT_TRUE(journal().empty());
}
#endif

}  // namespace
