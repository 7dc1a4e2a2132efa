// digestFile: key block first, then the file in 4096-byte pieces, with the
// length counter's carry rule; its failures; and agreement with an
// independent Whirlpool (the openssl command) where the rule makes no
// difference.

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "diag/error.h"
#include "digest/filedigest.h"
#include "digest/whirlpool.h"
#include "digest_helpers.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

using digest_test::randomBytes;
using digest_test::toHex;

using Bytes = std::vector<uint8_t>;



// Whirlpool of the given pieces, each added on its own.
std::string piecesDigest(const std::vector<Bytes>& pieces) {
    WhirlpoolState state;
    whirlpoolInit(&state);
    for (const Bytes& piece : pieces)
        whirlpoolAdd(&state, piece.data(), static_cast<uint32_t>(8 * piece.size()));
    uint8_t out[64];
    whirlpoolFinish(&state, out);
    return toHex(out, 64);
}

// Standard Whirlpool: the whole message as one piece is counted exactly.
std::string standardDigest(const Bytes& message) { return piecesDigest({message}); }

// What digestFile must compute: the key as one piece, then the content in
// pieces of 4096 bytes.
std::string expectedFileDigest(const Bytes* key, const Bytes& content) {
    std::vector<Bytes> pieces;
    if (key) pieces.push_back(*key);
    for (size_t at = 0; at < content.size(); at += 4096)
        pieces.emplace_back(content.begin() + static_cast<std::ptrdiff_t>(at),
                            content.begin() + static_cast<std::ptrdiff_t>(std::min(at + 4096, content.size())));
    return piecesDigest(pieces);
}

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    return both;
}

class FileDigest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("velkin-filedigest-" + std::to_string(plat::tickCount()) + "-" +
                std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    fs::path write(const std::string& name, const Bytes& content) {
        const fs::path path = dir_ / name;
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        return path;
    }
    std::string digest(const fs::path& path, const Bytes* key) {
        uint8_t out[64];
        EXPECT_EQ(digestFile(path.wstring().c_str(), key ? key->data() : nullptr, out), 0) << path;
        return toHex(out, 64);
    }
    fs::path dir_;
};

TEST_F(FileDigest, KeyThenContentInPiecesOf4096) {
    const Bytes key = randomBytes(1024, 99);
    struct Case {
        size_t size;
        bool keyed;
    };
    const Case cases[] = {
        {0, false},     {0, true},      {1, false},     {4095, true},   {4096, false},
        {4097, true},   {3 * 4096, false}, {3 * 4096, true}, {70000, true}, {70000, false},
    };
    for (const Case& c : cases) {
        const Bytes content = randomBytes(c.size, static_cast<uint32_t>(c.size));
        const fs::path path = write("f" + std::to_string(c.size) + (c.keyed ? "k" : ""), content);
        EXPECT_EQ(digest(path, c.keyed ? &key : nullptr), expectedFileDigest(c.keyed ? &key : nullptr, content))
            << c.size << (c.keyed ? " keyed" : "");
    }
}

TEST_F(FileDigest, EmptyFileGivesDigestOfTheKeyAlone) {
    const Bytes key = randomBytes(1024, 5);
    const fs::path path = write("empty", {});
    EXPECT_EQ(digest(path, nullptr), standardDigest({}));
    EXPECT_EQ(digest(path, &key), standardDigest(key));
}

TEST_F(FileDigest, StandardBelow8192BytesDifferentFromThere) {
    const Bytes key = randomBytes(1024, 6);
    // Key and file of 8191 bytes together: the counter is exact.
    const Bytes shortContent = randomBytes(8191 - 1024, 7);
    EXPECT_EQ(digest(write("short", shortContent), &key), standardDigest(concat(key, shortContent)));
    EXPECT_EQ(digest(write("short-unkeyed", randomBytes(8191, 8)), nullptr), standardDigest(randomBytes(8191, 8)));
    // From 8192 bytes on, the length field holds the bit count modulo 65536.
    const Bytes longContent = randomBytes(8192 - 1024, 9);
    EXPECT_NE(digest(write("long", longContent), &key), standardDigest(concat(key, longContent)));
}

TEST_F(FileDigest, KnownValueOfEightKiBOfZeros) {
    const fs::path path = write("zeros", Bytes(8192, 0));
    EXPECT_EQ(digest(path, nullptr),
              "F74E39967F27E5C5B394DAA96A45CD991C7159FB15B19ECC0AEACF524074CFB1"
              "83EDA59A1EF977D84237DA01A41D0ACDF38A2A786A8A2192636CA714BE8DD937");
}

TEST_F(FileDigest, KeyAnd8192BytesCountOnlyTheKeysBits) {
    // 8192 + 32768 + 32768 bits: each 4096-byte piece carries out of byte 30
    // and loses the carry, so the field ends at 8192.
    const Bytes key = randomBytes(1024, 10);
    const Bytes content = randomBytes(8192, 11);
    WhirlpoolState state;
    whirlpoolInit(&state);
    whirlpoolAdd(&state, key.data(), 8192);
    whirlpoolAdd(&state, content.data(), 32768);
    whirlpoolAdd(&state, content.data() + 4096, 32768);
    EXPECT_EQ(state.lengthCounter[30], 0x20);
    EXPECT_EQ(state.lengthCounter[31], 0x00);
    uint8_t out[64];
    whirlpoolFinish(&state, out);
    EXPECT_EQ(digest(write("k8192", content), &key), toHex(out, 64));
}

TEST_F(FileDigest, KeyBlockIsLeftUntouched) {
    const Bytes key = randomBytes(1024, 12);
    Bytes shared = key;
    digest(write("any", randomBytes(5000, 13)), &shared);
    EXPECT_EQ(shared, key);
}

TEST_F(FileDigest, MissingFileIsReportedAndOutputUntouched) {
    const fs::path path = dir_ / "no such file";
    uint8_t out[64];
    std::memset(out, 0xA5, sizeof out);
    EXPECT_EQ(digestFile(path.wstring().c_str(), nullptr, out), 1);
    const std::wstring expected =
        L"cannot open file '" + path.wstring() + L"': " + plat::stdErrorMessage(ENOENT);
    EXPECT_EQ(std::wstring(lastErrorText), expected);
    for (uint8_t byte : out) ASSERT_EQ(byte, 0xA5);
}

TEST_F(FileDigest, FolderIsNotDigested) {
    // POSIX opens a folder and fails at the first read; Windows refuses to
    // open it. Either way: failure, reported, output untouched.
    uint8_t out[64];
    std::memset(out, 0xA5, sizeof out);
    EXPECT_EQ(digestFile(dir_.wstring().c_str(), nullptr, out), 1);
    const std::wstring text = lastErrorText;
    const std::wstring quoted = L"'" + dir_.wstring() + L"': ";
#ifdef _WIN32
    EXPECT_EQ(text.rfind(L"cannot open file " + quoted, 0), 0u) << text;
#else
    EXPECT_EQ(text, L"error reading file " + quoted + plat::stdErrorMessage(EISDIR));
#endif
    for (uint8_t byte : out) ASSERT_EQ(byte, 0xA5);
}

#ifndef _WIN32
// The openssl command's Whirlpool of a file, or "" when it cannot be run.
std::string opensslDigest(const fs::path& path) {
    const std::string command =
        "openssl dgst -provider legacy -provider default -whirlpool -r '" + path.string() + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return "";
    char line[512] = "";
    const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    ::pclose(pipe);
    if (!got) return "";
    const std::string text = line;
    if (text.size() < 128) return "";
    std::string hex = text.substr(0, 128);
    for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return hex;
}
#endif

TEST_F(FileDigest, AgreesWithOpensslBelow8192Bytes) {
#ifdef _WIN32
    GTEST_SKIP() << "no openssl command on this build";
#else
    if (opensslDigest(write("probe", Bytes(3, 1))).empty()) GTEST_SKIP() << "openssl with Whirlpool not available";
    std::mt19937 generator(2024);
    for (int round = 0; round < 12; ++round) {
        const bool keyed = round % 2 == 1;
        const size_t limit = keyed ? 8191 - 1024 : 8191;
        const size_t size = round < 2 ? limit : generator() % (limit + 1);
        const Bytes key = randomBytes(1024, 500 + round);
        const Bytes content = randomBytes(size, 600 + round);
        const fs::path file = write("content" + std::to_string(round), content);
        const fs::path whole = write("whole" + std::to_string(round), keyed ? concat(key, content) : content);
        EXPECT_EQ(digest(file, keyed ? &key : nullptr), opensslDigest(whole))
            << size << (keyed ? " keyed" : "");
    }
#endif
}

}  // namespace
