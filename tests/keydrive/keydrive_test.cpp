// The key drive tool: the layout that make lays out and the faults that
// check finds.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "key/key.h"
#include "platform/platform.h"
#include "tools/keydrive/drive.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t getLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint32_t getBe32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

TEST(KeyDriveSize, Parsing) {
    struct Case {
        const wchar_t* text;
        bool ok;
        uint64_t bytes;
    } cases[] = {
        {L"4096", true, 4096},      {L"64K", true, 65536},   {L"3m", true, 3u << 20},
        {L"1G", true, 1ull << 30},  {L"", false, 0},         {L"K", false, 0},
        {L"12KB", false, 0},        {L"-4K", false, 0},      {L"1T", false, 0},
        {L"99999999999999999999", false, 0},                 {L"17179869184G", false, 0},
    };
    for (const Case& c : cases) {
        uint64_t bytes = 0;
        EXPECT_EQ(keydrive::parseSize(c.text, &bytes), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
    }
}

class KeyDriveTest : public ::testing::Test {
public:
    void SetUp() override {
        std::random_device rd;
        folder_ = fs::temp_directory_path() / ("velkin-keydrive-test-" + std::to_string(rd()));
    }
    void TearDown() override {
        closeKeyStoreForTest();
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

    int make(uint64_t size, keydrive::RandomSource random = nullptr, std::wstring program = L"",
             const keydrive::IndexBudget& budget = keydrive::IndexBudget()) {
        keydrive::MakeOptions options;
        options.folder = folder_.wstring();
        options.sizeBytes = size;
        options.random = random;
        options.programPath = program;
        options.budget = budget;
        return keydrive::makeDrive(options, &error_, &made_);
    }
    int check(const keydrive::IndexBudget& budget = keydrive::IndexBudget()) {
        report_.clear();
        closeKeyStoreForTest();
        return keydrive::checkDrive(folder_.wstring(), &report_, false, budget);
    }
    void remake() {
        closeKeyStoreForTest();
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    fs::path settings(const char* name) const { return folder_ / "SETTINGS" / name; }
    Bytes read(const char* name) const {
        std::ifstream in(settings(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void write(const char* name, const Bytes& bytes) const {
        std::ofstream out(settings(name), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    bool reportHas(const wchar_t* text) const { return report_.find(text) != std::wstring::npos; }
    // Enters pad block `block` once more in an empty slot far from where it
    // is, keeping (`keep`) or clearing its own entry.
    void moveEntry(uint32_t block, uint32_t n, bool keep) {
        Bytes index = read("INDEX.DAT");
        uint32_t own = 0;
        for (uint32_t s = 0; s < 10 * n; ++s)
            if (getLe32(index.data() + 4 * s) == block) own = s;
        for (uint32_t step = 10 * n / 2;; ++step) {
            uint32_t s = (own + step) % (10 * n);
            // An empty slot after an empty one: no search runs on into it.
            uint32_t before = (s + 10 * n - 1) % (10 * n);
            if (getLe32(index.data() + 4 * s) == 0 && getLe32(index.data() + 4 * before) == 0) {
                putLe32(index.data() + 4 * s, block);
                break;
            }
        }
        if (!keep) putLe32(index.data() + 4 * own, 0);
        write("INDEX.DAT", index);
    }

    fs::path folder_;
    std::wstring error_;
    std::wstring report_;
    keydrive::MakeResult made_;
};

// The budgets the index is built and checked with: all in memory at once;
// ranges of 64 slots with records spilled every 50; ranges of 7 slots (not
// a divisor of the slot count) with a scratch run for every record.
struct Budget {
    const char* name;
    keydrive::IndexBudget budget;
};
const Budget kBudgets[] = {
    {"in memory", keydrive::IndexBudget()},
    {"ranges of 64", keydrive::IndexBudget{64, 50}},
    {"ranges of 7", keydrive::IndexBudget{7, 1}},
};

// Each pad block once in the index, at or after its home slot with no
// empty slot between.
void expectSoundIndex(const Bytes& key, const Bytes& index, uint32_t n, const char* what) {
    ASSERT_EQ(index.size(), size_t(n) * 40) << what;
    std::vector<int> entered(n, 0);
    for (uint32_t s = 0; s < 10 * n; ++s) {
        uint32_t v = getLe32(index.data() + 4 * s);
        if (v == 0) continue;
        ASSERT_LT(v, n) << what;
        ++entered[v];
        uint32_t slot = getBe32(key.data() + size_t(v) * 1024 + 4) % (10 * n);
        for (; slot != s; slot = (slot + 1) % (10 * n))
            ASSERT_NE(getLe32(index.data() + 4 * slot), 0u) << what << ": block " << v;
    }
    EXPECT_EQ(entered[0], 0) << what;
    for (uint32_t b = 1; b < n; ++b) EXPECT_EQ(entered[b], 1) << what << ": block " << b;
}

TEST_F(KeyDriveTest, MakeLaysOutASoundDrive) {
    const uint32_t n = 300;
    for (const Budget& b : kBudgets) {
        remake();
        ASSERT_EQ(make(uint64_t(n) * 1024, nullptr, L"", b.budget), 0) << b.name << ": " << error_.c_str();
        EXPECT_TRUE(fs::is_directory(folder_ / "LOG"));
        EXPECT_TRUE(fs::is_directory(folder_ / "TEMP"));
        Bytes key = read("KEY.DAT"), index = read("INDEX.DAT"), status = read("STATUS.DAT");
        ASSERT_EQ(key.size(), size_t(n) * 1024);
        ASSERT_EQ(status.size(), 12u);
        EXPECT_EQ(getLe32(status.data()), 1u);
        EXPECT_EQ(getLe32(status.data() + 4), 1u);
        EXPECT_EQ(getLe32(status.data() + 8), n - 1);
        EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(folder_ / "SETTINGS"), fs::directory_iterator()).size(),
                  4u) << b.name << ": only the key files and the key's digest are left in SETTINGS";
        expectSoundIndex(key, index, n, b.name);
        // A drive made with one budget checks sound with every other.
        for (const Budget& c : kBudgets) {
            EXPECT_EQ(check(c.budget), 0) << b.name << " checked with " << c.name << "\n" << report_.c_str();
        }
        EXPECT_TRUE(reportHas(L"The key drive is sound.")) << report_.c_str();
        EXPECT_TRUE(reportHas(L"Key usage: 0.0%")) << report_.c_str();
    }
}

// A random source whose pad blocks all have their home slots among the last
// five of a key of 64 blocks (640 slots), so that their run of taken slots
// passes the ends of ranges and wraps to slot 0.
bool crowdingRandom(void* buffer, size_t length) {
    static std::mt19937 gen(7);
    static uint32_t drawn = 0;
    auto* p = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < length; ++i) p[i] = uint8_t(gen());
    for (size_t at = 0; at + 1024 <= length; at += 1024) {
        uint32_t home = 635 + drawn++ % 5;
        p[at + 4] = 0;
        p[at + 5] = 0;
        p[at + 6] = uint8_t(home >> 8);
        p[at + 7] = uint8_t(home);
    }
    return true;
}

TEST_F(KeyDriveTest, BlocksCrowdedAtTheEndWrapToSlotZero) {
    const uint32_t n = 64;
    for (const Budget& b : kBudgets) {
        remake();
        ASSERT_EQ(make(uint64_t(n) * 1024, crowdingRandom, L"", b.budget), 0) << b.name << ": " << error_.c_str();
        Bytes key = read("KEY.DAT"), index = read("INDEX.DAT");
        expectSoundIndex(key, index, n, b.name);
        EXPECT_NE(getLe32(index.data()), 0u) << b.name << ": slot 0 should hold a block that wrapped";
        for (const Budget& c : kBudgets) {
            EXPECT_EQ(check(c.budget), 0) << b.name << " checked with " << c.name << "\n" << report_.c_str();
        }
        // The program's own key store finds every one of them.
        closeKeyStoreForTest();
        fs::path saved = fs::current_path();
        fs::current_path(folder_);
        for (uint32_t block = 1; block < n; ++block) {
            ASSERT_EQ(findKeyBlock(key.data() + size_t(block) * 1024), 0) << b.name << ": block " << block;
            const uint8_t* served = nextKeyBlock();
            ASSERT_NE(served, nullptr);
            EXPECT_EQ(std::memcmp(served, key.data() + size_t(block) * 1024, 1024), 0) << block;
        }
        closeKeyStoreForTest();
        fs::current_path(saved);
    }
}

TEST_F(KeyDriveTest, MakeReplacesWhatAnUnfinishedMakeLeft) {
    fs::create_directories(folder_ / "SETTINGS");
    write("INDEX.DAT", Bytes(40, 7));
    write("KEY.DAT.tmp", Bytes(3000, 1));
    EXPECT_EQ(check(), 1);
    EXPECT_TRUE(reportHas(L"without a key")) << report_.c_str();
    ASSERT_EQ(make(64 * 1024), 0) << error_.c_str();
    EXPECT_TRUE(made_.replacedLeftovers);
    EXPECT_FALSE(fs::exists(settings("KEY.DAT.tmp")));
    EXPECT_EQ(check(), 0) << report_.c_str();
}

// Volumes of a given kind and free room, as make asks for them.
uint64_t volumeFree = 0;
bool volumeFat = false;
bool fakeVolume(const std::wstring&, uint64_t* freeBytes, bool* isFat) {
    *freeBytes = volumeFree;
    *isFat = volumeFat;
    return true;
}

TEST_F(KeyDriveTest, MakeRefusesAKeyTheVolumeCannotHoldBeforeWritingAnything) {
    struct Case {
        const char* what;
        uint64_t freeBytes;
        bool fat;
        uint64_t size;
        const wchar_t* texts[3];   // in the message; none: the key is made
    } cases[] = {
        {"4 GiB on FAT32", uint64_t(64) << 30, true, uint64_t(4) << 30,
         {L"FAT32 volume, where no file can reach 4 GiB", L"4.0 GiB", L"at most 4095M"}},
        {"too little room", uint64_t(40) << 20, false, uint64_t(64) << 20,
         {L"not enough room on the volume", L"64.0 MiB", L"A key of at most 37M fits there."}},
        {"too little room on FAT32", uint64_t(40) << 20, true, uint64_t(64) << 20,
         {L"not enough room on the volume", L"(41943040 bytes) are free"}},
        {"no room at all", 4096, false, 1 << 20, {L"Free some room or choose another volume."}},
        {"room enough on FAT32", uint64_t(40) << 20, true, uint64_t(32) << 20, {}},
    };
    for (const Case& c : cases) {
        remake();
        volumeFree = c.freeBytes;
        volumeFat = c.fat;
        keydrive::MakeOptions options;
        options.folder = folder_.wstring();
        options.sizeBytes = c.size;
        options.volume = fakeVolume;
        int result = keydrive::makeDrive(options, &error_);
        if (c.texts[0] == nullptr) {
            EXPECT_EQ(result, 0) << c.what << ": " << error_.c_str();
            continue;
        }
        EXPECT_EQ(result, 1) << c.what;
        for (const wchar_t* text : c.texts) {
            if (text != nullptr) {
                EXPECT_NE(error_.find(text), std::wstring::npos) << c.what << ": " << error_.c_str();
            }
        }
        EXPECT_FALSE(fs::exists(folder_)) << c.what << ": nothing may be written";
    }
}

TEST_F(KeyDriveTest, MakeNeverOverwritesAKey) {
    ASSERT_EQ(make(8192), 0) << error_.c_str();
    Bytes key = read("KEY.DAT");
    EXPECT_EQ(make(8192), 1);
    EXPECT_NE(error_.find(L"exists already"), std::wstring::npos) << error_.c_str();
    EXPECT_EQ(read("KEY.DAT"), key);
}

TEST_F(KeyDriveTest, MakeRefusesBadSizes) {
    for (uint64_t size : {uint64_t(5000), uint64_t(0), uint64_t(3072), uint64_t(429496730) * 1024}) {
        EXPECT_EQ(make(size), 1) << size;
        EXPECT_FALSE(fs::exists(settings("KEY.DAT"))) << size;
    }
}

TEST_F(KeyDriveTest, MakeCopiesTheProgramUnderTheCommandNames) {
    fs::create_directories(folder_);
    fs::path program = folder_ / "program.bin";
    {
        std::ofstream out(program, std::ios::binary);
        out << "not really a program";
    }
    ASSERT_EQ(make(8192, nullptr, program.wstring()), 0) << error_.c_str();
    for (const char* name : {"Decrypt", "Encrypt", "Open", "Status"}) {
#ifdef _WIN32
        fs::path copy = folder_ / (std::string(name) + ".exe");
#else
        fs::path copy = folder_ / name;
#endif
        EXPECT_EQ(fs::file_size(copy), fs::file_size(program)) << name;
    }
    fs::remove_all(folder_);
    EXPECT_EQ(make(8192, nullptr, (folder_ / "missing").wstring()), 1);
    EXPECT_FALSE(fs::exists(settings("KEY.DAT")));
}

TEST_F(KeyDriveTest, MakeInstallsTheWorkspaceProgramsFoundBesideTheProgram) {
    fs::create_directories(folder_ / "build");
    const char* extension = "";
#ifdef _WIN32
    extension = ".exe";
#endif
    fs::path program = folder_ / "build" / (std::string("velkin") + extension);
    for (const fs::path& p : {program, folder_ / "build" / (std::string("bkgui") + extension)}) {
        std::ofstream out(p, std::ios::binary);
        out << p.filename().string();
    }
    fs::path drive = folder_ / "drive";
    keydrive::MakeOptions options;
    options.folder = drive.wstring();
    options.sizeBytes = 8192;
    options.programPath = program.wstring();
    ASSERT_EQ(keydrive::makeDrive(options, &error_), 0) << error_.c_str();
    // bkgui is copied; bkfm, missing beside the program, is left out.
    EXPECT_EQ(fs::file_size(drive / "SETTINGS" / (std::string("bkgui") + extension)), 5u + std::strlen(extension));
    EXPECT_FALSE(fs::exists(drive / "SETTINGS" / (std::string("bkfm") + extension)));

    // A Windows program copied by any build names its siblings with .exe.
    auto siblings = keydrive::workspaceSiblings(L"E:\\build\\velkin.EXE");
    ASSERT_EQ(siblings.size(), 2u);
    EXPECT_EQ(siblings[0].name, L"bkgui.exe");
    EXPECT_EQ(siblings[1].source, L"E:\\build\\bkfm.exe");
}

// A random source whose first draw repeats block 1 as block 2 in bytes
// 4..259 (the rest differs); later draws are fresh.
int duplicateDraws = 0;
bool duplicatingRandom(void* buffer, size_t length) {
    auto* p = static_cast<uint8_t*>(buffer);
    static std::mt19937 gen(99);
    for (size_t i = 0; i < length; ++i) p[i] = uint8_t(gen());
    if (duplicateDraws++ == 0 && length >= 3 * 1024) {
        std::memcpy(p + 2048 + 4, p + 1024 + 4, 256);
        p[2048] ^= 0xFF;
        p[2048 + 300] ^= 0xFF;
    }
    return true;
}

TEST_F(KeyDriveTest, PadBlockAlikeAnEarlierOneIsDrawnAgain) {
    for (const Budget& b : kBudgets) {
        remake();
        duplicateDraws = 0;
        ASSERT_EQ(make(64 * 1024, duplicatingRandom, L"", b.budget), 0) << b.name << ": " << error_.c_str();
        EXPECT_EQ(duplicateDraws, 2) << b.name << ": block 2 should have been drawn once more";
        EXPECT_EQ(made_.redrawnBlocks, 1u) << b.name;
        Bytes key = read("KEY.DAT");
        EXPECT_NE(0, std::memcmp(key.data() + 1024 + 4, key.data() + 2048 + 4, 256)) << b.name;
        expectSoundIndex(key, read("INDEX.DAT"), 64, b.name);
        EXPECT_EQ(check(b.budget), 0) << b.name << "\n" << report_.c_str();
    }
}

TEST_F(KeyDriveTest, CheckFindsDamage) {
    const uint32_t n = 64;
    // The damage below is to be found whatever the budget of the check.
    struct Case {
        const char* what;
        void (*damage)(KeyDriveTest*, uint32_t n);
        const wchar_t* text;
    } cases[] = {
        {"slot outside the key",
         [](KeyDriveTest* t, uint32_t n) {
             Bytes index = t->read("INDEX.DAT");
             for (uint32_t s = 0;; ++s)
                 if (getLe32(index.data() + 4 * s) == 0) {
                     putLe32(index.data() + 4 * s, n);
                     break;
                 }
             t->write("INDEX.DAT", index);
         },
         L"outside the key"},
        {"block missing from the index",
         [](KeyDriveTest* t, uint32_t n) {
             Bytes index = t->read("INDEX.DAT");
             for (uint32_t s = 0; s < 10 * n; ++s)
                 if (getLe32(index.data() + 4 * s) == 5) putLe32(index.data() + 4 * s, 0);
             t->write("INDEX.DAT", index);
         },
         L"pad block 5 cannot be found"},
        {"two blocks alike",
         [](KeyDriveTest* t, uint32_t) {
             Bytes key = t->read("KEY.DAT");
             std::memcpy(key.data() + 9 * 1024 + 4, key.data() + 3 * 1024 + 4, 256);
             t->write("KEY.DAT", key);
         },
         L"pad blocks 3 and 9 agree in bytes 4 to 259"},
        {"short index",
         [](KeyDriveTest* t, uint32_t) {
             Bytes index = t->read("INDEX.DAT");
             index.resize(index.size() - 4);
             t->write("INDEX.DAT", index);
         },
         L"the index holds 639 slots"},
        {"short usage record",
         [](KeyDriveTest* t, uint32_t) { t->write("STATUS.DAT", Bytes{1, 0, 0, 0}); },
         L"the usage record holds 4 bytes"},
        {"block entered twice",
         [](KeyDriveTest* t, uint32_t n) { t->moveEntry(5, n, true); },
         L"block 5 is entered in the index more than once"},
        {"block entered out of reach",
         [](KeyDriveTest* t, uint32_t n) { t->moveEntry(5, n, false); },
         L"names pad block 5, but the search from the block's home slot"},
    };
    for (const Budget& b : kBudgets) {
        for (const Case& c : cases) {
            remake();
            ASSERT_EQ(make(uint64_t(n) * 1024), 0) << b.name << ": " << c.what << ": " << error_.c_str();
            c.damage(this, n);
            EXPECT_EQ(check(b.budget), 1) << b.name << ": " << c.what << "\n" << report_.c_str();
            EXPECT_TRUE(reportHas(c.text)) << b.name << ": " << c.what << "\n" << report_.c_str();
        }
    }
}

TEST_F(KeyDriveTest, CheckJudgesTheUsageRecord) {
    const uint32_t n = 32;
    struct Case {
        uint32_t high, first, last;
        bool sound;
    } cases[] = {
        {1, 1, 31, true},  {32, 1, 31, true},  {0, 1, 31, false},
        {1, 0, 31, false}, {1, 1, 32, false},  {33, 1, 31, false},
    };
    ASSERT_EQ(make(uint64_t(n) * 1024), 0) << error_.c_str();
    for (const Case& c : cases) {
        closeKeyStoreForTest();
        Bytes record(12);
        putLe32(record.data(), c.high);
        putLe32(record.data() + 4, c.first);
        putLe32(record.data() + 8, c.last);
        write("STATUS.DAT", record);
        EXPECT_EQ(check(), c.sound ? 0 : 1) << c.high << " " << c.first << " " << c.last << "\n"
                                            << report_.c_str();
    }
}

TEST_F(KeyDriveTest, StatusShowsNumberAndUsage) {
    ASSERT_EQ(make(64 * 1024), 0) << error_.c_str();
    Bytes key = read("KEY.DAT");
    Bytes record(12);
    putLe32(record.data(), 32);
    putLe32(record.data() + 4, 1);
    putLe32(record.data() + 8, 63);
    write("STATUS.DAT", record);
    std::wstring report;
    ASSERT_EQ(keydrive::driveStatus(folder_.wstring(), &report), 0) << report.c_str();
    wchar_t number[40];
    std::swprintf(number, 40, L"%04X-%04X-%04X-%04X-%04X-%04X", key[0] | key[1] << 8,
                  key[2] | key[3] << 8, key[4] | key[5] << 8, key[6] | key[7] << 8,
                  key[8] | key[9] << 8, key[10] | key[11] << 8);
    EXPECT_NE(report.find(std::wstring(L"Key number: ") + number), std::wstring::npos) << report.c_str();
    EXPECT_NE(report.find(L"Key usage: 50.8%"), std::wstring::npos) << report.c_str();   // 31 / 61
}

// The pad's digest finds a changed key block and names the range that holds
// it; a drive made before there were digests is told so and stays sound.
TEST_F(KeyDriveTest, CheckFindsADecayedKeyFileAndNamesItsBlocks) {
    // 9216 blocks: three ranges of up to 4096 blocks.
    struct Case {
        const char* what;
        std::vector<uint32_t> flipped;   // one byte of each of these blocks changes
        void (*spoil)(KeyDriveTest*);
        int result;
        const wchar_t* text;
    } cases[] = {
        {"unchanged", {}, nullptr, 0, L"The key file matches the digest made with it (3 ranges of up to 4096 key blocks)."},
        {"one block changed", {5000}, nullptr, 1,
         L"PROBLEM: the key file no longer matches the digest made with it, first in key blocks 4096 to 8191: the "
         L"key drive is decaying."},
        {"the last range", {9215}, nullptr, 1, L"first in key blocks 8192 to 9215: "},
        {"two ranges", {9000, 100}, nullptr, 1, L"first in key blocks 0 to 4095 (2 ranges in all)"},
        {"block 0", {0}, nullptr, 1, L"first in key blocks 0 to 4095"},
        {"no digest", {}, [](KeyDriveTest* t) { fs::remove(t->settings("KEYSUM.DAT")); }, 0,
         L"The drive keeps no digest of its key file"},
        {"a damaged digest", {},
         [](KeyDriveTest* t) {
             Bytes digest = t->read("KEYSUM.DAT");
             digest[100] ^= 1;
             t->write("KEYSUM.DAT", digest);
         },
         1, L"PROBLEM: the digest of the key file cannot be used: "},
        {"a key file grown", {},
         [](KeyDriveTest* t) { fs::resize_file(t->settings("KEY.DAT"), 9217 * 1024); }, 1,
         L"PROBLEM: the key file holds 9438208 bytes, but held 9437184 when its digest was made"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        closeKeyStoreForTest();
        std::error_code ec;
        fs::remove_all(folder_, ec);
        ASSERT_EQ(make(9216 * 1024), 0) << error_.c_str();
        if (!c.flipped.empty()) {
            Bytes key = read("KEY.DAT");
            for (uint32_t b : c.flipped) key[size_t(b) * 1024 + 700] ^= 0x10;
            write("KEY.DAT", key);
        }
        if (c.spoil) c.spoil(this);
        EXPECT_EQ(check(), c.result) << report_.c_str();
        EXPECT_TRUE(reportHas(c.text)) << report_.c_str();
    }
}

#ifndef _WIN32
// On a folder drive any local account could otherwise copy the pad.
TEST_F(KeyDriveTest, MakeKeepsTheKeyFilesToTheUser) {
    fs::create_directories(folder_ / "SETTINGS");
    fs::permissions(folder_ / "SETTINGS", fs::perms(0755), fs::perm_options::replace);
    ASSERT_EQ(make(64 * 1024), 0) << error_.c_str();
    EXPECT_EQ(fs::status(folder_ / "SETTINGS").permissions(), fs::perms(0700));
    for (const char* name : {"KEY.DAT", "INDEX.DAT", "STATUS.DAT", "KEYSUM.DAT"})
        EXPECT_EQ(fs::status(settings(name)).permissions(), fs::perms(0600)) << name;
}
#endif

}  // namespace
