// Recognition of encrypted files and archives, and what decryption and
// encryption do with damaged, forged or unwritable input: nothing unverified
// replaces a file, nothing is written outside the output folder, no key is
// spent on a write that cannot succeed.

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "codec/bufferedwrite.h"
#include "codec/codecrun.h"
#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "codec/format.h"
#include "codec_keydrive.h"
#include "platform/wipe.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

using namespace codectest;
using namespace codec;

class CodecSafetyTest : public KeyDriveTest {
protected:
    uint32_t blockCount() const override { return 200; }
    void SetUp() override {
        KeyDriveTest::SetUp();
        plain = randomBytes(5000, 77);
        writeBytes(workPath(L"secret.txt"), plain);
        const wchar_t* result = nullptr;
        ASSERT_EQ(encryptFile(workPrefix().c_str(), (workPrefix() + L"secret.txt").c_str(), nullptr, &result), 0)
            << lastError();
        encrypted = result;
        plat::removeFile(workPath(L"secret.txt"));
        hwAfterEncrypt = highWaterMark();
    }

    // The plain header of the test's encrypted file (its header key block is
    // block 1, the first one the fresh drive handed out).
    Bytes plainHeader() {
        Bytes file = readBytes(encrypted);
        Bytes key = keyBlock(1);
        Bytes header(file.begin(), file.begin() + 1024);
        for (int i = 0; i < 1024; ++i) header[i] ^= key[i];
        return header;
    }
    // Masks a changed plain header with the key and stores it in the file,
    // as someone holding the key could.
    void forgeHeader(const Bytes& header) {
        Bytes file = readBytes(encrypted);
        Bytes key = keyBlock(1);
        for (int i = 0; i < 1024; ++i) file[i] = header[i] ^ key[i];
        writeBytes(encrypted, file);
    }

    int probeAndDecrypt(const std::wstring& outDir, const wchar_t** out) {
        int32_t e = 0, a = 0;
        EXPECT_EQ(probeFile(encrypted.c_str(), &e, &a), 0);
        EXPECT_EQ(e, -1);
        return decryptFile(encrypted.c_str(), outDir.c_str(), out);
    }

    Bytes plain;
    std::wstring encrypted;
    uint32_t hwAfterEncrypt = 0;
};

TEST_F(CodecSafetyTest, ProbeOutcomes) {
    const Bytes file = readBytes(encrypted);
    Bytes junk = randomBytes(3000, 5);
    struct Case {
        const wchar_t* name;
        Bytes content;
        int32_t encrypted, archive;
    };
    Bytes archive = junk;
    archive.resize(512);
    archive.insert(archive.end(), file.begin(), file.end());   // stored header at 512
    Bytes shortArchive(archive.begin(), archive.begin() + 1535);
    Bytes shortFile(file.begin(), file.begin() + 1023);
    Bytes headerOnly(file.begin(), file.begin() + 1024);
    const Case cases[] = {
        {L"empty", {}, 0, 0},
        {L"short", shortFile, 0, 0},
        {L"header-only", headerOnly, -1, 0},
        {L"junk-1500", Bytes(junk.begin(), junk.begin() + 1500), 0, 0},
        {L"junk", junk, 0, 0},
        {L"archive", archive, 0, -1},
        {L"archive-1535", shortArchive, 0, 0},
        {L"encrypted", file, -1, 0},
    };
    for (const Case& c : cases) {
        writeBytes(workPath(c.name), c.content);
        int32_t e = 7, a = 7;
        ASSERT_EQ(probeFile((workPrefix() + c.name).c_str(), &e, &a), 0) << lastError();
        EXPECT_EQ(e, c.encrypted) << std::string(c.name, c.name + wcslen(c.name));
        EXPECT_EQ(a, c.archive) << std::string(c.name, c.name + wcslen(c.name));
    }

    int32_t e = 7, a = 7;
    std::wstring missing = workPrefix() + L"missing";
    EXPECT_EQ(probeFile(missing.c_str(), &e, &a), 1);
    EXPECT_EQ(e, 7) << "flags are not set on failure";
    EXPECT_EQ(lastError().rfind(L"cannot open file '" + missing + L"': ", 0), 0u) << lastError();

    // With another key in the drive the file is nobody's.
    closeKeyStoreForTest();
    buildKeyDrive(root, 64, 999);
    ASSERT_EQ(probeFile(encrypted.c_str(), &e, &a), 0);
    EXPECT_EQ(e, 0);
    EXPECT_EQ(a, 0);
}

// A key store that cannot be used makes the probe fail with the store's
// message: taken for "not encrypted with this key", a decryption would do
// nothing and report success.
TEST_F(CodecSafetyTest, ProbeFailsWhenTheKeyStoreCannotBeUsed) {
    const fs::path settings = root / "SETTINGS";
    const Bytes index = readBytes(settings / "INDEX.DAT");
    struct Case {
        const char* what;
        std::function<void()> damage;
        std::wstring message;
    };
    const Case cases[] = {
        {"index missing", [&] { fs::remove(settings / "INDEX.DAT"); },
         L"cannot open 'SETTINGS/INDEX.DAT': "},
        {"index short", [&] { writeBytes(settings / "INDEX.DAT", Bytes(index.begin(), index.begin() + 8)); },
         L"cannot read from 'SETTINGS/INDEX.DAT': "},
        {"usage record missing", [&] { fs::rename(settings / "STATUS.DAT", settings / "STATUS.OLD"); },
         L"cannot open 'SETTINGS/STATUS.DAT': "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        closeKeyStoreForTest();
        c.damage();
        int32_t e = 7, a = 7;
        EXPECT_EQ(probeFile(encrypted.c_str(), &e, &a), 1);
        EXPECT_EQ(lastError().rfind(c.message, 0), 0u) << lastError();
        EXPECT_EQ(e, 7) << "flags are not set on failure";
        closeKeyStoreForTest();
        writeBytes(settings / "INDEX.DAT", index);
        if (fs::exists(settings / "STATUS.OLD")) fs::rename(settings / "STATUS.OLD", settings / "STATUS.DAT");
    }
}

TEST_F(CodecSafetyTest, ShortFileFailsTheHeaderRead) {
    Bytes file = readBytes(encrypted);
    file.resize(1000);
    writeBytes(encrypted, file);
    const wchar_t* out = nullptr;
    EXPECT_EQ(decryptFile(encrypted.c_str(), workPrefix().c_str(), &out), 1);
    EXPECT_EQ(lastError().rfind(L"error reading header from file '" + encrypted + L"': ", 0), 0u) << lastError();
    EXPECT_EQ(out, nullptr);
}

TEST_F(CodecSafetyTest, VersionMismatchWritesNothing) {
    Bytes header = plainHeader();
    putU32(&header[0], 3);
    forgeHeader(header);
    const auto before = listing(root / "work");
    const wchar_t* out = nullptr;
    EXPECT_EQ(probeAndDecrypt(workPrefix(), &out), 1);
    EXPECT_EQ(lastError(), L"file '" + encrypted + L"' has version 3 and cannot be decrypted with version 2");
    EXPECT_EQ(listing(root / "work"), before);
    EXPECT_EQ(out, nullptr);
}

TEST_F(CodecSafetyTest, TamperedFileIsKeptUnverifiedAndNamed) {
    const Bytes original = readBytes(encrypted);
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::size_t keptSize;   // size of the unverified copy
    };
    const Case cases[] = {
        {"flipped body byte", [](Bytes& f) { f[1024 + 2500] ^= 0x01; }, 5000},
        {"flipped last plaintext byte", [](Bytes& f) { f[1024 + 4999] ^= 0x80; }, 5000},
        {"flipped digest byte", [](Bytes& f) { f[784 + 17] ^= 0x40; }, 5000},
        {"truncated body", [](Bytes& f) { f.resize(1024 + 3000); }, 3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes damaged = original;
        c.damage(damaged);
        writeBytes(encrypted, damaged);
        setHighWaterMark(1);

        const wchar_t* out = nullptr;
        EXPECT_EQ(probeAndDecrypt(workPrefix(), &out), 1);
        EXPECT_EQ(out, nullptr);
        std::wstring expected = L"'" + encrypted + L"' may have been tampered with, digest check failed";
        EXPECT_EQ(lastError().rfind(expected, 0), 0u) << lastError();
        const std::wstring kept = tempBeside(workPath(L"secret.txt"));
        ASSERT_FALSE(kept.empty()) << "unverified copy kept";
        EXPECT_NE(lastError().find(L"kept as '" + kept + L"'"), std::wstring::npos) << "names the kept copy";
        EXPECT_FALSE(fs::exists(fs::path(workPath(L"secret.txt")))) << "nothing under the stored name";
        EXPECT_EQ(readBytes(kept).size(), c.keptSize);
        plat::removeFile(kept);
        EXPECT_EQ(readBytes(encrypted), damaged);
        EXPECT_EQ(highWaterMark(), 1u) << "not raised";
        for (const std::wstring& name : listing(root / "SETTINGS" / "PENDING"))
            EXPECT_EQ(name.find(L".rec"), std::wstring::npos) << "no record left";
    }

    // Bytes after the tail change nothing.
    Bytes longer = original;
    longer.resize(original.size() + 3000, 0x5A);
    writeBytes(encrypted, longer);
    const wchar_t* out = nullptr;
    ASSERT_EQ(probeAndDecrypt(workPrefix(), &out), 0) << lastError();
    EXPECT_EQ(readBytes(workPath(L"secret.txt")), plain);
    EXPECT_EQ(tempBeside(workPath(L"secret.txt")), L"");
}

// A file that stands under the stored name (anyone can aim the masked name
// at any file of the folder) is never replaced: the decryption is refused
// before it writes anything. Files named like temporary outputs, another
// run's or left over, empty or not, are never touched either: the output
// takes a name of its own.
TEST_F(CodecSafetyTest, ExistingFilesAreNeverReplacedByADecryption) {
    const Bytes existing = {'k', 'e', 'e', 'p'};
    writeBytes(workPath(L"secret.txt"), existing);
    auto before = listing(root / "work");
    const wchar_t* out = nullptr;
    EXPECT_EQ(probeAndDecrypt(workPrefix(), &out), 1);
    EXPECT_NE(lastError().find(workPath(L"secret.txt") + L"' exists already; move it away or rename it first"),
              std::wstring::npos)
        << lastError();
    EXPECT_EQ(readBytes(workPath(L"secret.txt")), existing);
    EXPECT_EQ(listing(root / "work"), before);
    plat::removeFile(workPath(L"secret.txt"));

    for (const wchar_t* other : {L"secret.txt.tmp", L"secret.txt.0badcafe.tmp"}) {
        writeBytes(workPath(other), Bytes{});
        writeBytes(workPath(std::wstring(other) + L"x"), existing);
    }
    ASSERT_EQ(probeAndDecrypt(workPrefix(), &out), 0) << lastError();
    EXPECT_EQ(readBytes(workPath(L"secret.txt")), plain);
    for (const wchar_t* other : {L"secret.txt.tmp", L"secret.txt.0badcafe.tmp"}) {
        EXPECT_TRUE(fs::exists(fs::path(workPath(other))));
        EXPECT_EQ(readBytes(workPath(std::wstring(other) + L"x")), existing);
    }
}

// Whatever way an encryption or decryption ends, no key block, plaintext or
// stream buffer of it stays in the program's memory.
TEST_F(CodecSafetyTest, NoKeyMaterialOrPlaintextStaysInBuffers) {
    auto expectWiped = [] {
        EXPECT_TRUE(keyMaterialWipedForTest());
        EXPECT_TRUE(sourceBufferWipedForTest());
        EXPECT_TRUE(isWiped(outputBufferForTest(), kOutputBufferSize));
    };
    {
        SCOPED_TRACE("after the encryption of the fixture");
        expectWiped();
    }
    {
        SCOPED_TRACE("after a decryption");
        const wchar_t* out = nullptr;
        ASSERT_EQ(probeAndDecrypt(workPrefix(), &out), 0) << lastError();
        expectWiped();
        plat::removeFile(out);
    }
    {
        SCOPED_TRACE("after a failed tamper check");
        Bytes damaged = readBytes(encrypted);
        damaged[1024 + 100] ^= 1;
        writeBytes(encrypted, damaged);
        const wchar_t* out = nullptr;
        ASSERT_EQ(probeAndDecrypt(workPrefix(), &out), 1);
        expectWiped();
    }
#ifndef _WIN32
    {
        SCOPED_TRACE("after an encryption that failed part-way");
        // A process status file measures 0 bytes but reads as text: the
        // encryption fails after it has drawn key blocks.
        if (!fs::exists("/proc/self/status")) GTEST_SKIP() << "no /proc";
        const wchar_t* result = nullptr;
        std::wstring target = workPrefix() + L"status (encrypted)";
        ASSERT_EQ(encryptFile(L"", L"/proc/self/status", target.c_str(), &result), 1);
        expectWiped();
    }
#endif
}

TEST_F(CodecSafetyTest, OwnNameAsStoredNameKeepsTheEncryptedFileOnMismatch) {
    // The stored name equals the encrypted file's own name and the body was
    // damaged: the encrypted file must survive.
    Bytes header = plainHeader();
    std::wstring own = fs::path(encrypted).filename().wstring();
    ASSERT_TRUE(storeBaseName(own, header.data()));
    forgeHeader(header);
    Bytes file = readBytes(encrypted);
    file[1024 + 10] ^= 1;
    writeBytes(encrypted, file);
    const wchar_t* out = nullptr;
    EXPECT_EQ(probeAndDecrypt(workPrefix(), &out), 1);
    EXPECT_EQ(readBytes(encrypted), file);
}

TEST_F(CodecSafetyTest, HostileStoredNamesAreRefusedBeforeWriting) {
    struct Case {
        std::wstring name;
        const wchar_t* reason;
    };
    std::vector<Case> cases = {
        {L"", L"is empty"},
        {L".", L"is \".\" or \"..\""},
        {L"..", L"is \".\" or \"..\""},
        {L"../escape.txt", L"contains a path separator"},
        {L"sub/inner.txt", L"contains a path separator"},
        {L"bell\x07.txt", L"contains a control character"},
        {L"line\nbreak", L"contains a control character"},
#ifdef _WIN32
        // Ordinary in names on Linux; on Windows a folder or a drive.
        {L"..\\escape.txt", L"contains a '\\', which separates folders on Windows"},
        {L"C:escape.txt", L"contains a ':', which file names on Windows cannot hold"},
        {L"what?.txt", L"contains one of * ? \" < > |, which file names on Windows cannot hold"},
#endif
    };
    fs::create_directories(root / "out");
    std::wstring outDir = (root / "out").wstring() + plat::kSep;
    const auto rootBefore = listing(root);
    const auto workBefore = listing(root / "work");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
        Bytes header = plainHeader();
        std::memset(&header[272], 0, 512);
        for (std::size_t i = 0; i < c.name.size(); ++i) header[272 + 2 * i] = uint8_t(c.name[i]);
        forgeHeader(header);
        const wchar_t* out = nullptr;
        EXPECT_EQ(probeAndDecrypt(outDir, &out), 1);
        EXPECT_EQ(lastError(), L"file '" + encrypted + L"' cannot be decrypted: the name stored in it " + c.reason);
        EXPECT_TRUE(fs::is_empty(root / "out"));
        EXPECT_EQ(listing(root), rootBefore);
        EXPECT_EQ(listing(root / "work"), workBefore);
        EXPECT_EQ(highWaterMark(), hwAfterEncrypt);
    }

    // A name that fills all 256 units has no terminator.
    Bytes header = plainHeader();
    for (int i = 0; i < 256; ++i) header[272 + 2 * i] = 'a', header[273 + 2 * i] = 0;
    forgeHeader(header);
    const wchar_t* out = nullptr;
    EXPECT_EQ(probeAndDecrypt(outDir, &out), 1);
    EXPECT_NE(lastError().find(L"has no end within its field"), std::wstring::npos) << lastError();
    EXPECT_TRUE(fs::is_empty(root / "out"));
}

TEST_F(CodecSafetyTest, OutputPathTooLongIsRefused) {
    // 256 code units of output path do not fit the 256-unit result buffer.
    std::wstring dir = workPrefix();
    std::wstring longDir = dir + std::wstring(256 - 10 - 1 - dir.size(), L'd') + plat::kSep;
    // longDir + "secret.txt" is 256 units: one too many.
    ASSERT_EQ(longDir.size() + 10, 256u);
    const wchar_t* out = nullptr;
    EXPECT_EQ(probeAndDecrypt(longDir, &out), 1);
    EXPECT_NE(lastError().find(L"is longer than 255 characters"), std::wstring::npos) << lastError();
}

TEST_F(CodecSafetyTest, DecryptIntoMissingFolderLeavesTheSource) {
    const Bytes before = readBytes(encrypted);
    std::wstring outDir = workPrefix() + L"nowhere" + plat::kSep;
    const wchar_t* out = nullptr;
    EXPECT_EQ(probeAndDecrypt(outDir, &out), 1);
    EXPECT_EQ(lastError().rfind(L"cannot open '" + outDir + L"secret.txt.", 0), 0u) << lastError();
    EXPECT_EQ(readBytes(encrypted), before);
    EXPECT_EQ(highWaterMark(), hwAfterEncrypt);
}

TEST_F(CodecSafetyTest, EncryptionThatCannotBeWrittenSpendsNoKey) {
    writeBytes(workPath(L"doc.txt"), plain);
    std::wstring source = workPrefix() + L"doc.txt";
    const wchar_t* result = reinterpret_cast<const wchar_t*>(1);

    // A folder that does not exist.
    std::wstring missing = workPrefix() + L"nowhere" + plat::kSep + L"doc (encrypted)";
    EXPECT_EQ(encryptFile(L"", source.c_str(), missing.c_str(), &result), 1);
    EXPECT_EQ(result, nullptr);
    EXPECT_FALSE(lastError().empty());
    EXPECT_EQ(highWaterMark(), hwAfterEncrypt) << lastError();
    EXPECT_EQ(readBytes(source), plain);

    // A target path that does not fit the result buffer.
    std::wstring tooLong = workPrefix() + std::wstring(600, L'x');
    EXPECT_EQ(encryptFile(L"", source.c_str(), tooLong.c_str(), &result), 1);
    EXPECT_NE(lastError().find(L"longer than 511 characters"), std::wstring::npos) << lastError();
    EXPECT_EQ(highWaterMark(), hwAfterEncrypt);

    // A missing source.
    std::wstring absent = workPrefix() + L"absent.txt";
    EXPECT_EQ(encryptFile(workPrefix().c_str(), absent.c_str(), nullptr, &result), 1);
    EXPECT_EQ(lastError().rfind(L"cannot open file '" + absent + L"': ", 0), 0u) << lastError();
    EXPECT_EQ(highWaterMark(), hwAfterEncrypt);
}

TEST_F(CodecSafetyTest, EncryptionThatDoesNotFitTheVolumeSpendsNoKey) {
    // A sparse plaintext larger than the volume's free space.
    std::error_code ec;
    const fs::space_info space = fs::space(root / "work", ec);
    if (ec) GTEST_SKIP() << "no free-space figure";
    const uintmax_t size = space.available + (uintmax_t(2) << 30);
    const fs::path huge = root / "work" / "huge.bin";
    writeBytes(huge, Bytes{});
    fs::resize_file(huge, size, ec);
    if (ec || fs::file_size(huge) != size) GTEST_SKIP() << "cannot make a sparse file of that size";
    const wchar_t* result = nullptr;
    EXPECT_EQ(encryptFile(workPrefix().c_str(), huge.wstring().c_str(), nullptr, &result), 1);
    EXPECT_NE(lastError().find(L" bytes are required on the volume of '"), std::wstring::npos) << lastError();
    EXPECT_EQ(highWaterMark(), hwAfterEncrypt) << "nothing reserved";
    EXPECT_EQ(tempBeside(huge.wstring() + L" (encrypted)"), L"");
    fs::remove(huge, ec);
}

TEST_F(CodecSafetyTest, ReadOnlyTargetFolderIsReportedAndTheSourceStays) {
    fs::create_directories(root / "locked");
    fs::permissions(root / "locked", fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
    {
        // Permissions do not bind every user (root) or every platform.
        FILE* probe = plat::openFile((root / "locked" / "probe").wstring(), L"wb");
        if (probe) {
            std::fclose(probe);
            fs::permissions(root / "locked", fs::perms::owner_all, fs::perm_options::add);
            GTEST_SKIP() << "the folder is writable despite its permissions";
        }
    }
    writeBytes(workPath(L"doc.txt"), plain);
    std::wstring source = workPrefix() + L"doc.txt";
    std::wstring target = (root / "locked").wstring() + plat::kSep + L"doc (encrypted)";
    const wchar_t* result = nullptr;
    EXPECT_EQ(encryptFile(L"", source.c_str(), target.c_str(), &result), 1);
    EXPECT_EQ(lastError().rfind(L"cannot open '" + target + L".", 0), 0u) << lastError();
    EXPECT_EQ(readBytes(source), plain);
    fs::permissions(root / "locked", fs::perms::owner_all, fs::perm_options::add);
    EXPECT_TRUE(fs::is_empty(root / "locked"));
}

TEST_F(CodecSafetyTest, ExistingFileUnderTheEncryptedNameIsNeverReplaced) {
    // An older encrypted version, or anything under the encrypted name: the
    // encryption is refused before any key is spent, and both files stay.
    writeBytes(workPath(L"doc.txt"), plain);
    struct Case {
        const char* what;
        std::function<void(const std::wstring&)> make;
    };
    const Case cases[] = {
        {"a file", [](const std::wstring& t) { writeBytes(t, Bytes{'o', 'l', 'd'}); }},
        {"a folder", [](const std::wstring& t) { fs::create_directories(fs::path(t) / "inner"); }},
    };
    const std::wstring target = workPrefix() + L"doc.txt (encrypted)";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make(target);
        const auto before = listing(root / "work");
        const wchar_t* result = nullptr;
        EXPECT_EQ(encryptFile(workPrefix().c_str(), (workPrefix() + L"doc.txt").c_str(), nullptr, &result), 1);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(lastError(), L"cannot encrypt '" + workPath(L"doc.txt") + L"': '" + target +
                                   L"' exists already; move it away or rename it first");
        EXPECT_EQ(listing(root / "work"), before);
        EXPECT_EQ(readBytes(workPath(L"doc.txt")), plain);
        EXPECT_EQ(highWaterMark(), hwAfterEncrypt) << "no key spent";
        fs::remove_all(fs::path(target));
    }
}

TEST_F(CodecSafetyTest, EncryptedFileNamedLikeATemporaryOutputIsKept) {
    // The output is written under a temporary name of its own, created
    // exclusively: an encrypted file named like a temporary output of its
    // stored name is read whole and left intact.
    Bytes big = randomBytes(150000, 9);   // more than the source's read-ahead
    writeBytes(workPath(L"big.txt"), big);
    const wchar_t* result = nullptr;
    ASSERT_EQ(encryptFile(workPrefix().c_str(), workPath(L"big.txt").c_str(), nullptr, &result), 0)
        << lastError();
    const std::wstring renamed = workPath(L"big.txt.tmp");
    fs::rename(fs::path(result), fs::path(renamed));
    plat::removeFile(workPath(L"big.txt"));
    encrypted = renamed;
    const Bytes before = readBytes(renamed);
    const uint32_t hwBefore = highWaterMark();

    const wchar_t* out = nullptr;
    ASSERT_EQ(probeAndDecrypt(workPrefix(), &out), 0) << lastError();
    EXPECT_EQ(readBytes(renamed), before) << "the encrypted file is intact";
    EXPECT_EQ(readBytes(workPath(L"big.txt")), big);
    EXPECT_GE(highWaterMark(), hwBefore);
}

#ifndef _WIN32
// A write that fails part-way (here: the file size limit of the process, as
// a full disk would) leaves no partial output: a partial plaintext is
// erased, a partial encrypted file removed, and no record is left.
class CodecWriteFailureTest : public CodecSafetyTest {
protected:
    uint32_t blockCount() const override { return 4200; }   // two files of 2 MiB
};

TEST_F(CodecWriteFailureTest, WriteFailureLeavesNoPartialOutput) {
    Bytes big = randomBytes(2 * 1024 * 1024, 12);
    writeBytes(workPath(L"big.bin"), big);
    const wchar_t* result = nullptr;
    ASSERT_EQ(encryptFile(workPrefix().c_str(), workPath(L"big.bin").c_str(), nullptr, &result), 0)
        << lastError();
    const std::wstring bigEncrypted = result;
    plat::removeFile(workPath(L"big.bin"));
    writeBytes(workPath(L"other.bin"), big);

    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 1536 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);

    int32_t e = 0, a = 0;
    ASSERT_EQ(probeFile(bigEncrypted.c_str(), &e, &a), 0);
    const uint32_t hwBefore = highWaterMark();
    const wchar_t* out = nullptr;
    const int decrypted = decryptFile(bigEncrypted.c_str(), workPrefix().c_str(), &out);
    const std::wstring decryptError = lastError();
    const int encrypted2 = encryptFile(workPrefix().c_str(), workPath(L"other.bin").c_str(), nullptr, &result);
    const std::wstring encryptError = lastError();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_DFL);

    EXPECT_EQ(decrypted, 1);
    EXPECT_EQ(decryptError.rfind(L"cannot write '" + workPath(L"big.bin."), 0), 0u) << decryptError;
    EXPECT_NE(decryptError.find(L".tmp': "), std::wstring::npos) << decryptError;
    EXPECT_EQ(encrypted2, 1);
    EXPECT_EQ(encryptError.rfind(L"cannot write '" + workPath(L"other.bin (encrypted)."), 0), 0u) << encryptError;
    EXPECT_EQ(listing(root / "work"),
              (std::vector<std::wstring>{L"big.bin (encrypted)", L"other.bin", L"secret.txt (encrypted)"}));
    EXPECT_EQ(readBytes(workPath(L"other.bin")), big);
    EXPECT_EQ(highWaterMark(), hwBefore + 2 * 1024 + 4) << "only the failed encryption's reservation";
    for (const std::wstring& name : listing(root / "SETTINGS" / "PENDING"))
        EXPECT_EQ(name.find(L".rec"), std::wstring::npos) << "no record left";
}

TEST_F(CodecSafetyTest, NameThatDecryptionWouldRefuseIsNotEncrypted) {
    // These characters are ordinary in file names here, but decryption
    // refuses them in a stored name: such a file would be encrypted (and its
    // plaintext erased by the caller) without a way back.
    struct Case {
        std::wstring name;
        const wchar_t* reason;
    };
    const Case cases[] = {
        {L"tab\there.txt", L"contains a control character"},
        {L"line\nbreak.txt", L"contains a control character"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
        writeBytes(workPath(c.name), plain);
        const auto before = listing(root / "work");
        const std::wstring source = workPath(c.name);
        const wchar_t* result = reinterpret_cast<const wchar_t*>(1);
        EXPECT_EQ(encryptFile(workPrefix().c_str(), source.c_str(), nullptr, &result), 1);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(lastError(), L"cannot encrypt '" + source + L"': its name " + c.reason +
                                   L", so it could not be decrypted");
        EXPECT_EQ(highWaterMark(), hwAfterEncrypt) << "no key spent";
        EXPECT_EQ(listing(root / "work"), before) << "nothing written";
        EXPECT_EQ(readBytes(source), plain);
    }
}

TEST_F(CodecSafetyTest, SourceThatChangesDuringEncryptionFails) {
    // A process status file measures 0 bytes but reads as text.
    std::wstring source = L"/proc/self/status";
    if (!fs::exists("/proc/self/status")) GTEST_SKIP() << "no /proc";
    std::wstring target = workPrefix() + L"status (encrypted)";
    const wchar_t* result = nullptr;
    EXPECT_EQ(encryptFile(L"", source.c_str(), target.c_str(), &result), 1);
    EXPECT_NE(lastError().find(L"changed while it was being encrypted"), std::wstring::npos) << lastError();
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(highWaterMark(), hwAfterEncrypt + 4) << "no block beyond the reservation";
}
#endif

}  // namespace

