// The buffered output file: whole-buffer writes, the temporary name, the
// replacement of the target only when complete, and the wiped buffer.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "codec/backgroundcommit.h"
#include "codec/bufferedwrite.h"
#include "codec_keydrive.h"
#include "diag/error.h"
#include "platform/platform.h"
#include "tests/support/tempfolder.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using namespace codectest;

class BufferedWriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = testsupport::makeTempFolder("velkin-bw");
        lastErrorText[0] = 0;
    }
    void TearDown() override {
        abandonOutput();
        setBackgroundCommitTestHooks(nullptr);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    static bool bufferIsZero() {
        const uint8_t* b = outputBufferForTest();
        return std::all_of(b, b + kOutputBufferSize, [](uint8_t v) { return v == 0; });
    }
    fs::path dir;
};

TEST_F(BufferedWriteTest, PiecesOfOneKibiByteFillTheBufferExactly) {
    fs::path target = dir / "out.bin";
    Bytes data = randomBytes(1024 * 1024 + 1000, 1);
    ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
    const fs::path temp = outputTempName();
    for (int i = 0; i < 1023; ++i) ASSERT_EQ(writeOutput(&data[i * 1024], 1024), 0);
    EXPECT_EQ(fs::file_size(temp), 0u) << "nothing reaches the file before the buffer is full";
    ASSERT_EQ(writeOutput(&data[1023 * 1024], 1024), 0);
    EXPECT_EQ(fs::file_size(temp), 1024u * 1024u) << "the 1024th piece writes the whole buffer";
    ASSERT_EQ(writeOutput(data.data(), 0), 0);
    ASSERT_EQ(writeOutput(&data[1024 * 1024], 1000), 0);
    EXPECT_EQ(fs::file_size(temp), 1024u * 1024u);
    ASSERT_EQ(closeOutput(), 0) << lastErrorText;
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(readBytes(target), data);
    EXPECT_TRUE(bufferIsZero());
}

TEST_F(BufferedWriteTest, LargeWriteSpanningSeveralBuffers) {
    fs::path target = dir / "big.bin";
    Bytes data = randomBytes(3 * 1024 * 1024 + 5, 2);
    ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
    ASSERT_EQ(writeOutput(data.data(), 7), 0);
    ASSERT_EQ(writeOutput(&data[7], static_cast<uint32_t>(data.size() - 7)), 0);
    ASSERT_EQ(closeOutput(), 0) << lastErrorText;
    EXPECT_EQ(readBytes(target), data);
}

// Bytes written earlier are replaced where they now are: still in the
// buffer, already in the temporary file, or across the two.
TEST_F(BufferedWriteTest, PatchReplacesEarlierBytesWhereverTheyAre) {
    constexpr uint32_t kMiB = 1024 * 1024;
    struct Case {
        const char* where;
        std::size_t total;    // bytes written before the patch
        uint64_t offset;
        std::size_t length;
        std::size_t after;    // bytes written after the patch
    };
    const Case cases[] = {
        {"in the buffer", 5000, 0, 1024, 100},
        {"in the file", kMiB + 4096, 0, 1024, 3000},
        {"in the file, later buffers written", 3 * kMiB + 1, 1024, 2048, kMiB},
        {"across file and buffer", kMiB + 4096, kMiB - 100, 300, 0},
        {"the last byte written", 2 * kMiB, 2 * kMiB - 1, 1, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        fs::path target = dir / "patched.bin";
        Bytes data = randomBytes(c.total + c.after, 20);
        Bytes patch = randomBytes(c.length, 21);
        ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
        ASSERT_EQ(writeOutput(data.data(), static_cast<uint32_t>(c.total)), 0);
        ASSERT_EQ(patchOutput(c.offset, patch.data(), static_cast<uint32_t>(c.length)), 0) << lastErrorText;
        ASSERT_EQ(writeOutput(data.data() + c.total, static_cast<uint32_t>(c.after)), 0);
        ASSERT_EQ(closeOutput(), 0) << lastErrorText;
        std::copy(patch.begin(), patch.end(), data.begin() + static_cast<std::ptrdiff_t>(c.offset));
        EXPECT_EQ(readBytes(target), data);
        fs::remove(target);
    }
}

TEST_F(BufferedWriteTest, PatchBeyondTheBytesWrittenFails) {
    fs::path target = dir / "short.bin";
    Bytes data = randomBytes(2000, 22);
    ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
    ASSERT_EQ(writeOutput(data.data(), 2000), 0);
    EXPECT_EQ(patchOutput(1500, data.data(), 1024), 1);
    EXPECT_NE(std::wstring(lastErrorText).find(L"were never written"), std::wstring::npos) << lastErrorText;
    EXPECT_TRUE(bufferIsZero()) << "the output is given up";
    EXPECT_NE(closeOutput(), 0);
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(BufferedWriteTest, EmptyOutputGivesEmptyTarget) {
    fs::path target = dir / "empty.bin";
    ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
    ASSERT_EQ(closeOutput(), 0) << lastErrorText;
    ASSERT_TRUE(fs::exists(target));
    EXPECT_EQ(fs::file_size(target), 0u);
}

TEST_F(BufferedWriteTest, ExistingTargetKeepsOldContentUntilClose) {
    fs::path target = dir / "doc.txt";
    writeBytes(target, Bytes{'o', 'l', 'd'});
    Bytes data = randomBytes(2 * 1024 * 1024, 3);
    ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
    ASSERT_EQ(writeOutput(data.data(), static_cast<uint32_t>(data.size())), 0);
    EXPECT_EQ(readBytes(target), (Bytes{'o', 'l', 'd'}));
    const fs::path temp = outputTempName();
    EXPECT_EQ(fs::file_size(temp), data.size());
    ASSERT_EQ(closeOutput(), 0) << lastErrorText;
    EXPECT_EQ(readBytes(target), data);
    EXPECT_FALSE(fs::exists(temp));
}

// The temporary file has a name of this output alone: the target's name,
// eight random hexadecimal digits and ".tmp", drawn afresh for each output
// and created exclusively. Files under other such names (another run's
// output, a leftover) are never touched, empty or not; a name that is
// given and taken is refused.
TEST_F(BufferedWriteTest, TemporaryNamesAreTheOutputsOwn) {
    const fs::path target = dir / "doc.txt";
    writeBytes(dir / "doc.txt.tmp", Bytes{});
    writeBytes(dir / "doc.txt.0badcafe.tmp", Bytes{});
    std::set<std::wstring> names;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(openOutput(target.wstring().c_str()), 0) << lastErrorText;
        const std::wstring temp = outputTempName();
        EXPECT_TRUE(isTempNameOf(temp, target.wstring())) << fs::path(temp);
        names.insert(temp);
        ASSERT_EQ(closeOutput(), 0) << lastErrorText;
    }
    EXPECT_EQ(names.size(), 4u) << "a fresh name for every output";
    EXPECT_TRUE(fs::exists(dir / "doc.txt.tmp"));
    EXPECT_TRUE(fs::exists(dir / "doc.txt.0badcafe.tmp"));

    const std::wstring taken = (dir / "doc.txt.0badcafe.tmp").wstring();
    EXPECT_EQ(openOutput(target.wstring().c_str(), taken.c_str()), 1);
    EXPECT_EQ(std::wstring(lastErrorText),
              L"cannot open '" + taken + L"': a file of that name exists already; move it away or remove it");
    EXPECT_EQ(fs::file_size(fs::path(taken)), 0u);

    struct Name {
        const wchar_t* suffix;
        bool ours;
    };
    const Name forms[] = {{L".0123abcd.tmp", true}, {L".tmp", false},        {L".0123ABCD.tmp", false},
                          {L".0123abc.tmp", false}, {L"x0123abcd.tmp", false}, {L".0123abcd.tmpx", false}};
    for (const Name& form : forms)
        EXPECT_EQ(isTempNameOf(target.wstring() + form.suffix, target.wstring()), form.ours) << fs::path(form.suffix);
}

// Before the temporary file takes the target's place, it must still be the
// file that was written: a file put under its name meanwhile is neither
// moved nor touched, and the target stays.
TEST_F(BufferedWriteTest, ReplacedTemporaryFileIsNeverPutInPlace) {
    const fs::path target = dir / "doc.txt";
    writeBytes(target, Bytes{'o', 'l', 'd'});
    ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
    Bytes data = randomBytes(3000, 9);
    ASSERT_EQ(writeOutput(data.data(), 3000), 0);
    ASSERT_EQ(finishOutput(), 0) << lastErrorText;
    const fs::path temp = outputTempName();
    writeBytes(dir / "other", Bytes{'x'});
    std::error_code ec;
    fs::rename(dir / "other", temp, ec);
    if (ec) GTEST_SKIP() << "the system keeps a file that is open from being replaced: " << ec.message();
    EXPECT_EQ(commitOutput(), 1);
    EXPECT_NE(std::wstring(lastErrorText).find(L"is no longer the one that was written"), std::wstring::npos)
        << lastErrorText;
    EXPECT_EQ(readBytes(target), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(readBytes(temp), Bytes{'x'});
}

// A conditional replacement puts the output over the target only while the
// target is the version expected; otherwise nothing moves, and the output
// can go under another name.
TEST_F(BufferedWriteTest, ConditionalReplacementWaitsForAnotherName) {
    const fs::path target = dir / "doc.txt";
    writeBytes(target, Bytes{'o', 'l', 'd'});
    plat::FileId expected;
    ASSERT_TRUE(plat::nameIdentity(target.wstring(), &expected));
    for (bool changed : {false, true}) {
        SCOPED_TRACE(changed ? "target replaced" : "target as expected");
        if (changed) {
            writeBytes(dir / "new", Bytes{'n', 'e', 'w'});
            fs::rename(dir / "new", target);
        }
        ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
        Bytes data = randomBytes(2000, changed ? 10 : 11);
        ASSERT_EQ(writeOutput(data.data(), 2000), 0);
        ASSERT_EQ(finishOutput(), 0) << lastErrorText;
        const fs::path temp = outputTempName();
        if (!changed) {
            EXPECT_EQ(commitOutputOver(expected), 0) << lastErrorText;
            EXPECT_EQ(readBytes(target), data);
            ASSERT_TRUE(plat::nameIdentity(target.wstring(), &expected));
            continue;
        }
        EXPECT_EQ(commitOutputOver(expected), 2);
        EXPECT_EQ(readBytes(target), (Bytes{'n', 'e', 'w'}));
        EXPECT_EQ(readBytes(temp), data);
        const fs::path beside = dir / "doc (edited).txt";
        ASSERT_EQ(commitOutputAs(beside.wstring()), 0) << lastErrorText;
        EXPECT_EQ(readBytes(beside), data);
        EXPECT_FALSE(fs::exists(temp));
        EXPECT_EQ(std::wstring(outputTargetName()), beside.wstring());
    }
}

#ifndef _WIN32
// The temporary file is the owner's alone while it is written; once in
// place the output takes the permission bits it was given (never more open
// than the creation mask allows), or stays private.
TEST_F(BufferedWriteTest, OutputIsPrivateUntilInPlace) {
    const mode_t savedMask = ::umask(022);
    struct Case {
        uint32_t given;   // 0: none given
        uint32_t final;
    };
    for (const Case& c : {Case{0, 0600}, Case{0644, 0644}, Case{0640, 0640}, Case{0666, 0644}, Case{0600, 0600}}) {
        SCOPED_TRACE(c.given);
        const fs::path target = dir / "modes.bin";
        ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
        struct stat st;
        ASSERT_EQ(::stat(fs::path(outputTempName()).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        if (c.given) setOutputPermissions(c.given);
        ASSERT_EQ(writeOutput("abc", 3), 0);
        ASSERT_EQ(finishOutput(), 0);
        ASSERT_EQ(::stat(fs::path(outputTempName()).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "complete, not yet in place";
        ASSERT_EQ(commitOutput(), 0) << lastErrorText;
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, c.final);
        fs::remove(target);
    }
    ::umask(savedMask);
}
#endif

TEST_F(BufferedWriteTest, FinishLeavesTargetAloneUntilCommit) {
    fs::path target = dir / "doc.txt";
    writeBytes(target, Bytes{'o', 'l', 'd'});
    Bytes data = randomBytes(5000, 4);
    ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
    ASSERT_EQ(writeOutput(data.data(), 5000), 0);
    ASSERT_EQ(finishOutput(), 0) << lastErrorText;
    EXPECT_TRUE(bufferIsZero());
    EXPECT_EQ(readBytes(target), (Bytes{'o', 'l', 'd'}));
    const fs::path temp = outputTempName();
    EXPECT_EQ(temp.parent_path(), dir);
    EXPECT_EQ(readBytes(temp), data);
    ASSERT_EQ(commitOutput(), 0) << lastErrorText;
    EXPECT_EQ(readBytes(target), data);
    EXPECT_FALSE(fs::exists(temp));
    // A second commit has nothing to put in place.
    EXPECT_NE(commitOutput(), 0);
}

TEST_F(BufferedWriteTest, FailedReplaceIsReportedAndKeepsTheFinishedFile) {
    // A folder with content under the target name cannot be replaced.
    fs::path target = dir / "taken";
    fs::create_directories(target / "inner");
    Bytes data = randomBytes(100, 5);
    ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
    ASSERT_EQ(writeOutput(data.data(), 100), 0);
    EXPECT_NE(closeOutput(), 0);
    EXPECT_NE(std::wstring(lastErrorText).find(L"cannot rename '"), std::wstring::npos) << lastErrorText;
    EXPECT_TRUE(fs::is_directory(target / "inner"));
    EXPECT_EQ(readBytes(outputTempName()), data);
    EXPECT_TRUE(bufferIsZero());
}

TEST_F(BufferedWriteTest, UncreatableTemporaryFileIsReported) {
    fs::path target = dir / "missing-folder" / "x.bin";
    EXPECT_NE(openOutput(target.wstring().c_str()), 0);
    std::wstring expected = L"cannot open '" + target.wstring() + L".";
    EXPECT_EQ(std::wstring(lastErrorText).substr(0, expected.size()), expected) << lastErrorText;
    EXPECT_TRUE(isTempNameOf(outputTempName(), target.wstring()));
    Bytes data(10, 1);
    EXPECT_NE(writeOutput(data.data(), 10), 0) << "no output is open";
    EXPECT_NE(closeOutput(), 0);
}

TEST_F(BufferedWriteTest, TargetPathLengthLimit) {
    // 1010 code units fit (the temporary name adds 13, and with its
    // terminator that is 1024); 1011 are refused rather than cut.
    std::wstring base = (dir / "").wstring();
    std::wstring tooLong = base + std::wstring(kOutputPathMax + 1 - base.size(), L'a');
    EXPECT_NE(openOutput(tooLong.c_str()), 0);
    EXPECT_NE(std::wstring(lastErrorText).find(L"longer than 1010"), std::wstring::npos) << lastErrorText;
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(BufferedWriteTest, AbandonedOutputWipesTheBufferAndKeepsTheTemporaryFile) {
    fs::path target = dir / "part.bin";
    Bytes data = randomBytes(3000, 6);
    ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
    ASSERT_EQ(writeOutput(data.data(), 3000), 0);
    EXPECT_FALSE(bufferIsZero());
    abandonOutput();
    EXPECT_TRUE(bufferIsZero());
    EXPECT_TRUE(fs::exists(fs::path(outputTempName())));
    EXPECT_FALSE(fs::exists(target));
    EXPECT_NE(closeOutput(), 0);
}

// A long output is committed a step at a time on a second thread while it
// is written; what reaches the target is the same.
std::atomic<int> commitsOnTheThread{0};
int countingCommit(FILE* f) {
    const int failed = plat::commitFileData(f);
    ++commitsOnTheThread;
    return failed;
}

// The thread runs when the system schedules it; a writer that finishes
// first commits everything itself. The tests wait for its first commit.
bool threadHasCommitted() {
    for (int i = 0; i < 1000 && commitsOnTheThread.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return commitsOnTheThread.load() > 0;
}

TEST_F(BufferedWriteTest, LongOutputIsCommittedStepByStepAndArrivesWhole) {
    const BackgroundCommitTestHooks hooks = {1024 * 1024, countingCommit};
    setBackgroundCommitTestHooks(&hooks);
    commitsOnTheThread = 0;
    fs::path target = dir / "long.bin";
    Bytes data = randomBytes(6 * 1024 * 1024 + 333, 7);
    ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
    for (std::size_t at = 0; at < data.size(); at += 100000) {
        const std::size_t n = std::min<std::size_t>(100000, data.size() - at);
        ASSERT_EQ(writeOutput(&data[at], static_cast<uint32_t>(n)), 0);
        if (at == 2000000) {
            ASSERT_TRUE(threadHasCommitted());
        }
    }
    ASSERT_EQ(closeOutput(), 0) << lastErrorText;
    EXPECT_EQ(readBytes(target), data);
}

// A write error that the system reports to the commit on the thread is
// reported only once: the output must fail, not be committed by a final
// commit that no longer sees it.
int failingCommit(FILE*) {
    ++commitsOnTheThread;
    errno = EIO;
    return 1;
}

TEST_F(BufferedWriteTest, FailedCommitOnTheThreadFailsTheOutput) {
    const BackgroundCommitTestHooks hooks = {1024 * 1024, failingCommit};
    setBackgroundCommitTestHooks(&hooks);
    commitsOnTheThread = 0;
    fs::path target = dir / "lost.bin";
    Bytes data = randomBytes(3 * 1024 * 1024, 8);
    ASSERT_EQ(openOutput(target.wstring().c_str()), 0);
    ASSERT_EQ(writeOutput(data.data(), static_cast<uint32_t>(data.size())), 0);
    ASSERT_TRUE(threadHasCommitted());
    EXPECT_NE(finishOutput(), 0);
    const std::wstring expected = L"cannot write '" + std::wstring(outputTempName()) + L"': " +
                                  plat::stdErrorMessage(EIO);
    EXPECT_EQ(std::wstring(lastErrorText), expected);
    EXPECT_NE(commitOutput(), 0) << "nothing finished to put in place";
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(bufferIsZero());
}

}  // namespace
