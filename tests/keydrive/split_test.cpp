// Partner drives: the split of a key drive, what it refuses, what a split
// cut off after each of its steps leaves, and the comparison of drives that
// check makes.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "diag/error.h"
#include "diag/log.h"
#include "drive/util.h"
#include "key/key.h"
#include "platform/platform.h"
#include "tests/support/tempfolder.h"
#include "tools/keydrive/drive.h"
#include "tools/keydrive/partners.h"
#include "tools/keydrive/range.h"
#include "tools/keydrive/split.h"

namespace fs = std::filesystem;

// Records compare and print in the tests' messages.
namespace keydrive {
bool operator==(const UsageRecord& a, const UsageRecord& b) {
    return a.highWaterMark == b.highWaterMark && a.firstBlock == b.firstBlock && a.lastBlock == b.lastBlock;
}
std::ostream& operator<<(std::ostream& out, const UsageRecord& r) {
    return out << "{" << r.highWaterMark << ", " << r.firstBlock << ", " << r.lastBlock << "}";
}
}  // namespace keydrive

namespace {

using Bytes = std::vector<uint8_t>;
using Tree = std::map<std::string, Bytes>;
using keydrive::UsageRecord;

// Closes what the key store and the log keep open, as the end of a program
// run would: a drive's files can then be removed, also on Windows.
void closeStore() {
    closeKeyStoreForTest();
    closeLogForTest();
}

Bytes readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void writeText(const fs::path& path, const std::string& text) {
    writeBytes(path, Bytes(text.begin(), text.end()));
}

Bytes recordBytes(const UsageRecord& r) {
    Bytes bytes(12);
    for (int i = 0; i < 4; ++i) {
        bytes[size_t(i)] = uint8_t(r.highWaterMark >> (8 * i));
        bytes[size_t(4 + i)] = uint8_t(r.firstBlock >> (8 * i));
        bytes[size_t(8 + i)] = uint8_t(r.lastBlock >> (8 * i));
    }
    return bytes;
}

// Every file below a folder with its bytes, and every folder (empty bytes
// under a name ending in '/').
Tree treeOf(const fs::path& root) {
    Tree tree;
    std::error_code ec;
    if (!fs::exists(root, ec)) return tree;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = fs::relative(it->path(), root).generic_string();
        if (it->is_directory()) tree[name + "/"] = Bytes();
        else tree[name] = readBytes(it->path());
    }
    return tree;
}

TEST(ShareText, Parsing) {
    struct Case {
        const wchar_t* text;
        bool ok;
        uint64_t numerator, denominator;
    } cases[] = {
        {L"1/2", true, 1, 2},       {L"1/3", true, 1, 3},          {L"0.25", true, 25, 100},
        {L".5", true, 5, 10},       {L"40%", true, 40, 100},       {L"12.5%", true, 125, 1000},
        {L"0.000001", true, 1, 1000000},
        {L"", false, 0, 0},         {L"0", false, 0, 0},           {L"1", false, 0, 0},
        {L"1/1", false, 0, 0},      {L"0/5", false, 0, 0},         {L"3/2", false, 0, 0},
        {L"5/0", false, 0, 0},      {L"1.5", false, 0, 0},         {L"100%", false, 0, 0},
        {L"0%", false, 0, 0},       {L"half", false, 0, 0},        {L"1/", false, 0, 0},
        {L"/2", false, 0, 0},       {L"0.1234567", false, 0, 0},   {L"-0.5", false, 0, 0},
        {L"50 %", false, 0, 0},     {L"1/2/3", false, 0, 0},       {L".", false, 0, 0},
        {L"1/99999999999", false, 0, 0},
    };
    for (const Case& c : cases) {
        keydrive::Share share;
        EXPECT_EQ(keydrive::parseShare(c.text, &share), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(share.numerator, c.numerator) << c.text;
            EXPECT_EQ(share.denominator, c.denominator) << c.text;
            EXPECT_EQ(share.text, c.text);
        }
    }
}

class SplitTest : public ::testing::Test {
public:
    void SetUp() override {
        root_ = testsupport::makeTempFolder("velkin-split-test");
        source_ = root_ / "source";
        target_ = root_ / "target";
        saved_ = plat::currentDir();
    }
    void TearDown() override {
        closeStore();
        plat::setCurrentDir(saved_);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // A key drive of `blocks` blocks with the given usage record.
    void makeSource(uint32_t blocks, const UsageRecord& record) {
        keydrive::MakeOptions options;
        options.folder = source_.wstring();
        options.sizeBytes = uint64_t(blocks) * kKeyBlockSize;
        std::wstring error;
        ASSERT_EQ(keydrive::makeDrive(options, &error), 0) << error.c_str();
        writeBytes(source_ / "SETTINGS" / "STATUS.DAT", recordBytes(record));
    }

    int split(const wchar_t* share = L"1/2", int stopAfter = 0, bool backup = false) {
        keydrive::SplitOptions options;
        options.source = source_.wstring();
        options.target = target_.wstring();
        if (!keydrive::parseShare(share, &options.share)) ADD_FAILURE() << "bad share in the test";
        options.stopAfterStep = stopAfter;
        options.backup = backup;
        options.syncFolder = syncFolder_;
        result_ = keydrive::SplitResult();
        error_.clear();
        return keydrive::splitDrive(options, &result_, &error_);
    }
    int backup(int stopAfter = 0) { return split(L"1/2", stopAfter, true); }

    // Both drives gone, and SOURCE made afresh.
    void fresh(uint32_t blocks, const UsageRecord& record) {
        closeStore();
        std::error_code ec;
        fs::remove_all(source_, ec);
        fs::remove_all(target_, ec);
        makeSource(blocks, record);
    }

    UsageRecord recordOf(const fs::path& drive) {
        uint32_t blocks = 0;
        UsageRecord record;
        std::wstring error;
        EXPECT_TRUE(keydrive::readDriveRange(drive.wstring(), &blocks, &record, &error)) << error.c_str();
        return record;
    }

    // The program's key store can reserve a block on the drive.
    bool programCanEncryptOn(const fs::path& drive) {
        closeStore();
        bool ok = plat::setCurrentDir(drive.wstring()) == 0 && openKeyStore() == 0 && reserveKeyBlocks(1) == 0;
        closeStore();
        plat::setCurrentDir(saved_);
        return ok;
    }

    bool hasText(const wchar_t* text) const { return error_.find(text) != std::wstring::npos; }

    fs::path root_, source_, target_;
    std::wstring saved_;
    keydrive::SplitResult result_;
    std::wstring error_;
    bool (*syncFolder_)(const std::wstring&, std::wstring*) = nullptr;
};

const UsageRecord kBackup{kBackupHighWaterMark, kBackupFirstBlock, kBackupLastBlock};

TEST_F(SplitTest, TargetGetsTheUpperPartOfTheUnusedPad) {
    struct Case {
        const char* what;
        UsageRecord before;
        const wchar_t* share;
        uint32_t targetFirst;   // TARGET: {targetFirst, targetFirst, last}; SOURCE ends below it
        uint32_t last;
    } cases[] = {
        // 1023 unused blocks: TARGET gets 511, SOURCE keeps the odd block.
        {"fresh drive, half", {1, 1, 1023}, L"1/2", 513, 1023},
        // 924 unused: 462 each.
        {"used drive, half", {100, 1, 1023}, L"0.5", 562, 1023},
        // 1023 * 0.25 = 255.75: TARGET gets 255.
        {"a quarter", {1, 1, 1023}, L"25%", 769, 1023},
        {"two thirds", {1, 1, 1023}, L"2/3", 342, 1023},
        // lastBlock beyond the last pad block counts as the last pad block.
        {"lastBlock N", {1, 1, 1024}, L"1/2", 513, 1023},
        // A partner drive splits its own range again.
        {"partner splits again", {600, 513, 1023}, L"1/2", 812, 1023},
        {"lower range", {10, 1, 512}, L"1/2", 262, 512},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        fs::remove_all(source_, ec);
        fs::remove_all(target_, ec);
        makeSource(1024, c.before);
        writeText(source_ / "LOG" / "log.txt", "the source's own history");
        ASSERT_EQ(split(c.share), 0) << error_.c_str();

        UsageRecord target{c.targetFirst, c.targetFirst, c.last};
        UsageRecord source{c.before.highWaterMark, c.before.firstBlock, c.targetFirst - 1};
        EXPECT_EQ(recordOf(target_), target);
        EXPECT_EQ(recordOf(source_), source);
        EXPECT_EQ(result_.target, target);
        EXPECT_EQ(result_.source, source);
        EXPECT_EQ(readBytes(target_ / "SETTINGS" / "KEY.DAT"), readBytes(source_ / "SETTINGS" / "KEY.DAT"));
        EXPECT_EQ(readBytes(target_ / "SETTINGS" / "INDEX.DAT"), readBytes(source_ / "SETTINGS" / "INDEX.DAT"));
        EXPECT_TRUE(fs::is_directory(target_ / "TEMP"));
        EXPECT_TRUE(fs::is_directory(target_ / "LOG"));
        EXPECT_FALSE(fs::exists(target_ / "LOG" / "log.txt")) << "the log is the source's own";
        for (const auto& entry : treeOf(target_))
            EXPECT_EQ(entry.first.find(".tmp"), std::string::npos) << entry.first;
        EXPECT_EQ(keydrive::comparePartners({source_.wstring(), target_.wstring()}, &error_), 0) << error_.c_str();
        EXPECT_TRUE(programCanEncryptOn(source_)) << lastErrorText;
        EXPECT_TRUE(programCanEncryptOn(target_)) << lastErrorText;
    }
}

TEST_F(SplitTest, ProgramsSiblingsAndLaunchersAreCopied) {
    makeSource(256, {1, 1, 255});
    const char* carried[] = {"Decrypt", "Encrypt.exe", "Status", "Open.exe", "SETTINGS/bkgui",
                             "SETTINGS/bkfm.exe", "Velkin Encrypt.desktop"};
    for (const char* name : carried) writeText(source_ / name, std::string("contents of ") + name);
    writeText(source_ / "notes.txt", "not a program");
    writeText(source_ / "SETTINGS" / "other.bin", "not a sibling");
#ifndef _WIN32
    fs::permissions(source_ / "Decrypt", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
#endif
    ASSERT_EQ(split(), 0) << error_.c_str();

    Tree tree = treeOf(target_);
    std::map<std::string, Bytes> expected = {{"LOG/", {}}, {"TEMP/", {}}, {"SETTINGS/", {}}};
    for (const char* name : carried) expected[name] = readBytes(source_ / name);
    for (const char* name : {"KEY.DAT", "INDEX.DAT", "STATUS.DAT", "KEYSUM.DAT"})
        expected[std::string("SETTINGS/") + name] = readBytes(target_ / "SETTINGS" / name);
    EXPECT_EQ(tree, expected);
#ifndef _WIN32
    EXPECT_EQ(fs::status(target_ / "Decrypt").permissions(), fs::status(source_ / "Decrypt").permissions());
#endif
}

TEST_F(SplitTest, RefusalsChangeNothing) {
    struct Case {
        const char* what;
        UsageRecord record;
        const wchar_t* share;
        void (*prepare)(SplitTest*);
        const wchar_t* message;
        bool backup = false;   // a backup instead of a split
    } cases[] = {
        {"target holds a key", {1, 1, 255}, L"1/2",
         [](SplitTest* t) {
             keydrive::MakeOptions options;
             options.folder = t->target_.wstring();
             options.sizeBytes = 64 * 1024;
             std::wstring error;
             ASSERT_EQ(keydrive::makeDrive(options, &error), 0);
         },
         L"holds a key already"},
        {"target is the source", {1, 1, 255}, L"1/2", [](SplitTest* t) { t->target_ = t->source_; },
         L"holds a key already"},
        {"target is a file", {1, 1, 255}, L"1/2", [](SplitTest* t) { writeText(t->target_, "x"); },
         L"is not a folder"},
        {"target inside the source", {1, 1, 255}, L"1/2", [](SplitTest* t) { t->target_ = t->source_ / "partner"; },
         L"lies inside"},
        {"target is the source's SETTINGS", {1, 1, 255}, L"1/2",
         [](SplitTest* t) { t->target_ = t->source_ / "SETTINGS"; }, L"lies inside"},
        {"target is the source's LOG", {1, 1, 255}, L"1/2", [](SplitTest* t) { t->target_ = t->source_ / "LOG"; },
         L"lies inside"},
        {"source is a backup drive", kBackup, L"1/2", nullptr, L"is a backup key drive: it has no range of its own"},
        // 127 blocks unused: a half gives TARGET 63, one short of the least share.
        {"too little for the target", {129, 1, 255}, L"1/2", nullptr, L"has too little unused pad"},
        // 255 unused; 0.9 leaves SOURCE 26.
        {"too little for the source", {1, 1, 255}, L"0.9", nullptr, L"has too little unused pad"},
        {"pad used up", {256, 1, 255}, L"1/2", nullptr, L"has too little unused pad"},
        {"in use", {1, 1, 255}, L"1/2",
         [](SplitTest* t) {
             // A running instance: its key store is open on the drive.
             ASSERT_EQ(plat::setCurrentDir(t->source_.wstring()), 0);
             ASSERT_EQ(openKeyStore(), 0) << lastErrorText;
             plat::setCurrentDir(t->saved_);
         },
         L"is in use"},
        {"not a key drive", {1, 1, 255}, L"1/2",
         [](SplitTest* t) { fs::remove(t->source_ / "SETTINGS" / "INDEX.DAT"); }, L"is not a key drive"},
        {"short usage record", {1, 1, 255}, L"1/2",
         [](SplitTest* t) { writeBytes(t->source_ / "SETTINGS" / "STATUS.DAT", Bytes{9, 0, 0, 0}); },
         L"does not hold a whole usage record"},
        {"mark 0", {0, 1, 255}, L"1/2", nullptr, L"is damaged"},
        {"mark below the range", {5, 10, 255}, L"1/2", nullptr, L"is damaged"},
        {"mark beyond the range", {300, 1, 255}, L"1/2", nullptr, L"is damaged"},
        {"a backup of a backup", kBackup, L"1/2", nullptr,
         L"is a backup key drive: a backup is made from a key drive that encrypts, never from a backup", true},
        {"a backup inside its source", {1, 1, 255}, L"1/2",
         [](SplitTest* t) { t->target_ = t->source_ / "TEMP" / "backup"; }, L"lies inside", true},
        {"a backup onto a key", {1, 1, 255}, L"1/2",
         [](SplitTest* t) {
             fs::create_directories(t->target_ / "SETTINGS");
             writeText(t->target_ / "SETTINGS" / "KEY.DAT", "a key");
         },
         L"holds a key already", true},
        {"a backup of no key drive", {1, 1, 255}, L"1/2",
         [](SplitTest* t) { fs::remove(t->source_ / "SETTINGS" / "KEY.DAT"); }, L"is not a key drive", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        closeStore();
        std::error_code ec;
        fs::remove_all(root_, ec);
        fs::create_directories(root_);
        target_ = root_ / "target";
        makeSource(256, c.record);
        if (c.prepare) c.prepare(this);
        Tree sourceBefore = treeOf(source_), targetBefore = treeOf(target_);
        bool targetExisted = fs::exists(target_);
        EXPECT_EQ(split(c.share, 0, c.backup), 1);
        EXPECT_TRUE(hasText(c.message)) << error_.c_str();
        closeStore();
        EXPECT_EQ(treeOf(source_), sourceBefore);
        EXPECT_EQ(treeOf(target_), targetBefore);
        EXPECT_EQ(fs::exists(target_), targetExisted);
    }
}

// A split cut off after each step, as by a kill: SOURCE stays usable, TARGET
// is usable only with a range apart from SOURCE's, and a second split onto
// the same target finishes the job: a split cut short after SOURCE gave up
// TARGET's range is recognised and finished with that range, never split
// again (which would leave each drive a quarter and abandon the rest).
TEST_F(SplitTest, InterruptedSplitNeverLeavesOverlappingDrives) {
    const UsageRecord before{40, 1, 1023};
    for (int step = 1; step <= keydrive::kSplitStepCount; ++step) {
        SCOPED_TRACE("stopped after step " + std::to_string(step));
        closeStore();
        std::error_code ec;
        fs::remove_all(source_, ec);
        fs::remove_all(target_, ec);
        makeSource(1024, before);
        ASSERT_EQ(split(L"1/2", step), keydrive::kSplitStopped) << error_.c_str();

        const UsageRecord lowered{40, 1, 531};   // 984 unused: 492 go to TARGET from 532 on
        EXPECT_EQ(recordOf(source_), step >= keydrive::kStepSourceLowered ? lowered : before);
        EXPECT_TRUE(programCanEncryptOn(source_)) << lastErrorText;
        std::wstring report;
        EXPECT_EQ(keydrive::checkDrive(source_.wstring(), &report), 0) << report.c_str();

        bool targetUsable = fs::exists(target_ / "SETTINGS" / "KEY.DAT");
        EXPECT_EQ(targetUsable, step == keydrive::kStepKeyNamed);
        if (targetUsable) {
            EXPECT_EQ(recordOf(target_), (UsageRecord{532, 532, 1023}));
        } else {
            closeStore();
            ASSERT_EQ(plat::setCurrentDir(target_.wstring()), 0);
            EXPECT_NE(openKeyStore(), 0) << "a target without its key file must not be usable";
            plat::setCurrentDir(saved_);
        }
        closeStore();
        report.clear();
        EXPECT_EQ(keydrive::comparePartners({source_.wstring(), target_.wstring()}, &report), 0)
            << report.c_str();

        // Again onto the same target: refused once it holds the key, else done.
        int again = split();
        if (targetUsable) {
            EXPECT_EQ(again, 1);
            EXPECT_TRUE(hasText(L"holds a key already")) << error_.c_str();
        } else {
            ASSERT_EQ(again, 0) << error_.c_str();
            EXPECT_EQ(result_.replacedLeftovers, step >= keydrive::kStepKeyCopied);
            EXPECT_EQ(result_.finishedCutShort, step >= keydrive::kStepSourceLowered);
            // The source has encrypted a block since (above): a new split
            // halves 983 unused blocks, a finished one keeps 532 on.
            const uint32_t first = step >= keydrive::kStepSourceLowered ? 532 : 533;
            EXPECT_EQ(recordOf(target_), (UsageRecord{first, first, 1023}));
            EXPECT_EQ(recordOf(source_), (UsageRecord{41, 1, first - 1}));
        }
        report.clear();
        EXPECT_EQ(keydrive::comparePartners({source_.wstring(), target_.wstring()}, &report), 0)
            << report.c_str();
        EXPECT_TRUE(programCanEncryptOn(source_)) << lastErrorText;
        EXPECT_TRUE(programCanEncryptOn(target_)) << lastErrorText;
    }
}

// Finishing a split cut short may be cut short itself: TARGET keeps the
// record of its range throughout, and the next run still finishes it.
TEST_F(SplitTest, AFinishCutShortIsFinishedLater) {
    const UsageRecord lowered{40, 1, 531}, target{532, 532, 1023};
    for (int step = 1; step <= keydrive::kSplitStepCount; ++step) {
        SCOPED_TRACE("the finish stopped after step " + std::to_string(step));
        fresh(1024, {40, 1, 1023});
        ASSERT_EQ(split(L"1/2", keydrive::kStepSourceLowered), keydrive::kSplitStopped) << error_.c_str();
        ASSERT_EQ(split(L"1/3", step), keydrive::kSplitStopped) << error_.c_str();
        EXPECT_EQ(recordOf(source_), lowered);
        if (step < keydrive::kStepKeyNamed) {
            ASSERT_EQ(split(L"1/3"), 0) << error_.c_str();
            EXPECT_TRUE(result_.finishedCutShort);
        }
        EXPECT_EQ(recordOf(source_), lowered);
        EXPECT_EQ(recordOf(target_), target);
        std::wstring report;
        EXPECT_EQ(keydrive::checkDrive(target_.wstring(), &report), 0) << report.c_str();
    }
}

TEST_F(SplitTest, ComparingDrivesWarnsOfOverlappingRanges) {
    struct Case {
        const char* what;
        UsageRecord a, b;
        bool sameKey;
        int result;
        const wchar_t* text;
    } cases[] = {
        {"partners", {1, 1, 511}, {512, 512, 1023}, true, 0, L"hold the same key with ranges apart"},
        {"copy by hand", {1, 1, 1023}, {1, 1, 1023}, true, 1, L"their ranges overlap in key blocks 1 to 1023"},
        {"overlap at one block", {1, 1, 512}, {512, 512, 1023}, true, 1, L"overlap in key blocks 512 to 512"},
        {"used on both", {30, 1, 1023}, {20, 1, 1023}, true, 1, L"handed out key blocks 1 to 19 already"},
        {"other keys", {1, 1, 1023}, {1, 1, 1023}, false, 0, L"hold different keys"},
    };
    const fs::path a = root_ / "a", b = root_ / "b";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        fs::remove_all(a, ec);
        fs::remove_all(b, ec);
        source_ = a;
        makeSource(1024, c.a);
        if (c.sameKey) {
            fs::copy(a, b, fs::copy_options::recursive);
        } else {
            source_ = b;
            makeSource(1024, c.b);
        }
        writeBytes(b / "SETTINGS" / "STATUS.DAT", recordBytes(c.b));
        std::wstring report;
        EXPECT_EQ(keydrive::comparePartners({a.wstring(), b.wstring()}, &report), c.result) << report.c_str();
        EXPECT_NE(report.find(c.text), std::wstring::npos) << report.c_str();
    }
    std::wstring report;
    EXPECT_EQ(keydrive::comparePartners({a.wstring(), a.wstring()}, &report), 0);
    EXPECT_NE(report.find(L"are the same drive"), std::wstring::npos) << report.c_str();
}

TEST_F(SplitTest, StatusAndCheckShowTheDrivesRange) {
    makeSource(1024, {100, 1, 1023});
    ASSERT_EQ(split(), 0) << error_.c_str();
    std::wstring status, check;
    ASSERT_EQ(keydrive::driveStatus(target_.wstring(), &status), 0) << status.c_str();
    EXPECT_NE(status.find(L"Range: key blocks 562 to 1023, a share of the pad: 462 blocks (473088 bytes)"),
              std::wstring::npos) << status.c_str();
    EXPECT_NE(status.find(L"Left of the range: 462 blocks"), std::wstring::npos) << status.c_str();
    EXPECT_NE(status.find(L"Key usage: 0.0%"), std::wstring::npos) << status.c_str();
    status.clear();
    ASSERT_EQ(keydrive::driveStatus(source_.wstring(), &status), 0) << status.c_str();
    EXPECT_NE(status.find(L"Range: key blocks 1 to 561, a share"), std::wstring::npos) << status.c_str();
    EXPECT_NE(status.find(L"Left of the range: 462 blocks"), std::wstring::npos) << status.c_str();
    // 99 of the 559 blocks that the usage divides by.
    EXPECT_NE(status.find(L"Key usage: 17.7%"), std::wstring::npos) << status.c_str();
    EXPECT_EQ(keydrive::checkDrive(target_.wstring(), &check), 0) << check.c_str();
    EXPECT_NE(check.find(L"Range: key blocks 562 to 1023"), std::wstring::npos) << check.c_str();

    // A mark below the range would hand out a partner's blocks.
    writeBytes(target_ / "SETTINGS" / "STATUS.DAT", recordBytes({500, 562, 1023}));
    check.clear();
    EXPECT_EQ(keydrive::checkDrive(target_.wstring(), &check), 1);
    EXPECT_NE(check.find(L"lies below the first block 562"), std::wstring::npos) << check.c_str();
}

// A backup drive: the same key, index and digest of the key, no range of
// its own; SOURCE is untouched. The program decrypts with it and never
// encrypts.
TEST_F(SplitTest, BackupHasTheKeyAndNoRange) {
    makeSource(1024, {100, 1, 1023});
    writeText(source_ / "Decrypt", "the program");
    const Tree sourceBefore = treeOf(source_);
    ASSERT_EQ(backup(), 0) << error_.c_str();
    EXPECT_EQ(treeOf(source_), sourceBefore);
    EXPECT_EQ(recordOf(target_), kBackup);
    for (const char* name : {"KEY.DAT", "INDEX.DAT", "KEYSUM.DAT"})
        EXPECT_EQ(readBytes(target_ / "SETTINGS" / name), readBytes(source_ / "SETTINGS" / name)) << name;
    EXPECT_EQ(readBytes(target_ / "Decrypt"), readBytes(source_ / "Decrypt"));
    EXPECT_TRUE(result_.digestNote.empty()) << result_.digestNote.c_str();

    EXPECT_FALSE(programCanEncryptOn(target_));
    EXPECT_NE(std::wstring(lastErrorText).find(L"is a backup key drive: it decrypts, and never encrypts"),
              std::wstring::npos) << lastErrorText;
    EXPECT_TRUE(programCanEncryptOn(source_)) << lastErrorText;

    std::wstring status, check, compared;
    ASSERT_EQ(keydrive::driveStatus(target_.wstring(), &status), 0) << status.c_str();
    EXPECT_NE(status.find(L"Key number: "), std::wstring::npos) << status.c_str();
    EXPECT_NE(status.find(L"backup drive (decrypts only)"), std::wstring::npos) << status.c_str();
    EXPECT_EQ(status.find(L"4294967295"), std::wstring::npos) << status.c_str();
    EXPECT_EQ(keydrive::checkDrive(target_.wstring(), &check), 0) << check.c_str();
    EXPECT_NE(check.find(L"backup drive (decrypts only)"), std::wstring::npos) << check.c_str();
    EXPECT_NE(check.find(L"The key file matches the digest made with it"), std::wstring::npos) << check.c_str();
    EXPECT_EQ(keydrive::comparePartners({source_.wstring(), target_.wstring()}, &compared), 0) << compared.c_str();
    EXPECT_NE(compared.find(L"is a backup drive (decrypts only) of the key of"), std::wstring::npos)
        << compared.c_str();
}

// A backup stopped dead after each step is never a drive until its key
// file has its name, and then only a backup; a second run finishes it.
TEST_F(SplitTest, InterruptedBackupIsNeverTakenForADrive) {
    for (int step = 1; step <= keydrive::kSplitStepCount; ++step) {
        SCOPED_TRACE("stopped after step " + std::to_string(step));
        fresh(512, {30, 1, 511});
        const Tree sourceBefore = treeOf(source_);
        ASSERT_EQ(backup(step), keydrive::kSplitStopped) << error_.c_str();
        EXPECT_EQ(treeOf(source_), sourceBefore);
        const bool made = fs::exists(target_ / "SETTINGS" / "KEY.DAT");
        EXPECT_EQ(made, step == keydrive::kStepKeyNamed);
        closeStore();
        ASSERT_EQ(plat::setCurrentDir(target_.wstring()), 0);
        EXPECT_EQ(openKeyStore() == 0, made);
        EXPECT_NE(reserveKeyBlocks(1), 0) << "the target must never encrypt";
        plat::setCurrentDir(saved_);
        closeStore();
        if (made) {
            EXPECT_EQ(recordOf(target_), kBackup);
            EXPECT_TRUE(fs::exists(target_ / "SETTINGS" / "KEYSUM.DAT"));
            continue;
        }
        ASSERT_EQ(backup(), 0) << error_.c_str();
        EXPECT_EQ(recordOf(target_), kBackup);
        EXPECT_EQ(treeOf(source_), sourceBefore);
        std::wstring report;
        EXPECT_EQ(keydrive::checkDrive(target_.wstring(), &report), 0) << report.c_str();
    }
}

// A source whose key has changed since its digest was made gives no
// partner and no backup: either would carry the damage.
TEST_F(SplitTest, ADecayedSourceIsNotCopied) {
    makeSource(1024, {1, 1, 1023});
    Bytes key = readBytes(source_ / "SETTINGS" / "KEY.DAT");
    key[size_t(600) * 1024 + 9] ^= 0x01;
    writeBytes(source_ / "SETTINGS" / "KEY.DAT", key);
    const Tree sourceBefore = treeOf(source_);
    for (bool asBackup : {false, true}) {
        SCOPED_TRACE(asBackup ? "backup" : "split");
        EXPECT_EQ(split(L"1/2", 0, asBackup), 1);
        EXPECT_TRUE(hasText(L"does not match the digest that its source keeps of it, in key blocks 0 to 1023"))
            << error_.c_str();
        EXPECT_TRUE(hasText(asBackup ? L"nothing was made" : L"nothing was split")) << error_.c_str();
        EXPECT_FALSE(fs::exists(target_ / "SETTINGS" / "KEY.DAT"));
        EXPECT_EQ(treeOf(source_), sourceBefore);
    }
    // A drive made before digests were kept is copied, and told so.
    fs::remove(source_ / "SETTINGS" / "KEYSUM.DAT");
    ASSERT_EQ(backup(), 0) << error_.c_str();
    EXPECT_NE(result_.digestNote.find(L"keeps no digest of its key file"), std::wstring::npos)
        << result_.digestNote.c_str();
    EXPECT_TRUE(fs::exists(target_ / "SETTINGS" / "KEYSUM.DAT"));
}

bool failingSync(const std::wstring&, std::wstring* why) {
    *why = L"Input/output error";
    return false;
}

// The split's renames are on the disk only when the folders are committed:
// a commit that fails is reported, not ignored.
TEST_F(SplitTest, AFailedFolderCommitIsReported) {
    for (bool asBackup : {false, true}) {
        SCOPED_TRACE(asBackup ? "backup" : "split");
        fresh(256, {1, 1, 255});
        syncFolder_ = failingSync;
        EXPECT_EQ(split(L"1/2", 0, asBackup), 1);
        syncFolder_ = nullptr;
        EXPECT_TRUE(hasText(L"could not be committed to the disk: Input/output error")) << error_.c_str();
        EXPECT_TRUE(hasText(L"velkin-keydrive check")) << error_.c_str();
        // What was done stands: TARGET has its key.
        EXPECT_TRUE(fs::exists(target_ / "SETTINGS" / "KEY.DAT"));
    }
}

#ifndef _WIN32
TEST_F(SplitTest, ATargetGivenThroughALinkToAFolderIsAccepted) {
    makeSource(256, {1, 1, 255});
    const fs::path real = root_ / "real";
    fs::create_directories(real);
    fs::create_directory_symlink(real, target_);
    ASSERT_EQ(split(), 0) << error_.c_str();
    EXPECT_TRUE(fs::is_symlink(target_));
    EXPECT_TRUE(fs::exists(real / "SETTINGS" / "KEY.DAT"));
    EXPECT_TRUE(programCanEncryptOn(real)) << lastErrorText;
}

TEST_F(SplitTest, TheNewDrivesKeyFilesAreTheUsers) {
    for (bool asBackup : {false, true}) {
        SCOPED_TRACE(asBackup ? "backup" : "split");
        fresh(256, {1, 1, 255});
        ASSERT_EQ(split(L"1/2", 0, asBackup), 0) << error_.c_str();
        EXPECT_EQ(fs::status(target_ / "SETTINGS").permissions(), fs::perms(0700));
        for (const char* name : {"KEY.DAT", "INDEX.DAT", "STATUS.DAT", "KEYSUM.DAT"})
            EXPECT_EQ(fs::status(target_ / "SETTINGS" / name).permissions(), fs::perms(0600)) << name;
    }
}
#endif

}  // namespace
