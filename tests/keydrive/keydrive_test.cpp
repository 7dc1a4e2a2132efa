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

    int make(uint64_t size, keydrive::RandomSource random = nullptr, std::wstring program = L"") {
        keydrive::MakeOptions options;
        options.folder = folder_.wstring();
        options.sizeBytes = size;
        options.random = random;
        options.programPath = program;
        return keydrive::makeDrive(options, &error_);
    }
    int check() {
        report_.clear();
        return keydrive::checkDrive(folder_.wstring(), &report_);
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

    fs::path folder_;
    std::wstring error_;
    std::wstring report_;
};

TEST_F(KeyDriveTest, MakeLaysOutASoundDrive) {
    const uint32_t n = 300;
    ASSERT_EQ(make(uint64_t(n) * 1024), 0) << error_.c_str();
    EXPECT_TRUE(fs::is_directory(folder_ / "LOG"));
    EXPECT_TRUE(fs::is_directory(folder_ / "TEMP"));
    Bytes key = read("KEY.DAT"), index = read("INDEX.DAT"), status = read("STATUS.DAT");
    ASSERT_EQ(key.size(), size_t(n) * 1024);
    ASSERT_EQ(index.size(), size_t(n) * 40);
    ASSERT_EQ(status.size(), 12u);
    EXPECT_EQ(getLe32(status.data()), 1u);
    EXPECT_EQ(getLe32(status.data() + 4), 1u);
    EXPECT_EQ(getLe32(status.data() + 8), n - 1);
    EXPECT_FALSE(fs::exists(settings("KEY.DAT.tmp")));

    // Each pad block once in the index, at or after its home slot with no
    // empty slot between.
    std::vector<int> entered(n, 0);
    for (uint32_t s = 0; s < 10 * n; ++s) {
        uint32_t v = getLe32(index.data() + 4 * s);
        if (v == 0) continue;
        ASSERT_LT(v, n);
        ASSERT_NE(v, 0u);
        ++entered[v];
        uint32_t slot = getBe32(key.data() + size_t(v) * 1024 + 4) % (10 * n);
        for (; slot != s; slot = (slot + 1) % (10 * n))
            ASSERT_NE(getLe32(index.data() + 4 * slot), 0u) << "block " << v;
    }
    EXPECT_EQ(entered[0], 0);
    for (uint32_t b = 1; b < n; ++b) EXPECT_EQ(entered[b], 1) << "block " << b;

    EXPECT_EQ(check(), 0) << report_.c_str();
    EXPECT_TRUE(reportHas(L"The key drive is sound.")) << report_.c_str();
    EXPECT_TRUE(reportHas(L"Key usage: 0.0%")) << report_.c_str();
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
    duplicateDraws = 0;
    ASSERT_EQ(make(64 * 1024, duplicatingRandom), 0) << error_.c_str();
    EXPECT_EQ(duplicateDraws, 2) << "block 2 should have been drawn once more";
    Bytes key = read("KEY.DAT");
    EXPECT_NE(0, std::memcmp(key.data() + 1024 + 4, key.data() + 2048 + 4, 256));
    EXPECT_EQ(check(), 0) << report_.c_str();
}

TEST_F(KeyDriveTest, CheckFindsDamage) {
    const uint32_t n = 64;
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
    };
    for (const Case& c : cases) {
        closeKeyStoreForTest();
        std::error_code ec;
        fs::remove_all(folder_, ec);
        ASSERT_EQ(make(uint64_t(n) * 1024), 0) << error_.c_str();
        c.damage(this, n);
        EXPECT_EQ(check(), 1) << c.what << "\n" << report_.c_str();
        EXPECT_TRUE(reportHas(c.text)) << c.what << "\n" << report_.c_str();
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

}  // namespace
