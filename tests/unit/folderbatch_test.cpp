// A dropped folder's files taken a batch at a time, handed to the batch as
// the walk hands them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/encrypt.h"
#include "codec/format.h"
#include "codec/pending.h"
#include "codec_keydrive.h"
#include "diag/error.h"
#include "key/key.h"
#include "platform/platform.h"
#include "walk/folderbatch.h"

namespace {

using namespace codectest;

class FolderBatchTest : public KeyDriveTest {
protected:
    uint32_t blockCount() const override { return 400; }

    void SetUp() override {
        KeyDriveTest::SetUp();
        fs::create_directories(root / "LOG");
        resetPendingForTest();
    }

    BatchFile file(const std::wstring& name) {
        BatchFile f;
        f.path = workPath(name);
        EXPECT_TRUE(plat::nameIdentity(f.path, &f.id));
        f.folder = workPrefix();
        EXPECT_TRUE(plat::nameIdentity((root / "work").wstring(), &f.folderId));
        return f;
    }
    std::vector<std::wstring> work() const {
        std::vector<std::wstring> names;
        for (const auto& e : fs::directory_iterator(root / "work")) names.push_back(e.path().filename().wstring());
        std::sort(names.begin(), names.end());
        return names;
    }
    uint32_t mark() const {
        const Bytes status = readBytes(root / "SETTINGS" / "STATUS.DAT");
        return uint32_t(status[0]) | uint32_t(status[1]) << 8 | uint32_t(status[2]) << 16 |
               uint32_t(status[3]) << 24;
    }
};

// One reservation of exactly the blocks of the batch's files; each file
// encrypted and its plaintext erased; nothing left in the journal.
TEST_F(FolderBatchTest, EncryptsItsFilesOnOneReservation) {
    const std::size_t sizes[] = {0, 700, 1024, 5000, 30000};
    std::vector<std::wstring> names;
    uint64_t blocks = 0;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        names.push_back(L"f" + std::to_wstring(i) + L".bin");
        writeBytes(workPath(names.back()), randomBytes(sizes[i], 40 + uint32_t(i)));
        EncryptionNeeds needs;
        ASSERT_EQ(checkEncryption(workPrefix().c_str(), workPath(names.back()).c_str(), nullptr, &needs), 0)
            << lastErrorText;
        blocks += needs.keyBlocks;
    }
    ASSERT_EQ(openKeyStore(), 0) << lastErrorText;
    const uint32_t before = mark();
    for (const std::wstring& name : names) ASSERT_EQ(batchAdd(BatchWork::Encrypt, file(name)), 0) << lastErrorText;
    EXPECT_EQ(mark(), before) << "nothing is done before the batch runs";
    ASSERT_EQ(batchRun(), 0) << lastErrorText;
    EXPECT_EQ(mark(), before + blocks);
    EXPECT_EQ(keyBatchLeft(), 0u);
    std::vector<std::wstring> expected;
    for (const std::wstring& name : names) expected.push_back(name + codec::kEncryptedSuffix);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(work(), expected);
    closePending();
    EXPECT_TRUE(journal().empty());

    // And back: the batch decrypts them, and erases the encrypted files.
    for (const std::wstring& name : expected) ASSERT_EQ(batchAdd(BatchWork::Decrypt, file(name)), 0);
    ASSERT_EQ(batchRun(), 0) << lastErrorText;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(work(), names);
    for (std::size_t i = 0; i < std::size(sizes); ++i)
        EXPECT_EQ(readBytes(workPath(L"f" + std::to_wstring(i) + L".bin")), randomBytes(sizes[i], 40 + uint32_t(i)));
    EXPECT_EQ(mark(), before + blocks);
}

// Files with long paths make smaller batches, so that the batch's record
// files stay small enough for recovery to read.
TEST_F(FolderBatchTest, LongPathsMakeSmallerBatches) {
    if (plat::maxPathLength() < 600) GTEST_SKIP() << "paths this long are not possible here";
    fs::path deep = root / "work";
    while (deep.wstring().size() < 380) deep /= std::wstring(120, L'd');
    fs::create_directories(deep);
    const std::wstring prefix = deep.wstring() + plat::kSep;
    BatchFile f;
    ASSERT_TRUE(plat::nameIdentity(deep.wstring(), &f.folderId));
    f.folder = prefix;
    std::size_t ranEarly = 0;
    for (int i = 0; i < 40; ++i) {
        f.path = prefix + L"f" + std::to_wstring(i);
        writeBytes(f.path, randomBytes(100, 70 + i));
        ASSERT_TRUE(plat::nameIdentity(f.path, &f.id));
        ASSERT_EQ(batchAdd(BatchWork::Encrypt, f), 0) << lastErrorText;
    }
    for (int i = 0; i < 40; ++i)
        if (fs::exists(fs::path(prefix + L"f" + std::to_wstring(i) + codec::kEncryptedSuffix))) ++ranEarly;
    EXPECT_GT(ranEarly, 0u) << "a batch ran before the batch's count was reached";
    EXPECT_LT(ranEarly, 40u);
    ASSERT_EQ(batchRun(), 0) << lastErrorText;
    for (int i = 0; i < 40; ++i) {
        EXPECT_FALSE(fs::exists(fs::path(prefix + L"f" + std::to_wstring(i))));
        EXPECT_TRUE(fs::exists(fs::path(prefix + L"f" + std::to_wstring(i) + codec::kEncryptedSuffix)));
    }
}

// Two encrypted files of one batch that store one name: the first puts its
// plaintext there; the second is refused before anything is written for it
// and its output made ahead is removed.
TEST_F(FolderBatchTest, OutputsOfOneNameAreTakenOneAfterTheOther) {
    const wchar_t* encrypted[] = {L"first", L"second"};
    for (int i = 0; i < 2; ++i) {
        writeBytes(workPath(L"a.txt"), randomBytes(3000, 60 + i));
        const wchar_t* result = nullptr;
        ASSERT_EQ(encryptFile(workPrefix().c_str(), workPath(L"a.txt").c_str(), nullptr, &result), 0)
            << lastErrorText;
        fs::rename(fs::path(result), root / "work" / encrypted[i]);
    }
    fs::remove(root / "work" / "a.txt");
    for (const wchar_t* name : encrypted) ASSERT_EQ(batchAdd(BatchWork::Decrypt, file(name)), 0);
    EXPECT_EQ(batchRun(), 1);
    EXPECT_NE(std::wstring(lastErrorText).find(L"exists already"), std::wstring::npos) << lastErrorText;
    EXPECT_EQ(work(), (std::vector<std::wstring>{L"a.txt", L"second"}));
    EXPECT_EQ(readBytes(workPath(L"a.txt")), randomBytes(3000, 60));
    closePending();
    EXPECT_TRUE(journal().empty());
}

}  // namespace
