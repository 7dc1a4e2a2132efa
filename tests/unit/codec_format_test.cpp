// The encrypted file as stored, byte for byte against the key blocks, and
// round trips through encryption and decryption.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "codec/format.h"
#include "codec_keydrive.h"
#include "digest/filedigest.h"
#include "platform/utf8.h"

namespace {

using namespace codectest;
using namespace codec;

std::vector<double> fractions;
void recordFraction(double x) { fractions.push_back(x); }

class CodecFormatTest : public KeyDriveTest {
protected:
    uint32_t blockCount() const override { return 4200; }   // room for a few MiB
    void SetUp() override {
        KeyDriveTest::SetUp();
        fractions.clear();
        progressObserverForTest = recordFraction;
    }
    void TearDown() override {
        progressObserverForTest = nullptr;
        KeyDriveTest::TearDown();
    }

    // Encrypts work/<name> holding data; returns the encrypted file's path.
    std::wstring encrypt(const std::wstring& name, const Bytes& data) {
        writeBytes(workPath(name), data);
        const wchar_t* result = reinterpret_cast<const wchar_t*>(1);
        std::wstring source = workPrefix() + name;
        int rc = encryptFile(workPrefix().c_str(), source.c_str(), nullptr, &result);
        EXPECT_EQ(rc, 0) << lastError();
        if (rc != 0) return L"";
        EXPECT_EQ(std::wstring(result), workPrefix() + name + L" (encrypted)");
        EXPECT_EQ(readBytes(workPath(name)), data) << "the source is left as it was";
        return result;
    }

    // Probes and decrypts an encrypted file into the work folder; returns
    // what it wrote.
    Bytes decryptIntoWork(const std::wstring& encrypted) {
        int32_t e = 0, a = 0;
        EXPECT_EQ(probeFile(encrypted.c_str(), &e, &a), 0);
        EXPECT_TRUE(e);
        const wchar_t* out = nullptr;
        EXPECT_EQ(decryptFile(encrypted.c_str(), workPrefix().c_str(), &out), 0) << lastError();
        return out ? readBytes(out) : Bytes();
    }
};

// Checks every byte of an encrypted file made right after the key drive
// was set up (so its blocks start at block 1).
void checkLayout(const Bytes& file, const Bytes& plain, const std::wstring& baseName,
                 const std::function<Bytes(uint32_t)>& block, const Bytes& digest) {
    const uint64_t n = plain.size();
    const uint32_t m = static_cast<uint32_t>(chunkCount(n));
    const Bytes headerKey = block(1);
    const uint32_t t = getU32(block(3 + m).data()) & 0x3FF;
    ASSERT_EQ(file.size(), 1024u * (m + 1) + t);

    Bytes header(file.begin(), file.begin() + 1024);
    for (int i = 0; i < 1024; ++i) header[i] ^= headerKey[i];
    EXPECT_EQ(getU32(&header[0]), 2u);
    for (int i = 4; i < 264; ++i) ASSERT_EQ(header[i], 0) << "keyId byte " << i;
    EXPECT_EQ(getU64(&header[264]), n);
    std::vector<uint8_t> name(512, 0);
    for (std::size_t i = 0; i < baseName.size(); ++i) {
        name[2 * i] = static_cast<uint8_t>(baseName[i]);
        name[2 * i + 1] = static_cast<uint8_t>(baseName[i] >> 8);
    }
    EXPECT_TRUE(std::equal(name.begin(), name.end(), header.begin() + 272));
    EXPECT_TRUE(std::equal(digest.begin(), digest.end(), header.begin() + 784));
    for (int i = 848; i < 1024; ++i) ASSERT_EQ(header[i], 0) << "reserved byte " << i;

    for (uint32_t c = 0; c < m; ++c) {
        const Bytes key = block(3 + c);
        const uint8_t* stored = &file[1024 * (c + 1)];
        const uint8_t* previous = &file[1024 * c];   // stored header or chunk
        for (uint32_t j = 0; j < 1024; ++j) {
            uint64_t pos = uint64_t(c) * 1024 + j;
            uint8_t expected = pos < n ? plain[pos] : previous[j];   // filler
            ASSERT_EQ(stored[j] ^ key[j], expected) << "chunk " << c << " byte " << j;
        }
    }
    const Bytes tail = block(4 + m);
    for (uint32_t j = 0; j < t; ++j) ASSERT_EQ(file[1024 * (m + 1) + j], tail[j]) << "tail byte " << j;
}

TEST_F(CodecFormatTest, StoredLayoutAndRoundTrip) {
    struct Case {
        const wchar_t* name;
        std::size_t size;
    };
    const Case cases[] = {
        {L"empty.txt", 0},      {L"one.bin", 1},         {L"short.bin", 1023},
        {L"exact.bin", 1024},   {L"over.bin", 1025},     {L"two.bin", 2048},
        {L"pieces.bin", 3 * 4096},
        // Around the pieces in which the source is read and digested, and
        // beyond the output buffer (the header is then put in place in the
        // file itself).
        {L"slot-1.bin", 256 * 1024 - 1}, {L"slot.bin", 256 * 1024}, {L"slot+1.bin", 256 * 1024 + 1},
        {L"big.bin", 3 * 1024 * 1024 + 17},
    };
    uint32_t seed = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size);
        TearDown();
        SetUp();
        Bytes plain = randomBytes(c.size, ++seed);
        const uint32_t m = static_cast<uint32_t>(chunkCount(c.size));
        std::wstring encrypted = encrypt(c.name, plain);
        ASSERT_FALSE(encrypted.empty());
        EXPECT_EQ(highWaterMark(), 1 + m + 4) << "reserves ceil(n/1024) + 4 blocks";

        uint8_t digest[64];
        ASSERT_EQ(digestFile((workPrefix() + c.name).c_str(), keyBlock(2).data(), digest), 0);
        checkLayout(readBytes(encrypted), plain, c.name,
                    [this](uint32_t b) { return keyBlock(b); }, Bytes(digest, digest + 64));

        // Progress: i / (m + 2) for each chunk i.
        ASSERT_EQ(fractions.size(), m);
        for (uint32_t i = 0; i < m; ++i) EXPECT_DOUBLE_EQ(fractions[i], double(i) / (m + 2));

        // Decrypt into another folder; its stored name comes back.
        fs::create_directories(root / "out");
        fractions.clear();
        int32_t isEncrypted = 0, isArchive = 0;
        ASSERT_EQ(probeFile(encrypted.c_str(), &isEncrypted, &isArchive), 0);
        EXPECT_EQ(isEncrypted, -1);
        EXPECT_EQ(isArchive, 0);
        const wchar_t* out = nullptr;
        std::wstring outDir = (root / "out").wstring() + plat::kSep;
        ASSERT_EQ(decryptFile(encrypted.c_str(), outDir.c_str(), &out), 0) << lastError();
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::wstring(out), outDir + c.name);
        EXPECT_EQ(readBytes(out), plain);
        EXPECT_FALSE(fs::exists(std::wstring(out) + L".tmp"));
        // One update per chunk; the tail is not read.
        const std::size_t pieces = m;
        ASSERT_EQ(fractions.size(), pieces);
        for (std::size_t i = 0; i < pieces; ++i) {
            uint64_t written = std::min<uint64_t>(uint64_t(i + 1) * 1024, c.size);
            EXPECT_DOUBLE_EQ(fractions[i], double(written) / (double(c.size) + 1));
        }
    }
}

TEST_F(CodecFormatTest, TailLengthComesFromTheTailLengthBlock) {
    // 1500 bytes: m = 2, tail-length block 5, tail block 6.
    struct Case {
        uint32_t word;
        uint32_t tail;
    };
    for (Case c : {Case{0xABCDE400u, 0}, Case{0x00000001u, 1}, Case{0xFFFFFFFFu, 1023}, Case{0x12345678u, 0x278}}) {
        SCOPED_TRACE(testing::Message() << std::hex << c.word);
        TearDown();
        SetUp();
        setBlockWord(5, c.word);
        Bytes plain = randomBytes(1500, 7);
        std::wstring encrypted = encrypt(L"t.bin", plain);
        Bytes file = readBytes(encrypted);
        ASSERT_EQ(file.size(), 3 * 1024 + c.tail);
        Bytes tail = keyBlock(6);
        EXPECT_TRUE(std::equal(file.begin() + 3 * 1024, file.end(), tail.begin()));
        EXPECT_EQ(highWaterMark(), 1u + 2 + 4) << "the tail block is reserved even when not drawn";

        // Decrypted on a drive whose mark is lower (a copy of the pad), the
        // mark rises past the writer's whole reservation, the tail block
        // included whether or not the writer drew it.
        setHighWaterMark(1);
        int32_t e = 0, a = 0;
        ASSERT_EQ(probeFile(encrypted.c_str(), &e, &a), 0);
        ASSERT_TRUE(e);
        const wchar_t* out = nullptr;
        plat::removeFile(workPath(L"t.bin"));
        ASSERT_EQ(decryptFile(encrypted.c_str(), workPrefix().c_str(), &out), 0) << lastError();
        EXPECT_EQ(readBytes(out), plain);
        EXPECT_EQ(highWaterMark(), 1u + 2 + 4);
    }
}

// A drive decrypting a file made on another copy of the pad raises its mark
// to header + ceil(n / 1024) + 4, never further: not for the tail, not for
// bytes appended to the file. A file whose header block lies outside this
// drive's share of the pad (firstBlock ... lastBlock) raises nothing.
TEST_F(CodecFormatTest, DecryptionRaisesTheMarkOverTheWritersWholeReservation) {
    struct Case {
        std::size_t size;
        uint32_t tailWord;      // first word of the tail-length block
        std::size_t appended;   // bytes added after the tail
    };
    const Case cases[] = {
        {0, 0x400, 0},     {0, 0x3FF, 700},   {1, 0x001, 0},       {1024, 0x000, 3000},
        {1025, 0x200, 0},  {5000, 0x3FF, 1},  {5000, 0x000, 2048}, {20480, 0x123, 10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " tail word " << c.tailWord
                                        << " appended " << c.appended);
        TearDown();
        SetUp();
        const uint32_t header = 10;   // the writer's copy had used blocks 1 ... 9
        const uint32_t m = static_cast<uint32_t>(chunkCount(c.size));
        setBlockWord(header + 2 + m, c.tailWord);
        setHighWaterMark(header);
        Bytes plain = randomBytes(c.size, 31);
        std::wstring encrypted = encrypt(L"carrier.bin", plain);
        ASSERT_EQ(highWaterMark(), header + m + 4);
        plat::removeFile(workPath(L"carrier.bin"));
        Bytes file = readBytes(encrypted);
        Bytes extra = randomBytes(c.appended, 32);
        file.insert(file.end(), extra.begin(), extra.end());
        writeBytes(encrypted, file);

        // This drive, a copy of the same pad, has handed out nothing yet.
        setHighWaterMark(1);
        EXPECT_EQ(decryptIntoWork(encrypted), plain);
        EXPECT_EQ(highWaterMark(), header + m + 4);
    }
}

TEST_F(CodecFormatTest, PartnersShareOfThePadLeavesTheMarkAlone) {
    Bytes plain = randomBytes(3000, 41);
    setHighWaterMark(100);
    std::wstring encrypted = encrypt(L"partner.bin", plain);   // header block 100
    plat::removeFile(workPath(L"partner.bin"));
    struct Case {
        uint32_t high, first, last;
        uint32_t expectedHigh;
    };
    const Case cases[] = {
        {1, 1, 99, 1},          // this drive's share ends below the file
        {200, 150, 4199, 200},  // this drive's share starts above it
        {1, 1, 101, 102},       // the file runs past lastBlock: raised to lastBlock + 1
        {100, 100, 4199, 107},  // the share starts at the header block
        {1, 100, 4199, 1},      // a mark below the share: a damaged record is never written
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << " ... " << c.last);
        closeKeyStoreForTest();
        writeBytes(root / "SETTINGS" / "STATUS.DAT", keydrive::statusRecord(c.high, c.first, c.last));
        plat::removeFile(workPath(L"partner.bin"));
        EXPECT_EQ(decryptIntoWork(encrypted), plain);
        EXPECT_EQ(highWaterMark(), c.expectedHigh);
    }
}

TEST_F(CodecFormatTest, BaseNameRules) {
    struct Case {
        std::wstring path;
        std::wstring base;
    };
    // The base name ends where the folder part ends: at either separator on
    // Windows, at '/' only on POSIX, where '\' belongs to names.
    const Case cases[] = {
        {L"dir/sub/file.txt", L"file.txt"},
        {L"plain.txt", L"plain.txt"},
        {L"dir/", L""},
#ifdef _WIN32
        {L"C:\\dir\\file.txt", L"file.txt"},
        {L"Z:/data/work\\a.txt", L"a.txt"},   // a folder dropped with '/'
        {L"a\\b/c.txt", L"c.txt"},
#else
        {L"/dir/back\\slash.txt", L"back\\slash.txt"},
        {L"C:\\dir\\file.txt", L"C:\\dir\\file.txt"},
        {L"a/b:c.txt", L"b:c.txt"},
#endif
    };
    for (const Case& c : cases) EXPECT_EQ(baseNameOf(c.path), c.base) << std::string(c.path.begin(), c.path.end());
}

TEST_F(CodecFormatTest, StoredNameRoundTripsOutsideTheBasicPlane) {
    // Stored as UTF-16LE: a character beyond U+FFFF takes a surrogate pair.
    std::wstring name = L"caf\u00e9 ";
    if (sizeof(wchar_t) == 4) {
        name += static_cast<wchar_t>(0x1F600);
    } else {
        name += static_cast<wchar_t>(0xD83D);
        name += static_cast<wchar_t>(0xDE00);
    }
    name += L".txt";
    uint8_t header[1024] = {};
    ASSERT_TRUE(storeBaseName(name, header));
    const uint8_t expected[] = {'c', 0, 'a', 0, 'f', 0, 0xE9, 0, ' ', 0, 0x3D, 0xD8, 0x00, 0xDE, '.', 0};
    EXPECT_EQ(std::memcmp(header + 272, expected, sizeof expected), 0);
    std::wstring back;
    EXPECT_EQ(loadBaseName(header, &back), nullptr);
    EXPECT_EQ(back, name);

    Bytes plain = randomBytes(3000, 9);
    std::wstring encrypted = encrypt(name, plain);
    plat::removeFile(workPath(name));
    int32_t e = 0, a = 0;
    ASSERT_EQ(probeFile(encrypted.c_str(), &e, &a), 0);
    const wchar_t* out = nullptr;
    ASSERT_EQ(decryptFile(encrypted.c_str(), workPrefix().c_str(), &out), 0) << lastError();
    EXPECT_EQ(readBytes(workPath(name)), plain);
}

// A byte of a name that is not UTF-8 is stored as its lone surrogate code
// unit and read back as the same escape; no other lone surrogate has a form
// in a POSIX file name, while a Windows file name holds any.
TEST_F(CodecFormatTest, StoredNameCarriesByteEscapes) {
    std::wstring name = L"caf";
    name += static_cast<wchar_t>(0xDCE9);
    name += L".txt";
    uint8_t header[1024] = {};
    ASSERT_TRUE(storeBaseName(name, header));
    const uint8_t expected[] = {'c', 0, 'a', 0, 'f', 0, 0xE9, 0xDC, '.', 0, 't', 0, 'x', 0, 't', 0, 0, 0};
    EXPECT_EQ(std::memcmp(header + 272, expected, sizeof expected), 0);
    std::wstring back;
    EXPECT_EQ(loadBaseName(header, &back), nullptr);
    EXPECT_EQ(back, name);

    header[272 + 6] = 0x00;   // U+DC00: a lone surrogate that is no byte escape
    const wchar_t* problem = loadBaseName(header, &back);
#ifdef _WIN32
    EXPECT_EQ(problem, nullptr);
#else
    ASSERT_NE(problem, nullptr);
    EXPECT_EQ(std::wstring(problem), L"contains a lone UTF-16 surrogate that a file name here cannot hold");
    std::wstring lone = L"a";
    lone += static_cast<wchar_t>(0xDC00);
    EXPECT_FALSE(storeBaseName(lone, header));
#endif
}

#ifndef _WIN32
// Names that are ordinary on POSIX file systems encrypt and decrypt to the
// same bytes: ':', '\', bytes that are not UTF-8, blanks, a leading '-'.
TEST_F(CodecFormatTest, PosixNamesRoundTripByteForByte) {
    std::wstring latin1 = L"caf";
    latin1 += static_cast<wchar_t>(0xDCE9);   // the byte 0xE9 of a Latin-1 name
    const std::wstring names[] = {L"meeting 10:30.txt", L"back\\slash.txt", latin1 + L".txt",
                                  L" blanks around ", L"-leading dash", L"C:\\dos\\path.txt"};
    uint32_t seed = 500;
    for (const std::wstring& name : names) {
        SCOPED_TRACE(utf8::pathFromWide(name));
        Bytes plain = randomBytes(1500, ++seed);
        std::wstring encrypted = encrypt(name, plain);
        ASSERT_FALSE(encrypted.empty());
        ASSERT_EQ(plat::removeFile(workPath(name)), 0);
        int32_t e = 0, a = 0;
        ASSERT_EQ(probeFile(encrypted.c_str(), &e, &a), 0) << lastError();
        const wchar_t* out = nullptr;
        ASSERT_EQ(decryptFile(encrypted.c_str(), workPrefix().c_str(), &out), 0) << lastError();
        EXPECT_EQ(std::wstring(out), workPath(name));
        EXPECT_EQ(readBytes(workPath(name)), plain);
    }
    // The Latin-1 name is on disk as its own bytes.
    std::string raw = (root / "work").string() + "/caf\xE9.txt";
    FILE* f = std::fopen(raw.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    if (f) std::fclose(f);
}
#endif

TEST_F(CodecFormatTest, StoredNameLimit) {
    uint8_t header[1024] = {};
    EXPECT_TRUE(storeBaseName(std::wstring(255, L'n'), header));
    uint8_t before[1024];
    std::memcpy(before, header, 1024);
    EXPECT_FALSE(storeBaseName(std::wstring(256, L'x'), header)) << "never cut";
    EXPECT_EQ(std::memcmp(before, header, 1024), 0);
}

TEST_F(CodecFormatTest, ExplicitTargetReplacesAndKeepsTheSourceName) {
    writeBytes(workPath(L"old (encrypted)"), Bytes{1, 2, 3});
    Bytes plain = randomBytes(4096, 11);
    writeBytes(workPath(L"draft.txt"), plain);
    std::wstring target = workPrefix() + L"old (encrypted)";
    const wchar_t* result = nullptr;
    ASSERT_EQ(encryptFile(L"", (workPrefix() + L"draft.txt").c_str(), target.c_str(), &result), 0)
        << lastError();
    EXPECT_EQ(std::wstring(result), target);
    plat::removeFile(workPath(L"draft.txt"));
    int32_t e = 0, a = 0;
    ASSERT_EQ(probeFile(target.c_str(), &e, &a), 0);
    ASSERT_TRUE(e);
    const wchar_t* out = nullptr;
    ASSERT_EQ(decryptFile(target.c_str(), workPrefix().c_str(), &out), 0) << lastError();
    EXPECT_EQ(std::wstring(out), workPrefix() + L"draft.txt");
    EXPECT_EQ(readBytes(out), plain);
}

}  // namespace
