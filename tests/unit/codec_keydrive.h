// A small key drive (tests/support/keydrive.h) in a temporary folder for the
// codec tests. The drive's folder is the current directory while a test runs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "codec/format.h"
#include "codec/pending.h"
#include "diag/error.h"
#include "key/key.h"
#include "platform/platform.h"
#include "tests/support/keydrive.h"

namespace codectest {

namespace fs = std::filesystem;
using Bytes = keydrive::Bytes;

// Whole-file reads and writes through the platform layer, so that names
// outside ASCII work on every build.
inline Bytes readBytes(const std::wstring& path) {
    Bytes data;
    FILE* f = plat::openFile(path, L"rb");
    if (!f) return data;
    uint8_t chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + got);
    std::fclose(f);
    return data;
}
inline Bytes readBytes(const wchar_t* path) { return readBytes(std::wstring(path)); }
inline Bytes readBytes(const fs::path& path) { return readBytes(path.wstring()); }

inline void writeBytes(const std::wstring& path, const Bytes& data) {
    FILE* f = plat::openFile(path, L"wb");
    ASSERT_NE(f, nullptr);
    if (!data.empty()) {
        ASSERT_EQ(std::fwrite(data.data(), data.size(), 1, f), 1u);
    }
    ASSERT_EQ(std::fclose(f), 0);
}
inline void writeBytes(const wchar_t* path, const Bytes& data) { writeBytes(std::wstring(path), data); }
inline void writeBytes(const fs::path& path, const Bytes& data) { writeBytes(path.wstring(), data); }

inline Bytes randomBytes(std::size_t n, uint32_t seed) { return keydrive::randomBytes(n, seed); }

inline void buildKeyDrive(const fs::path& folder, uint32_t blocks, uint32_t seed) {
    keydrive::build(folder, blocks, seed);
}

class KeyDriveTest : public ::testing::Test {
protected:
    // Blocks in the drive; a test class may ask for more.
    virtual uint32_t blockCount() const { return 64; }

    void SetUp() override {
        std::random_device rd;
        root = fs::temp_directory_path() /
               ("velkin-codec-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        fs::create_directories(root / "work");
        buildKeyDrive(root, blockCount(), 0x5eed0000u + blockCount());
        savedDir = plat::currentDir();
        ASSERT_EQ(plat::setCurrentDir(root.wstring()), 0);
        closeKeyStoreForTest();
        keyCache.clear();
        lastErrorText[0] = 0;
    }

    void TearDown() override {
        closeKeyStoreForTest();
        // The journal's lock file is let go of before its folder goes.
        resetPendingForTest();
        plat::setCurrentDir(savedDir);
        std::error_code ec;
        fs::permissions(root / "work", fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root, ec);
    }

    // The files of the journal of work in progress.
    std::vector<std::wstring> journal() const {
        std::vector<std::wstring> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(root / "SETTINGS" / "PENDING", ec))
            names.push_back(e.path().filename().wstring());
        return names;
    }

    // The folder for the test's files, with its trailing separator.
    std::wstring workPrefix() const { return (root / "work").wstring() + plat::kSep; }
    std::wstring workPath(const std::wstring& name) const { return workPrefix() + name; }

    Bytes keyBlock(uint32_t b) {
        if (keyCache.empty()) keyCache = readBytes(root / "SETTINGS" / "KEY.DAT");
        return Bytes(keyCache.begin() + std::size_t(b) * 1024, keyCache.begin() + std::size_t(b + 1) * 1024);
    }
    // Overwrites the first word of key block b (bytes 0..3 play no part in
    // the index), e.g. to choose a tail length.
    void setBlockWord(uint32_t b, uint32_t value) {
        Bytes key = readBytes(root / "SETTINGS" / "KEY.DAT");
        codec::putU32(&key[std::size_t(b) * 1024], value);
        closeKeyStoreForTest();
        writeBytes(root / "SETTINGS" / "KEY.DAT", key);
        keyCache.clear();
    }
    uint32_t highWaterMark() const {
        Bytes status = readBytes(root / "SETTINGS" / "STATUS.DAT");
        return status.size() >= 4 ? codec::getU32(status.data()) : 0;
    }
    void setHighWaterMark(uint32_t hw) {
        Bytes status = readBytes(root / "SETTINGS" / "STATUS.DAT");
        codec::putU32(status.data(), hw);
        closeKeyStoreForTest();
        writeBytes(root / "SETTINGS" / "STATUS.DAT", status);
    }

    // Names of the entries of a folder, sorted; the random digits of a
    // temporary output's name ("<target>.0123abcd.tmp") shown as '*'
    // ("<target>.*.tmp").
    static std::vector<std::wstring> listing(const fs::path& folder) {
        std::vector<std::wstring> names;
        for (const auto& e : fs::directory_iterator(folder)) names.push_back(shownName(e.path().filename().wstring()));
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::wstring shownName(const std::wstring& name) {
        const std::size_t n = name.size();
        if (n <= 13 || name[n - 13] != L'.' || name.compare(n - 4, 4, L".tmp") != 0) return name;
        for (std::size_t i = n - 12; i < n - 4; ++i)
            if (!std::iswxdigit(name[i]) || std::iswupper(name[i])) return name;
        return name.substr(0, n - 12) + L"*.tmp";
    }
    // The temporary output beside target (its one file "<target>.*.tmp");
    // empty when there is none.
    static std::wstring tempBeside(const std::wstring& target) {
        const fs::path t(target);
        for (const auto& e : fs::directory_iterator(t.parent_path())) {
            const std::wstring name = e.path().filename().wstring();
            if (shownName(name) == t.filename().wstring() + L".*.tmp") return e.path().wstring();
        }
        return std::wstring();
    }

    static std::wstring lastError() { return lastErrorText; }

    fs::path root;
    std::wstring savedDir;
    Bytes keyCache;
};

}  // namespace codectest
