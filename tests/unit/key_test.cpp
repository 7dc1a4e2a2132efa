// The key store against small key drives laid out by hand in a temporary
// folder, so that every block, index slot and usage field is known.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "diag/error.h"
#include "diag/log.h"
#include "drive/util.h"
#include "key/key.h"
#include "key/paddigest.h"
#include "platform/platform.h"
#include "tests/support/tempfolder.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint32_t getLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

Bytes statusRecord(uint32_t high, uint32_t first, uint32_t last) {
    Bytes r(12);
    putLe32(r.data(), high);
    putLe32(r.data() + 4, first);
    putLe32(r.data() + 8, last);
    return r;
}

class KeyStoreTest : public ::testing::Test {
public:
    void SetUp() override {
        saved_ = plat::currentDir();
        std::wcsncpy(savedRoot_, keyDriveRoot, kPathSize);
        std::wcsncpy(savedFolder_, programFolder, kPathSize);
        folder_ = testsupport::makeTempFolder("velkin-key-test");
        fs::create_directories(folder_ / "SETTINGS");
        ASSERT_EQ(plat::setCurrentDir(folder_.wstring()), 0);
        closeKeyStoreForTest();
        closeLogForTest();
    }

    void TearDown() override {
        closeKeyStoreForTest();
        closeLogForTest();
        plat::setCurrentDir(saved_);
        std::wcsncpy(keyDriveRoot, savedRoot_, kPathSize);
        std::wcsncpy(programFolder, savedFolder_, kPathSize);
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

    // n blocks of distinct pseudo-random content; block b's home slot is
    // b * 7 unless set otherwise with setHome.
    void makeKey(uint32_t n, size_t extraBytes = 0) {
        n_ = n;
        key_.assign(size_t(n) * kKeyBlockSize + extraBytes, 0);
        std::mt19937 gen(n * 31 + 7);
        for (auto& byte : key_) byte = uint8_t(gen());
        for (uint32_t b = 1; b < n; ++b) setHome(b, b * 7 % (10 * n));
    }
    uint8_t* block(uint32_t b) { return key_.data() + size_t(b) * kKeyBlockSize; }
    void setHome(uint32_t b, uint32_t slot) { putBe32(block(b) + 4, slot); }

    // The index by the rule: each pad block in the first empty slot at or
    // after its home slot, with wrap.
    std::vector<uint32_t> buildIndex() {
        uint32_t slots = 10 * n_;
        std::vector<uint32_t> index(slots, 0);
        for (uint32_t b = 1; b < n_; ++b) {
            uint32_t s = (uint32_t(block(b)[4]) << 24 | uint32_t(block(b)[5]) << 16 |
                          uint32_t(block(b)[6]) << 8 | block(b)[7]) % slots;
            while (index[s] != 0) s = (s + 1) % slots;
            index[s] = b;
        }
        return index;
    }

    void write(const char* name, const Bytes& bytes) {
        std::ofstream out(folder_ / "SETTINGS" / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    void writeIndex(const std::vector<uint32_t>& index) {
        Bytes bytes(index.size() * 4);
        for (size_t i = 0; i < index.size(); ++i) putLe32(bytes.data() + 4 * i, index[i]);
        write("INDEX.DAT", bytes);
    }
    Bytes read(const char* name) {
        std::ifstream in(folder_ / "SETTINGS" / name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // A whole drive: key, index by the rule and the given usage record.
    void makeDrive(uint32_t n, const Bytes& status) {
        makeKey(n);
        write("KEY.DAT", key_);
        writeIndex(buildIndex());
        write("STATUS.DAT", status);
    }

    std::wstring error() const { return lastErrorText; }

    fs::path folder_;
    std::wstring saved_;
    wchar_t savedRoot_[kPathSize];
    wchar_t savedFolder_[kPathSize];
    uint32_t n_ = 0;
    Bytes key_;
};

// ------------------------------------------------------------------ opening

TEST_F(KeyStoreTest, BlockCountIgnoresAPartialLastBlock) {
    for (size_t extra : {size_t(0), size_t(1), size_t(1023)}) {
        closeKeyStoreForTest();
        makeKey(20, extra);
        write("KEY.DAT", key_);
        writeIndex(buildIndex());
        write("STATUS.DAT", statusRecord(1, 1, 19));
        ASSERT_EQ(openKeyStore(), 0) << error();
        EXPECT_EQ(keyBlockCount(), 20u) << "extra bytes " << extra;
    }
}

TEST_F(KeyStoreTest, EachMissingFileIsNamed) {
    struct Case {
        const char* missing;
        const wchar_t* message;
    } cases[] = {
        {"KEY.DAT", L"cannot open 'SETTINGS/KEY.DAT': "},
        {"INDEX.DAT", L"cannot open 'SETTINGS/INDEX.DAT': "},
        {"STATUS.DAT", L"cannot open 'SETTINGS/STATUS.DAT': "},
    };
    for (const Case& c : cases) {
        closeKeyStoreForTest();
        makeDrive(20, statusRecord(1, 1, 19));
        fs::remove(folder_ / "SETTINGS" / c.missing);
        EXPECT_EQ(openKeyStore(), 1);
        EXPECT_EQ(error().rfind(c.message, 0), 0u) << error();
    }
}

TEST_F(KeyStoreTest, KeyShorterThanOneBlockFailsReadingBlockZero) {
    makeDrive(20, statusRecord(1, 1, 19));
    write("KEY.DAT", Bytes(1000, 0x55));
    EXPECT_EQ(openKeyStore(), 1);
    EXPECT_EQ(error().rfind(L"cannot read from 'SETTINGS/KEY.DAT': ", 0), 0u) << error();
}

TEST_F(KeyStoreTest, EmptyStatusFileCannotBeRead) {
    makeDrive(20, Bytes());
    EXPECT_EQ(openKeyStore(), 1);
    EXPECT_EQ(error().rfind(L"cannot read 'SETTINGS/STATUS.DAT': ", 0), 0u) << error();
}

TEST_F(KeyStoreTest, FailedOpenIsRetriedAndNothingCountsAsOpen) {
    makeDrive(20, statusRecord(1, 1, 19));
    fs::remove(folder_ / "SETTINGS" / "STATUS.DAT");
    ASSERT_EQ(openKeyStore(), 1);
    // Not open: the operations that need the store refuse.
    EXPECT_EQ(reserveKeyBlocks(1), 1);
    EXPECT_EQ(nextKeyBlock(), nullptr);
    write("STATUS.DAT", statusRecord(1, 1, 19));
    ASSERT_EQ(openKeyStore(), 0) << error();
    EXPECT_EQ(reserveKeyBlocks(1), 0) << error();
}

TEST_F(KeyStoreTest, KeyTooLargeForTheIndexIsRefused) {
    makeDrive(20, statusRecord(1, 1, 19));
    // 429496730 blocks would need 4294967300 index slots: one block too many.
    std::error_code ec;
    fs::resize_file(folder_ / "SETTINGS" / "KEY.DAT", 429496730ull * kKeyBlockSize, ec);
    if (ec) GTEST_SKIP() << "no sparse file of 440 GB here";
    EXPECT_EQ(openKeyStore(), 1);
    EXPECT_NE(error().find(L"'SETTINGS/KEY.DAT' is too large"), std::wstring::npos) << error();
}

// ------------------------------------------------------------------ in use

// Another process's locks on the usage record, through a stream of its own.
class OtherHolder {
public:
    explicit OtherHolder(const fs::path& status) : f_(plat::openFile(status.wstring(), L"rb+")) {}
    ~OtherHolder() {
        if (f_ != nullptr) std::fclose(f_);
    }
    int tryInUse(bool exclusive) {
        return f_ == nullptr ? -1 : plat::lockRange(f_, kStatusInUseOffset, 1, exclusive, false);
    }
    void releaseInUse() { plat::unlockRange(f_, kStatusInUseOffset, 1); }

private:
    FILE* f_;
};

TEST_F(KeyStoreTest, AnOpenStoreMarksTheDriveInUseUntilItCloses) {
    makeDrive(20, statusRecord(1, 1, 19));
    OtherHolder tool(folder_ / "SETTINGS" / "STATUS.DAT");
    ASSERT_EQ(tool.tryInUse(true), 0) << "nothing holds the drive yet";
    tool.releaseInUse();
    ASSERT_EQ(openKeyStore(), 0) << error();
    EXPECT_EQ(tool.tryInUse(true), 1) << "the open store must hold the drive";
    EXPECT_EQ(tool.tryInUse(false), 0) << "other instances share it";
    tool.releaseInUse();
    closeKeyStoreForTest();
    EXPECT_EQ(tool.tryInUse(true), 0) << "a closed store lets go";
}

TEST_F(KeyStoreTest, TheStoreDoesNotOpenWhileTheDriveIsBeingSplit) {
    makeDrive(20, statusRecord(1, 1, 19));
    OtherHolder tool(folder_ / "SETTINGS" / "STATUS.DAT");
    ASSERT_EQ(tool.tryInUse(true), 0);
    EXPECT_EQ(openKeyStore(), 1);
    EXPECT_NE(error().find(L"the key drive tool is splitting it"), std::wstring::npos) << error();
    EXPECT_EQ(reserveKeyBlocks(1), 1) << "the store must not count as open";
    tool.releaseInUse();
    ASSERT_EQ(openKeyStore(), 0) << error();
    EXPECT_EQ(reserveKeyBlocks(1), 0) << error();
}

TEST_F(KeyStoreTest, InstancesThatHoldTheDriveStillReserve) {
    // The record's lock must not reach the byte that other instances hold.
    makeDrive(20, statusRecord(1, 1, 19));
    OtherHolder instance(folder_ / "SETTINGS" / "STATUS.DAT");
    ASSERT_EQ(instance.tryInUse(false), 0);
    ASSERT_EQ(openKeyStore(), 0) << error();
    EXPECT_EQ(reserveKeyBlocks(3), 0) << error();
    ASSERT_NE(nextKeyBlock(), nullptr) << error();
    EXPECT_EQ(read("STATUS.DAT"), statusRecord(4, 1, 19));
}

// ------------------------------------------------------------------ reserving

TEST_F(KeyStoreTest, ReservationMayEndExactlyAtLastBlock) {
    // highWaterMark = lastBlock - 1: two blocks are left.
    makeDrive(20, statusRecord(18, 1, 19));
    ASSERT_EQ(openKeyStore(), 0) << error();
    EXPECT_EQ(reserveKeyBlocks(3), 1);
    EXPECT_EQ(error(), L"key exhausted: this needs 3.0 KB of key, but this key drive has only 2.0 KB left. "
                       L"Make a new key drive for new files; this one still decrypts every file made with it");
    EXPECT_EQ(read("STATUS.DAT"), statusRecord(18, 1, 19));
    ASSERT_EQ(reserveKeyBlocks(2), 0) << error();
    EXPECT_EQ(read("STATUS.DAT"), statusRecord(20, 1, 19));
    const uint8_t* b = nextKeyBlock();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(0, std::memcmp(b, block(18), kKeyBlockSize));
    b = nextKeyBlock();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(0, std::memcmp(b, block(19), kKeyBlockSize));
    EXPECT_EQ(reserveKeyBlocks(1), 1);
    EXPECT_EQ(error().rfind(L"key exhausted: this needs 1.0 KB of key, and this key drive has none left. Make a "
                            L"new key drive for new files", 0), 0u) << error();
}

TEST_F(KeyStoreTest, ReservationOfNothingRewritesTheRecordUnchanged) {
    for (uint32_t high : {1u, 7u, 20u}) {
        closeKeyStoreForTest();
        makeDrive(20, statusRecord(high, 1, 19));
        ASSERT_EQ(openKeyStore(), 0) << error();
        EXPECT_EQ(reserveKeyBlocks(0), 0) << "high water mark " << high << ": " << error();
        EXPECT_EQ(read("STATUS.DAT"), statusRecord(high, 1, 19));
    }
}

TEST_F(KeyStoreTest, HugeCountDoesNotWrapAround) {
    makeDrive(20, statusRecord(5, 1, 19));
    ASSERT_EQ(openKeyStore(), 0) << error();
    EXPECT_EQ(reserveKeyBlocks(0xFFFFFFFFu), 1);
    EXPECT_EQ(read("STATUS.DAT"), statusRecord(5, 1, 19));
}

TEST_F(KeyStoreTest, ReservationNeverGoesPastTheLastPadBlock) {
    // lastBlock N (as a short record defaults to) would let a reservation
    // include block N, which does not exist and would be served as block 1.
    makeDrive(20, statusRecord(19, 1, 20));
    ASSERT_EQ(openKeyStore(), 0) << error();
    EXPECT_EQ(reserveKeyBlocks(2), 1);
    EXPECT_EQ(error().rfind(L"key exhausted: this needs 2.0 KB of key, but this key drive has only 1.0 KB left", 0),
              0u) << error();
    EXPECT_EQ(reserveKeyBlocks(1), 0) << error();
    EXPECT_EQ(read("STATUS.DAT"), statusRecord(20, 1, 20));
}

// A batch reservation: one write of the record, then files draw the next
// blocks of it in turn; a file that does not fit what is left reserves on
// its own; what is left at the end is never handed out.
TEST_F(KeyStoreTest, BatchReservationHandsOutItsBlocksOnceEach) {
    makeDrive(40, statusRecord(3, 1, 39));
    ASSERT_EQ(openKeyStore(), 0) << error();
    ASSERT_EQ(reserveKeyBatch(10), 0) << error();
    EXPECT_EQ(read("STATUS.DAT"), statusRecord(13, 1, 39));
    struct Draw {
        uint32_t count;
        uint32_t firstBlock;   // the block the file's first draw serves
        uint32_t mark;         // the record's mark afterwards
        uint64_t left;         // of the batch afterwards
    };
    const Draw draws[] = {
        {4, 3, 13, 6},    // from the batch, the record untouched
        {2, 7, 13, 4},
        {5, 13, 18, 4},   // does not fit: reserved on its own, past the batch
        {4, 9, 18, 0},    // the rest of the batch
        {1, 18, 19, 0},
    };
    for (const Draw& d : draws) {
        ASSERT_EQ(reserveKeyBlocks(d.count), 0) << d.count << ": " << error();
        const uint8_t* b = nextKeyBlock();
        ASSERT_NE(b, nullptr) << error();
        EXPECT_EQ(0, std::memcmp(b, block(d.firstBlock), kKeyBlockSize)) << "draw of " << d.count;
        EXPECT_EQ(read("STATUS.DAT"), statusRecord(d.mark, 1, 39)) << "draw of " << d.count;
        EXPECT_EQ(keyBatchLeft(), d.left) << "draw of " << d.count;
    }
    // A batch ended early gives its rest up; the next reservation starts past it.
    ASSERT_EQ(reserveKeyBatch(6), 0) << error();
    ASSERT_EQ(reserveKeyBlocks(2), 0) << error();
    endKeyBatch();
    EXPECT_EQ(keyBatchLeft(), 0u);
    ASSERT_EQ(reserveKeyBlocks(1), 0) << error();
    const uint8_t* b = nextKeyBlock();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(0, std::memcmp(b, block(25), kKeyBlockSize));
    EXPECT_EQ(read("STATUS.DAT"), statusRecord(26, 1, 39));
}

TEST_F(KeyStoreTest, BatchReservationIsRefusedAsAnyOther) {
    struct Case {
        const char* what;
        Bytes record;
        uint64_t count;
    };
    const Case cases[] = {
        {"more than is left", statusRecord(30, 1, 39), 11},
        {"beyond 32 bits", statusRecord(3, 1, 39), 0x100000001ull},
        {"a backup drive", statusRecord(kBackupHighWaterMark, kBackupFirstBlock, kBackupLastBlock), 2},
        {"a damaged record", statusRecord(0, 1, 39), 2},
    };
    for (const Case& c : cases) {
        closeKeyStoreForTest();
        makeDrive(40, c.record);
        ASSERT_EQ(openKeyStore(), 0) << c.what << ": " << error();
        EXPECT_EQ(reserveKeyBatch(c.count), 1) << c.what;
        EXPECT_EQ(keyBatchLeft(), 0u) << c.what;
        EXPECT_EQ(read("STATUS.DAT"), c.record) << c.what;
    }
}

// A record cut short or grown, or with a mark outside the range, gives no
// range that can be trusted: nothing is reserved from it and nothing is
// written to it, and the user learns what is wrong and where to look. The
// drive still decrypts.
TEST_F(KeyStoreTest, DamagedRecordIsRefusedNeverWidened) {
    struct Case {
        const char* what;
        Bytes record;
        const wchar_t* message;
    } cases[] = {
        // A split drive's record {300, 200, 399} cut short would read as the
        // whole pad {300, 1, 400}, its partner's blocks included.
        {"cut to 4 bytes", Bytes{44, 1, 0, 0}, L"it holds 4 bytes where a usage record has 12"},
        {"cut to 8 bytes", Bytes{44, 1, 0, 0, 200, 0, 0, 0}, L"it holds 8 bytes where a usage record has 12"},
        {"cut to 1 byte", Bytes{44}, L"it holds 1 bytes where a usage record has 12"},
        {"grown to 13 bytes", [] { Bytes r = statusRecord(300, 200, 399); r.push_back(0); return r; }(),
         L"it holds more than 12 bytes"},
        {"mark 0", statusRecord(0, 200, 399), L"its high water mark 0 would hand out key block 0"},
        {"mark below the range", statusRecord(150, 200, 399),
         L"its high water mark 150 lies below the drive's first block 200"},
        {"mark beyond the range", statusRecord(401, 200, 399),
         L"its high water mark 401 lies beyond the drive's last block 399"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        closeKeyStoreForTest();
        makeDrive(400, c.record);
        ASSERT_EQ(openKeyStore(), 0) << error();
        EXPECT_EQ(reserveKeyBlocks(2), 1);
        EXPECT_NE(error().find(L"'SETTINGS/STATUS.DAT' is damaged: "), std::wstring::npos) << error();
        EXPECT_NE(error().find(c.message), std::wstring::npos) << error();
        EXPECT_NE(error().find(L"'velkin-keydrive check' on this key drive"), std::wstring::npos) << error();
        EXPECT_EQ(checkKeyAvailable(2), 1);
        EXPECT_NE(error().find(c.message), std::wstring::npos) << error();
        uint64_t left = 99;
        EXPECT_EQ(keyBlocksLeft(&left), 1);
        EXPECT_EQ(left, 99u);
        // A decryption with a partner's blocks 300 ... 303 still finds them,
        // and its raise of the mark writes nothing.
        ASSERT_EQ(findKeyBlock(block(300)), 0) << error();
        ASSERT_NE(nextKeyBlock(), nullptr) << error();
        EXPECT_EQ(raiseHighWaterMarkPast(300, 4), 1);
        EXPECT_EQ(raiseHighWaterMark(), 1);
        EXPECT_EQ(keyUsagePercent(), 0.0);
        EXPECT_NE(error().find(c.message), std::wstring::npos) << error();
        EXPECT_EQ(read("STATUS.DAT"), c.record);
    }
}

// The usage record of a backup drive: it decrypts, never encrypts, and no
// decryption moves its mark.
TEST_F(KeyStoreTest, BackupDriveDecryptsAndNeverReserves) {
    const Bytes backup = statusRecord(kBackupHighWaterMark, kBackupFirstBlock, kBackupLastBlock);
    makeDrive(40, backup);
    std::wcsncpy(programFolder, L"/media/backup/", kPathSize);
    ASSERT_EQ(openKeyStore(), 0) << error();
    const std::wstring refusal = L"'/media/backup' is a backup key drive: it decrypts, and never encrypts, so "
                                 L"that no key block is used twice";
    EXPECT_EQ(reserveKeyBlocks(4), 1);
    EXPECT_EQ(error(), refusal);
    lastErrorText[0] = L'\0';
    EXPECT_EQ(checkKeyAvailable(0), 1);
    EXPECT_EQ(error(), refusal);
    uint64_t left = 0;
    EXPECT_EQ(keyBlocksLeft(&left), 1);
    EXPECT_EQ(error(), refusal);
    double percent = -1;
    bool isBackup = false;
    ASSERT_EQ(keyUsage(&percent, &isBackup), 0) << error();
    EXPECT_TRUE(isBackup);
    EXPECT_EQ(percent, 0.0);

    for (uint32_t header : {1u, 20u, 39u}) {
        ASSERT_EQ(findKeyBlock(block(header)), 0) << error();
        const uint8_t* served = nextKeyBlock();
        ASSERT_NE(served, nullptr) << error();
        EXPECT_EQ(0, std::memcmp(served, block(header), kKeyBlockSize));
        EXPECT_EQ(raiseHighWaterMarkPast(header, 4), 0) << error();
        EXPECT_EQ(raiseHighWaterMark(), 0) << error();
    }
    EXPECT_EQ(read("STATUS.DAT"), backup);
}

// An older program reads the record with its own rules (a reservation of
// count blocks needs mark + count <= lastBlock + 1 in 32 bits; a decryption
// raises the mark to a cursor only when it is not above lastBlock): the
// backup record must leave it nothing to reserve and nothing to raise.
TEST(BackupRecord, OlderProgramsFindNothingToReserveOrRaise) {
    for (uint32_t count : {2u, 4u, 1000u, 0xFFFFFFFFu}) {
        // In 32-bit arithmetic, where a sum may wrap, and in 64-bit.
        EXPECT_GT(uint32_t(kBackupHighWaterMark + count), uint32_t(kBackupLastBlock + 1u)) << count;
        EXPECT_GT(uint64_t(kBackupHighWaterMark) + count, uint64_t(kBackupLastBlock) + 1) << count;
    }
    for (uint32_t cursor : {1u, 2u, 0xFFFFFFFFu}) EXPECT_GT(cursor, kBackupLastBlock);
    // Below every pad block's number: no header block lies in its range.
    EXPECT_GT(kBackupFirstBlock, kBackupLastBlock);
}

// ------------------------------------------------------------------ drawing

TEST_F(KeyStoreTest, CursorWrapsFromTheLastBlockToBlockOne) {
    makeDrive(20, statusRecord(19, 1, 19));
    ASSERT_EQ(findKeyBlock(block(19)), 0) << error();
    const uint8_t* b = nextKeyBlock();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(0, std::memcmp(b, block(19), kKeyBlockSize));
    b = nextKeyBlock();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(0, std::memcmp(b, block(1), kKeyBlockSize)) << "block 0 must never follow block N-1";
}

// ------------------------------------------------------------------ finding

TEST_F(KeyStoreTest, EveryPadBlockIsFoundAndServedBack) {
    makeDrive(40, statusRecord(1, 1, 39));
    for (uint32_t b = 1; b < 40; ++b) {
        ASSERT_EQ(findKeyBlock(block(b)), 0) << "block " << b << ": " << error();
        const uint8_t* served = nextKeyBlock();
        ASSERT_NE(served, nullptr);
        EXPECT_EQ(0, std::memcmp(served, block(b), kKeyBlockSize)) << "block " << b;
    }
}

TEST_F(KeyStoreTest, ProbeWrapsFromTheLastSlotToSlotZero) {
    makeKey(20);
    const uint32_t last = 10 * 20 - 1;
    setHome(3, last);
    setHome(8, last);   // entered after block 3, so it lands in slot 0
    write("KEY.DAT", key_);
    std::vector<uint32_t> index = buildIndex();
    ASSERT_EQ(index[last], 3u);
    ASSERT_EQ(index[0], 8u);
    writeIndex(index);
    write("STATUS.DAT", statusRecord(1, 1, 19));
    ASSERT_EQ(findKeyBlock(block(8)), 0) << error();
    const uint8_t* served = nextKeyBlock();
    ASSERT_NE(served, nullptr);
    EXPECT_EQ(0, std::memcmp(served, block(8), kKeyBlockSize));
}

TEST_F(KeyStoreTest, OnlyBytes4To259Identify) {
    makeDrive(20, statusRecord(1, 1, 19));
    Bytes given(block(6), block(6) + kKeyBlockSize);
    for (int i : {0, 3, 260, 1023}) given[size_t(i)] ^= 0xFF;
    ASSERT_EQ(findKeyBlock(given.data()), 0) << error();
    const uint8_t* served = nextKeyBlock();
    ASSERT_NE(served, nullptr);
    EXPECT_EQ(0, std::memcmp(served, block(6), kKeyBlockSize));

    for (int i : {8, 259}) {
        Bytes changed(block(6), block(6) + kKeyBlockSize);
        changed[size_t(i)] ^= 0x01;
        std::wcscpy(lastErrorText, L"earlier text");
        EXPECT_EQ(findKeyBlock(changed.data()), 1) << "byte " << i;
        EXPECT_EQ(error(), L"earlier text") << "a block that is not there is no failure";
    }
}

TEST_F(KeyStoreTest, EmptyHomeSlotMeansNotFoundWithoutReport) {
    makeDrive(20, statusRecord(1, 1, 19));
    Bytes stranger(kKeyBlockSize, 0x11);
    putBe32(stranger.data() + 4, 5);   // slot 5 holds nothing: homes are multiples of 7
    ASSERT_EQ(buildIndex()[5], 0u);
    std::wcscpy(lastErrorText, L"earlier text");
    EXPECT_EQ(findKeyBlock(stranger.data()), 1);
    EXPECT_EQ(error(), L"earlier text");
}

TEST_F(KeyStoreTest, DamagedIndexIsNamed) {
    struct Case {
        const char* what;
        uint32_t entry;        // the value put in every slot
        size_t slots;          // index length
        const wchar_t* message;
    } cases[] = {
        {"entry equal to N", 20, 200, L"'SETTINGS/INDEX.DAT' is damaged: slot "},
        {"entry far beyond N", 0xFFFFFFFF, 200, L"'SETTINGS/INDEX.DAT' is damaged: slot "},
        {"full without a match", 2, 200, L"'SETTINGS/INDEX.DAT' is damaged: none of its 200 slots"},
        {"too short", 2, 50, L"cannot read from 'SETTINGS/INDEX.DAT': "},
    };
    for (const Case& c : cases) {
        closeKeyStoreForTest();
        makeDrive(20, statusRecord(1, 1, 19));
        writeIndex(std::vector<uint32_t>(c.slots, c.entry));
        EXPECT_EQ(findKeyBlock(block(7)), 1) << c.what;
        EXPECT_EQ(error().rfind(c.message, 0), 0u) << c.what << ": " << error();
    }
}

// ------------------------------------------------------------------ usage record

TEST_F(KeyStoreTest, RaiseHighWaterMark) {
    struct Case {
        uint32_t found;   // cursor after findKeyBlock
        uint32_t high;
        uint32_t last;
        uint32_t expectedHigh;
        bool logged;
    } cases[] = {
        {6, 6, 19, 6, false},    // cursor equal to the mark: nothing to do
        {4, 6, 19, 6, false},    // below the mark
        {12, 6, 10, 6, false},   // above lastBlock
        {12, 6, 19, 12, true},
        {10, 6, 10, 10, true},   // at lastBlock
    };
    fs::create_directory(folder_ / "LOG");
    for (const Case& c : cases) {
        closeKeyStoreForTest();
        closeLogForTest();
        fs::remove(folder_ / "LOG" / "log.txt");
        makeDrive(20, statusRecord(c.high, 1, c.last));
        ASSERT_EQ(findKeyBlock(block(c.found)), 0) << error();
        EXPECT_EQ(raiseHighWaterMark(), 0) << error();
        EXPECT_EQ(read("STATUS.DAT"), statusRecord(c.expectedHigh, 1, c.last)) << "cursor " << c.found;
        closeLogForTest();
        std::ifstream log(folder_ / "LOG" / "log.txt");
        std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        std::string line = "raising high water mark from " + std::to_string(c.high) + " to " +
                           std::to_string(c.found);
        EXPECT_EQ(text.find(line) != std::string::npos, c.logged) << text;
    }
}

TEST_F(KeyStoreTest, RaiseNeedsTheWholeRecord) {
    makeDrive(20, Bytes{2, 0, 0, 0});
    ASSERT_EQ(findKeyBlock(block(9)), 0) << error();
    EXPECT_EQ(raiseHighWaterMark(), 1);
    EXPECT_EQ(error().rfind(L"'SETTINGS/STATUS.DAT' is damaged: it holds 4 bytes", 0), 0u) << error();
    EXPECT_EQ(read("STATUS.DAT"), (Bytes{2, 0, 0, 0}));
}

TEST_F(KeyStoreTest, UsagePercent) {
    struct Case {
        uint32_t high, first, last;
        double percent;
    } cases[] = {
        {1, 1, 19, 0.0},                 // nothing used
        {10, 1, 19, 9 * 100.0 / 17},     // divided by lastBlock - firstBlock - 1
        {5, 4, 5, 100.0},                // span 0, a block used
        {4, 4, 5, 0.0},                  // span 0, nothing used
        {6, 4, 5, 100.0},                // span 0, the range used up
        {20, 1, 19, 100.0},              // the range used up: its mark past lastBlock
        {19, 1, 19, 100.0},              // one block left of 19: within the divisor's two
        {511, 400, 510, 100.0},          // a used-up partner range, never 100.9
        {9, 9, 9, 0.0},                  // a range of one block, unused
    };
    for (const Case& c : cases) {
        closeKeyStoreForTest();
        makeDrive(20, statusRecord(c.high, c.first, c.last));
        ASSERT_EQ(openKeyStore(), 0) << error();
        EXPECT_DOUBLE_EQ(keyUsagePercent(), c.percent) << c.high << " " << c.first << " " << c.last;
    }
}

TEST_F(KeyStoreTest, BlocksLeftAreThoseOfTheDrivesOwnRange) {
    struct Case {
        uint32_t high, first, last;
        uint64_t left;
    } cases[] = {
        {1, 1, 19, 19},    // a fresh drive: pad blocks 1 to 19
        {10, 1, 19, 10},
        {20, 1, 19, 0},    // all used
        {1, 1, 9, 9},      // the lower share of a split drive
        {19, 1, 20, 1},    // never past the key's last pad block
    };
    for (const Case& c : cases) {
        closeKeyStoreForTest();
        makeDrive(20, statusRecord(c.high, c.first, c.last));
        ASSERT_EQ(openKeyStore(), 0) << error();
        uint64_t left = 99;
        EXPECT_EQ(keyBlocksLeft(&left), 0) << error();
        EXPECT_EQ(left, c.left) << c.high << " " << c.first << " " << c.last;
    }
}

// ------------------------------------------------------------------ block 0

TEST_F(KeyStoreTest, KeyNumberNeedsOnlyTheKeyFile) {
    makeKey(20);
    const uint8_t id[12] = {0x34, 0x12, 0xCD, 0xAB, 0x00, 0x00, 0xFF, 0xFF, 0x01, 0x00, 0xEF, 0xBE};
    std::memcpy(block(0), id, sizeof id);
    write("KEY.DAT", key_);
    std::wcsncpy(keyDriveRoot, folder_.wstring().c_str(), kPathSize);
    EXPECT_STREQ(keyNumberText(), L"1234-ABCD-0000-FFFF-0001-BEEF");

    fs::remove(folder_ / "SETTINGS" / "KEY.DAT");
    EXPECT_STREQ(keyNumberText(), L"?");
    std::wstring expected = L"cannot open '" + folder_.wstring() + L"/SETTINGS/KEY.DAT': ";
    EXPECT_EQ(error().rfind(expected, 0), 0u) << error();
}

TEST_F(KeyStoreTest, WorkspacePasswordComesFromBlockZero) {
    makeKey(20);
    for (int i = 0; i < 32; ++i) block(0)[i] = uint8_t(i * 9 + 1);
    write("KEY.DAT", key_);
    writeIndex(buildIndex());
    write("STATUS.DAT", statusRecord(1, 1, 19));
    ASSERT_EQ(exportWorkspacePassword(), 0) << error();
    std::wstring value;
    ASSERT_TRUE(plat::getEnv(L"VKLIB_PASSWORD", &value));
    wchar_t expected[80];
    std::swprintf(expected, 80, L"%08X%08X%08X%08X%08X%08X%08X%08X", getLe32(block(0)),
                  getLe32(block(0) + 4), getLe32(block(0) + 8), getLe32(block(0) + 12),
                  getLe32(block(0) + 16), getLe32(block(0) + 20), getLe32(block(0) + 24),
                  getLe32(block(0) + 28));
    EXPECT_EQ(value, expected);
    EXPECT_EQ(value.substr(0, 8), L"1C130A01");
}

// ------------------------------------------------------------------ decay of the pad

// The digest of the key file as it is now, in spans of spanBlocks blocks.
Bytes padDigestOf(const fs::path& keyFile, uint32_t spanBlocks) {
    FILE* key = plat::openFile(keyFile.wstring(), L"rb");
    EXPECT_NE(key, nullptr);
    if (key == nullptr) return Bytes();
    PadDigest digest;
    digest.spanBlocks = spanBlocks;
    digest.keyBytes = fs::file_size(keyFile);
    EXPECT_EQ(digestPadSpans(key, digest.keyBytes, spanBlocks, 0, padSpanCount(digest.keyBytes, spanBlocks),
                             [&](uint64_t, const uint8_t* d) {
                                 digest.spans.insert(digest.spans.end(), d, d + kPadDigestSize);
                                 return true;
                             }),
              0);
    std::fclose(key);
    return encodePadDigest(digest);
}

// A decryption that failed its tamper check learns whether the key blocks
// it drew have changed since the digest was made, and only then.
TEST_F(KeyStoreTest, PadDecayIsNotedForTheBlocksAFileDrew) {
    struct Case {
        const char* what;
        uint32_t flipped;           // a byte of this block changes; 0: none
        uint32_t first;             // the blocks the file drew
        uint64_t count;
        void (*spoil)(KeyStoreTest*);
        const wchar_t* note;        // part of the note; nullptr: no note
    } cases[] = {
        {"a drawn block changed", 17, 15, 4, nullptr, L"in key blocks 16 to 23, which this file was encrypted with"},
        {"another block changed", 30, 15, 4, nullptr, nullptr},
        {"nothing changed", 0, 15, 4, nullptr, nullptr},
        // 38, 39, then 1, 2, 3: drawing wraps past the last block to block 1.
        {"a block drawn after the wrap", 2, 38, 5, nullptr, L"in key blocks 0 to 7"},
        {"no digest kept", 17, 15, 4, [](KeyStoreTest* t) { fs::remove(t->folder_ / "SETTINGS" / "KEYSUM.DAT"); },
         nullptr},
        {"a damaged digest", 17, 15, 4,
         [](KeyStoreTest* t) {
             Bytes digest = t->read("KEYSUM.DAT");
             digest[30] ^= 1;
             t->write("KEYSUM.DAT", digest);
         },
         nullptr},
        {"a shortened key file", 0, 15, 4,
         [](KeyStoreTest* t) { fs::resize_file(t->folder_ / "SETTINGS" / "KEY.DAT", 39 * kKeyBlockSize); },
         L"its key file holds 39936 bytes, but held 40960 when its digest was made"},
    };
    fs::create_directory(folder_ / "LOG");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        closeKeyStoreForTest();
        makeDrive(40, statusRecord(1, 1, 39));
        write("KEYSUM.DAT", padDigestOf(folder_ / "SETTINGS" / "KEY.DAT", 8));
        if (c.flipped != 0) {
            block(c.flipped)[500] ^= 0x40;
            write("KEY.DAT", key_);
        }
        if (c.spoil) c.spoil(this);
        std::wcscpy(lastErrorText, L"'a.txt' may have been tampered with");
        notePadDecay(c.first, c.count);
        EXPECT_EQ(error().rfind(L"'a.txt' may have been tampered with", 0), 0u) << error();
        if (c.note == nullptr) {
            EXPECT_EQ(error(), L"'a.txt' may have been tampered with");
        } else {
            EXPECT_NE(error().find(L"\n\nThe key drive itself is damaged: "), std::wstring::npos) << error();
            EXPECT_NE(error().find(c.note), std::wstring::npos) << error();
            EXPECT_NE(error().find(L"decrypt it with a backup of this key drive"), std::wstring::npos) << error();
        }
    }
}

TEST_F(KeyStoreTest, PadDigestFileIsReadOnlyWhenWhole) {
    makeDrive(40, statusRecord(1, 1, 39));
    const Bytes good = padDigestOf(folder_ / "SETTINGS" / "KEY.DAT", 8);
    const std::wstring path = (folder_ / "SETTINGS" / "KEYSUM.DAT").wstring();
    struct Case {
        const char* what;
        Bytes bytes;
        int result;
        const wchar_t* why;
    } cases[] = {
        {"whole", good, 0, nullptr},
        {"cut short", Bytes(good.begin(), good.end() - 1), 2, L"where the digest of a key file of 40960 bytes has"},
        {"a changed span", [&] { Bytes b = good; b[24 + 64 + 3] ^= 1; return b; }(), 2,
         L"does not match its own digest"},
        {"not a digest", Bytes(good.size(), 'x'), 2, L"is not a digest of a key file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write("KEYSUM.DAT", c.bytes);
        PadDigest digest;
        std::wstring why;
        EXPECT_EQ(readPadDigest(path, &digest, &why), c.result) << why;
        if (c.result == 0) {
            EXPECT_EQ(digest.spanBlocks, 8u);
            EXPECT_EQ(digest.keyBytes, 40u * kKeyBlockSize);
            EXPECT_EQ(digest.spanCount(), 5u);
        } else {
            EXPECT_NE(why.find(c.why), std::wstring::npos) << why;
        }
    }
    fs::remove(path);
    PadDigest digest;
    std::wstring why;
    EXPECT_EQ(readPadDigest(path, &digest, &why), 1) << why;
}

// ------------------------------------------------------------------ past 2 GiB

TEST_F(KeyStoreTest, BlocksBeyondTwoGiBAreReached) {
    // A sparse key of 2 GiB + 8 blocks with a known block past 2 GiB.
    const uint32_t n = (1u << 21) + 8;
    const uint32_t far = n - 3;
    makeKey(20);
    Bytes farBlock(block(5), block(5) + kKeyBlockSize);
    putBe32(farBlock.data() + 4, 123456);
    write("KEY.DAT", key_);
    std::error_code ec;
    fs::resize_file(folder_ / "SETTINGS" / "KEY.DAT", uint64_t(n) * kKeyBlockSize, ec);
    if (ec) GTEST_SKIP() << "no sparse files here";
    {
        FILE* f = plat::openFile((folder_ / "SETTINGS" / "KEY.DAT").wstring(), L"rb+");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(plat::seekFile(f, int64_t(far) * kKeyBlockSize, SEEK_SET), 0);
        ASSERT_EQ(std::fwrite(farBlock.data(), 1, kKeyBlockSize, f), kKeyBlockSize);
        std::fclose(f);
    }
    {
        write("INDEX.DAT", Bytes());
        fs::resize_file(folder_ / "SETTINGS" / "INDEX.DAT", uint64_t(n) * 40, ec);
        ASSERT_FALSE(ec);
        FILE* f = plat::openFile((folder_ / "SETTINGS" / "INDEX.DAT").wstring(), L"rb+");
        ASSERT_NE(f, nullptr);
        uint8_t entry[4];
        putLe32(entry, far);
        ASSERT_EQ(plat::seekFile(f, int64_t(123456) * 4, SEEK_SET), 0);
        ASSERT_EQ(std::fwrite(entry, 1, 4, f), 4u);
        std::fclose(f);
    }
    write("STATUS.DAT", statusRecord(far, 1, n - 1));
    ASSERT_EQ(findKeyBlock(farBlock.data()), 0) << error();
    const uint8_t* served = nextKeyBlock();
    ASSERT_NE(served, nullptr);
    EXPECT_EQ(0, std::memcmp(served, farBlock.data(), kKeyBlockSize));

    ASSERT_EQ(reserveKeyBlocks(3), 0) << error();
    served = nextKeyBlock();
    ASSERT_NE(served, nullptr);
    EXPECT_EQ(0, std::memcmp(served, farBlock.data(), kKeyBlockSize));
    EXPECT_EQ(reserveKeyBlocks(1), 1);
    EXPECT_EQ(read("STATUS.DAT"), statusRecord(n, 1, n - 1));
}

}  // namespace
