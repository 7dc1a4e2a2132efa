// Encryption reads its source once and decryption never reads its output
// back: the digest is computed on a second thread from the same bytes. A
// source that changes or fails to read part-way still fails the encryption,
// a damaged body still fails the decryption's check, and whatever way they
// end, no thread runs on and no buffer keeps a byte of plaintext.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "codec/codecrun.h"
#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "codec_keydrive.h"
#include "digest/digestworker.h"

namespace {

using namespace codectest;
using namespace codec;

constexpr std::size_t kSlot = DigestWorker::kSlotSize;

// What the read hook does once the source has given this many bytes.
std::function<bool(uint64_t)> onRead;
bool readHook(uint64_t bytesSoFar) { return onRead ? onRead(bytesSoFar) : true; }

class CodecOnePassTest : public KeyDriveTest {
protected:
    uint32_t blockCount() const override { return 6000; }   // a few files of 1.3 MiB
    void SetUp() override {
        KeyDriveTest::SetUp();
        sourceReadHookForTest = readHook;
    }
    void TearDown() override {
        sourceReadHookForTest = nullptr;
        onRead = nullptr;
        KeyDriveTest::TearDown();
    }
    // Nothing of a run is left: no thread, no plaintext in the slots or the
    // output buffer, no temporary output, no record of work in progress.
    void expectNothingLeft(const std::vector<std::wstring>& files) {
        EXPECT_EQ(digestThreadsRunningForTest(), 0);
        EXPECT_TRUE(sourceBufferWipedForTest());
        EXPECT_EQ(listing(root / "work"), files);
        for (const std::wstring& name : listing(root / "SETTINGS" / "PENDING"))
            EXPECT_EQ(name.find(L".rec"), std::wstring::npos) << "no record left";
    }
    int encrypt(const std::wstring& name) {
        const wchar_t* result = nullptr;
        return encryptFile(workPrefix().c_str(), workPath(name).c_str(), nullptr, &result);
    }
    int decrypt(const std::wstring& encrypted) {
        int32_t e = 0, a = 0;
        EXPECT_EQ(probeFile(encrypted.c_str(), &e, &a), 0);
        EXPECT_EQ(e, -1);
        const wchar_t* out = nullptr;
        return decryptFile(encrypted.c_str(), workPrefix().c_str(), &out);
    }
};

TEST_F(CodecOnePassTest, SourceThatChangesPartWayFailsTheEncryption) {
    const std::size_t size = 5 * kSlot + 300;
    struct Case {
        const char* change;
        std::function<void(Bytes&)> apply;
    };
    const Case cases[] = {
        // Same length: only the last write time tells.
        {"a byte further on is changed", [](Bytes& b) { b[4 * kSlot + 7] ^= 0x20; }},
        {"a byte already read is changed", [](Bytes& b) { b[10] ^= 0x01; }},
        {"bytes are appended", [](Bytes& b) { b.resize(b.size() + 5000, 0x55); }},
        {"the file is cut short", [](Bytes& b) { b.resize(2 * kSlot + 100); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.change);
        const Bytes plain = randomBytes(size, 3);
        const std::wstring source = workPath(L"moving.bin");
        writeBytes(source, plain);
        Bytes changed = plain;
        c.apply(changed);
        bool done = false;
        onRead = [&](uint64_t soFar) {
            if (!done && soFar >= kSlot) {
                done = true;
                // Rewritten in place, as an application saving it would.
                FILE* f = plat::openFile(source, L"rb+");
                if (f) {
                    std::fwrite(changed.data(), 1, std::min(changed.size(), plain.size()), f);
                    if (changed.size() > plain.size())
                        std::fwrite(changed.data() + plain.size(), 1, changed.size() - plain.size(), f);
                    std::fclose(f);
                }
                if (changed.size() < plain.size()) fs::resize_file(fs::path(source), changed.size());
            }
            return true;
        };
        const uint32_t hwBefore = highWaterMark();
        EXPECT_EQ(encrypt(L"moving.bin"), 1);
        EXPECT_NE(lastError().find(L"changed while it was being encrypted"), std::wstring::npos)
            << lastError();
        EXPECT_TRUE(done);
        EXPECT_EQ(readBytes(source), changed) << "the source is left as it now is";
        EXPECT_LE(highWaterMark(), hwBefore + chunkCount(size) + 4) << "no block beyond the reservation";
        expectNothingLeft({L"moving.bin"});
        plat::removeFile(source);
    }
}

TEST_F(CodecOnePassTest, ReadErrorPartWayFailsEitherWay) {
    const Bytes plain = randomBytes(4 * kSlot + 4096 + 9, 4);
    writeBytes(workPath(L"data.bin"), plain);
    ASSERT_EQ(encrypt(L"data.bin"), 0) << lastError();
    const std::wstring encrypted = workPath(L"data.bin (encrypted)");
    const std::vector<std::wstring> both = {L"data.bin", L"data.bin (encrypted)"};
    struct Case {
        const char* what;
        uint64_t failAfter;   // bytes read when the read fails
    };
    const Case cases[] = {{"first read", 0}, {"second read", kSlot}, {"last read", 4 * kSlot}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        onRead = [&](uint64_t soFar) { return soFar <= c.failAfter; };
        // Encrypting again under another name: the source fails to read.
        const wchar_t* result = nullptr;
        const std::wstring other = workPath(L"again (encrypted)");
        EXPECT_EQ(encryptFile(L"", workPath(L"data.bin").c_str(), other.c_str(), &result), 1);
        EXPECT_EQ(lastError().rfind(L"error reading file '" + workPath(L"data.bin") + L"': ", 0), 0u)
            << lastError();
        expectNothingLeft(both);

        // Decrypting into the work folder: the plaintext there is moved
        // aside first, as the output must not replace it.
        fs::rename(root / "work" / "data.bin", root / "data.bin");
        // The probe reads the header through its own stream.
        int32_t e = 0, a = 0;
        ASSERT_EQ(probeFile(encrypted.c_str(), &e, &a), 0);
        const uint32_t hwBefore = highWaterMark();
        const wchar_t* out = nullptr;
        onRead = [&](uint64_t soFar) { return soFar <= 1024 + c.failAfter; };
        EXPECT_EQ(decryptFile(encrypted.c_str(), workPrefix().c_str(), &out), 1);
        EXPECT_EQ(lastError().rfind(L"error reading file '" + encrypted + L"': ", 0), 0u) << lastError();
        EXPECT_EQ(highWaterMark(), hwBefore) << "the mark is not raised";
        expectNothingLeft({L"data.bin (encrypted)"});
        onRead = nullptr;
        fs::rename(root / "data.bin", root / "work" / "data.bin");
    }
    EXPECT_EQ(readBytes(workPath(L"data.bin")), plain);
}

TEST_F(CodecOnePassTest, DamagedOrCutBodyFailsTheCheckOfTheCompleteOutput) {
    const std::size_t size = 5 * kSlot + 777;
    struct Case {
        const char* damage;
        std::function<void(Bytes&)> apply;
    };
    const Case cases[] = {
        {"a byte in the first piece", [](Bytes& f) { f[1024 + 5] ^= 0x80; }},
        {"a byte in the last piece", [&](Bytes& f) { f[1024 + size - 1] ^= 0x01; }},
        {"the body cut in its last piece", [](Bytes& f) { f.resize(1024 + 5 * kSlot + 100); }},
        {"the body cut at a piece's end", [](Bytes& f) { f.resize(1024 + 3 * kSlot); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.damage);
        const Bytes plain = randomBytes(size, 5);
        writeBytes(workPath(L"doc.bin"), plain);
        ASSERT_EQ(encrypt(L"doc.bin"), 0) << lastError();
        plat::removeFile(workPath(L"doc.bin"));
        const std::wstring encrypted = workPath(L"doc.bin (encrypted)");
        Bytes file = readBytes(encrypted);
        c.apply(file);
        writeBytes(encrypted, file);

        EXPECT_EQ(decrypt(encrypted), 1);
        EXPECT_EQ(lastError().rfind(L"'" + encrypted + L"' may have been tampered with, digest check failed", 0), 0u)
            << lastError();
        EXPECT_EQ(readBytes(encrypted), file) << "the encrypted file stays";
        EXPECT_EQ(digestThreadsRunningForTest(), 0);
        EXPECT_TRUE(sourceBufferWipedForTest());
        // The unverified copy is kept, under its temporary name only.
        EXPECT_EQ(listing(root / "work"), (std::vector<std::wstring>{L"doc.bin (encrypted)", L"doc.bin.*.tmp"}));
        plat::removeFile(tempBeside(workPath(L"doc.bin")));
        plat::removeFile(encrypted);
    }
}

}  // namespace
