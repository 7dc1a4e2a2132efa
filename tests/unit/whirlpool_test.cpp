// Whirlpool: the published test vectors, the length counter's carry rule,
// buffering across pieces, and every compression path this processor runs
// agreeing with them and with each other.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "digest/whirlpool.h"
#include "digest_helpers.h"
#include "digest/digestpath.h"
#include "digest/whirlpoolcompress.h"
#include "digest/whirlpooltables.h"

namespace {

using digest_test::randomBytes;
using digest_test::toHex;


// Digest of data added as pieces of the given byte counts (the rest, if
// any, as a last piece).
std::string digestPieces(const std::vector<uint8_t>& data, const std::vector<size_t>& pieces) {
    WhirlpoolState state;
    whirlpoolInit(&state);
    size_t done = 0;
    for (size_t piece : pieces) {
        whirlpoolAdd(&state, data.data() + done, static_cast<uint32_t>(8 * piece));
        done += piece;
    }
    if (done < data.size())
        whirlpoolAdd(&state, data.data() + done, static_cast<uint32_t>(8 * (data.size() - done)));
    uint8_t out[64];
    whirlpoolFinish(&state, out);
    return toHex(out, 64);
}

std::string digestOf(const std::vector<uint8_t>& data) { return digestPieces(data, {}); }

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }


const std::string kEmptyDigest =
    "19FA61D75522A4669B44E39C1D2E1726C530232130D407F89AFEE0964997F7A7"
    "3E83BE698B288FEBCF88E3E03C4F0757EA8964E59B63D93708B138CC42A66EB3";
const std::string kMessageDigestDigest =
    "378C84A4126E2DC6E56DCC7458377AAC838D00032230F53CE1F5700C0FFB4D3B"
    "8421557659EF55C106B4B52AC5A4AAA692ED920052838F3362E86DBD37A8903E";
const std::string kMillionADigest =
    "0C99005BEB57EFF50A7CF005560DDF5D29057FD86B20BFD62DECA0F1CCEA4AF5"
    "1FC15490EDDC47AF32BB2B66C34FF9AD8C6008AD677F77126953B226E4ED8B01";

TEST(WhirlpoolTables, DerivedFromTheCipherDefinition) {
    using whirlpool_detail::kTables;
    EXPECT_EQ(kTables.table[0][0], 0x18186018C07830D8ull);
    EXPECT_EQ(kTables.roundConstant[1], 0x1823C6E887B8014Full);
    // The S-box is a permutation and each table is the first one rotated.
    std::vector<bool> seen(256, false);
    for (int x = 0; x < 256; ++x) seen[whirlpool_detail::kSBox.value[x]] = true;
    for (int x = 0; x < 256; ++x) EXPECT_TRUE(seen[x]) << x;
    for (int t = 1; t < 8; ++t)
        for (int x = 0; x < 256; ++x) {
            const uint64_t first = kTables.table[0][x];
            ASSERT_EQ(kTables.table[t][x], (first >> (8 * t)) | (first << (64 - 8 * t)));
        }
}

struct Vector {
    const char* message;
    const char* digest;
};

// The ISO/IEC 10118-3 / NESSIE vectors, each added as one piece (counted
// exactly, so equal to standard Whirlpool).
TEST(WhirlpoolVectors, SinglePieceMatchesStandard) {
    const Vector vectors[] = {
        {"", kEmptyDigest.c_str()},
        {"a",
         "8ACA2602792AEC6F11A67206531FB7D7F0DFF59413145E6973C45001D0087B42"
         "D11BC645413AEFF63A42391A39145A591A92200D560195E53B478584FDAE231A"},
        {"abc",
         "4E2448A4C6F486BB16B6562C73B4020BF3043E3A731BCE721AE1B303D97E6D4C"
         "7181EEBDB6C57E277D0E34957114CBD6C797FC9D95D8B582D225292076D4EEF5"},
        {"message digest", kMessageDigestDigest.c_str()},
        {"abcdefghijklmnopqrstuvwxyz",
         "F1D754662636FFE92C82EBB9212A484A8D38631EAD4238F5442EE13B8054E41B"
         "08BF2A9251C30B6A0B8AAE86177AB4A6F68F673E7207865D5D9819A3DBA4EB3B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "DC37E008CF9EE69BF11F00ED9ABA26901DD7C28CDEC066CC6AF42E40F82F3A1E"
         "08EBA26629129D8FB7CB57211B9281A65517CC879D7B962142C65F5A7AF01467"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "466EF18BABB0154D25B9D38A6414F5C08784372BCCB204D6549C4AFADB601429"
         "4D5BD8DF2A6C44E538CD047B2681A51A2C60481E88C5A20B2C2A80CF3A9A083B"},
        {"abcdbcdecdefdefgefghfghighijhijk",
         "2A987EA40F917061F5D6F0A0E4644F488A7A5A52DEEE656207C562F988E95C69"
         "16BDC8031BC5BE1B7B947639FE050B56939BAAA0ADFF9AE6745B7B181C3BE3FD"},
    };
    for (const Vector& v : vectors) EXPECT_EQ(digestOf(bytesOf(v.message)), v.digest) << v.message;
}

TEST(WhirlpoolVectors, MillionAAsOnePiece) {
    EXPECT_EQ(digestOf(std::vector<uint8_t>(1000000, 'a')), kMillionADigest);
}

// Pieces whose bit lengths never carry out of their top byte are counted
// exactly, so odd piece sizes that leave the buffer part-filled must still
// give the standard digest.
TEST(WhirlpoolBuffering, UnalignedPiecesGiveStandardDigest) {
    const std::vector<uint8_t> million(1000000, 'a');
    for (size_t head : {1, 31, 32, 33, 63, 64, 65}) {
        std::vector<size_t> pieces{head};
        // 8192 bytes = 0x10000 bits: only byte 29 of the counter changes.
        while (pieces.size() < 123) pieces.push_back(8192);
        EXPECT_EQ(digestPieces(million, pieces), kMillionADigest) << "first piece " << head;
    }
}

TEST(WhirlpoolLengthCounter, CarryOutOfTopByteIsDropped) {
    // 40960 bits, then 32768 bits: the counter ends at 8192, not 73728.
    std::vector<uint8_t> data(5120 + 4096, 0x5A);
    WhirlpoolState state;
    whirlpoolInit(&state);
    whirlpoolAdd(&state, data.data(), 40960);
    EXPECT_EQ(state.lengthCounter[30], 0xA0);
    EXPECT_EQ(state.lengthCounter[31], 0x00);
    whirlpoolAdd(&state, data.data() + 5120, 32768);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(state.lengthCounter[i], 0) << i;
    EXPECT_EQ(state.lengthCounter[30], 0x20);
    EXPECT_EQ(state.lengthCounter[31], 0x00);
}

TEST(WhirlpoolLengthCounter, CarryWithinPieceIsKept) {
    // 0xFF8 bits onto 0x08: the carry out of byte 31 goes on into byte 30,
    // which the piece still reaches.
    std::vector<uint8_t> data(1 + 511, 1);
    WhirlpoolState state;
    whirlpoolInit(&state);
    whirlpoolAdd(&state, data.data(), 8);
    whirlpoolAdd(&state, data.data() + 1, 0xFF8);
    EXPECT_EQ(state.lengthCounter[30], 0x10);
    EXPECT_EQ(state.lengthCounter[31], 0x00);
}

TEST(WhirlpoolLengthCounter, EightKiBOfZerosInTwoPiecesHasZeroLength) {
    // The file digest adds 4096-byte pieces: 8192 zero bytes end with a
    // length field of zero and differ from standard Whirlpool.
    const std::vector<uint8_t> zeros(8192, 0);
    EXPECT_EQ(digestPieces(zeros, {4096, 4096}),
              "F74E39967F27E5C5B394DAA96A45CD991C7159FB15B19ECC0AEACF524074CFB1"
              "83EDA59A1EF977D84237DA01A41D0ACDF38A2A786A8A2192636CA714BE8DD937");
    EXPECT_EQ(digestOf(zeros),
              "F410F50D8A9C853F76964B65C901F373318D9B42400148A4E913726190FE1098"
              "44FE3D210A5615B27FFC2F951D90C3346E2B718327823503840F8DFFB305791C");
}

// Pieces that are not whole bytes go through the bit path; as long as the
// total stays below 256 bits no carry is dropped, so any split of the same
// bits gives the same digest.
TEST(WhirlpoolBits, BitPiecesAssembleLikeBytes) {
    const std::vector<uint8_t> message = bytesOf("message digest");   // 112 bits
    // Take bits [start, start + count) of the message into a fresh array.
    auto bitsOf = [&](size_t start, size_t count) {
        std::vector<uint8_t> out((count + 7) / 8, 0);
        for (size_t i = 0; i < count; ++i) {
            const size_t from = start + i;
            const unsigned bit = (message[from / 8] >> (7 - from % 8)) & 1;
            out[i / 8] = static_cast<uint8_t>(out[i / 8] | (bit << (7 - i % 8)));
        }
        return out;
    };
    const std::vector<std::vector<size_t>> splits = {
        {3, 5, 8, 13, 1, 82}, {1, 1, 1, 1, 1, 1, 1, 1, 104}, {7, 105}, {111, 1}};
    for (const auto& split : splits) {
        WhirlpoolState state;
        whirlpoolInit(&state);
        size_t start = 0;
        for (size_t count : split) {
            const std::vector<uint8_t> piece = bitsOf(start, count);
            whirlpoolAdd(&state, piece.data(), static_cast<uint32_t>(count));
            start += count;
        }
        ASSERT_EQ(start, 112u);
        uint8_t out[64];
        whirlpoolFinish(&state, out);
        EXPECT_EQ(toHex(out, 64), kMessageDigestDigest) << "split starting " << split[0];
    }
}

TEST(WhirlpoolBits, PartialByteMessagesDifferByTheirLength) {
    // 7 bits 1010101 and 8 bits 10101010 must not collide: the padding bit
    // and the length field tell them apart.
    const uint8_t byte = 0xAA;
    uint8_t seven[64], eight[64];
    WhirlpoolState state;
    whirlpoolInit(&state);
    whirlpoolAdd(&state, &byte, 7);
    whirlpoolFinish(&state, seven);
    whirlpoolInit(&state);
    whirlpoolAdd(&state, &byte, 8);
    whirlpoolFinish(&state, eight);
    EXPECT_NE(toHex(seven, 64), toHex(eight, 64));
}

TEST(WhirlpoolState, StaleBufferBytesDoNotLeakIntoPadding) {
    // A used and re-initialised state, and a buffer refilled after a
    // compression, still hold earlier bytes; the padding must overwrite,
    // not OR into, them.
    const std::vector<uint8_t> junk(127, 0xFF);
    WhirlpoolState state;
    whirlpoolInit(&state);
    whirlpoolAdd(&state, junk.data(), 8 * 127);
    whirlpoolInit(&state);
    uint8_t out[64];
    whirlpoolFinish(&state, out);
    EXPECT_EQ(toHex(out, 64), kEmptyDigest);

    const std::vector<uint8_t> data = randomBytes(142, 7);
    EXPECT_EQ(digestPieces(data, {1}), digestOf(data));
}

// Every compression this processor runs, by name. The AVX2 path has a form
// with GFNI and one without; both are checked where both run.
struct NamedCompress {
    const char* name;
    whirlpool_detail::CompressFunction compress;
};

std::vector<NamedCompress> compressionsHere() {
    const CpuFeatures features = detectCpuFeatures();
    std::vector<NamedCompress> all = {{"portable", whirlpool_detail::compressPortable}};
    if (digestPathRuns(DigestPath::Avx2, features)) {
        all.push_back({"avx2", whirlpool_detail::compressAvx2});
        if (features.gfni) all.push_back({"avx2+gfni", whirlpool_detail::compressAvx2Gfni});
    }
    if (digestPathRuns(DigestPath::Avx512, features)) all.push_back({"avx512", whirlpool_detail::compressAvx512});
    return all;
}

class WhirlpoolPaths : public ::testing::Test {
protected:
    void TearDown() override { resetDigestPathChoice(); }
};

TEST_F(WhirlpoolPaths, CompressionAgreesBlockForBlock) {
    for (const NamedCompress& c : compressionsHere()) {
        for (uint32_t seed = 0; seed <= 20; ++seed) {
            const size_t count = seed;   // runs of 0 ... 20 blocks
            const std::vector<uint8_t> blocks = randomBytes(64 * count, seed);
            const std::vector<uint8_t> start = randomBytes(64, seed + 1000);
            uint64_t reference[8], tried[8];
            for (int i = 0; i < 8; ++i) {
                uint64_t word = 0;
                for (int j = 0; j < 8; ++j) word = (word << 8) | start[8 * i + j];
                reference[i] = tried[i] = word;
            }
            whirlpool_detail::compressPortable(reference, blocks.data(), count);
            c.compress(tried, blocks.data(), count);
            for (int i = 0; i < 8; ++i) ASSERT_EQ(tried[i], reference[i]) << c.name << ", seed " << seed;
        }
    }
}

// Each path on its own against the published values, not only against the
// others: the digest runs on the path forced for the run.
TEST_F(WhirlpoolPaths, EachPathGivesThePublishedDigests) {
    for (DigestPath path : {DigestPath::Portable, DigestPath::Avx2, DigestPath::Avx2NoGfni, DigestPath::Avx512}) {
        if (!digestPathRuns(path, detectCpuFeatures())) continue;
        forceDigestPath(path);
        ASSERT_EQ(activeDigestPath(), path);
        EXPECT_EQ(digestOf(bytesOf("abc")),
                  "4E2448A4C6F486BB16B6562C73B4020BF3043E3A731BCE721AE1B303D97E6D4C"
                  "7181EEBDB6C57E277D0E34957114CBD6C797FC9D95D8B582D225292076D4EEF5")
            << digestPathName(path);
        EXPECT_EQ(digestOf(bytesOf("message digest")), kMessageDigestDigest) << digestPathName(path);
        EXPECT_EQ(digestOf(std::vector<uint8_t>(1000000, 'a')), kMillionADigest) << digestPathName(path);
        EXPECT_EQ(digestPieces(std::vector<uint8_t>(8192, 0), {4096, 4096}),
                  "F74E39967F27E5C5B394DAA96A45CD991C7159FB15B19ECC0AEACF524074CFB1"
                  "83EDA59A1EF977D84237DA01A41D0ACDF38A2A786A8A2192636CA714BE8DD937")
            << digestPathName(path);
    }
}

TEST_F(WhirlpoolPaths, DigestsAgreeWhateverThePieces) {
    for (size_t size : {0, 1, 31, 32, 33, 63, 64, 65, 4095, 4096, 8192, 100000}) {
        const std::vector<uint8_t> data = randomBytes(size, static_cast<uint32_t>(size));
        forceDigestPath(DigestPath::Portable);
        const std::string portable = digestPieces(data, {size / 3, size / 3});
        for (DigestPath path : {DigestPath::Avx2, DigestPath::Avx2NoGfni, DigestPath::Avx512}) {
            if (!digestPathRuns(path, detectCpuFeatures())) continue;
            forceDigestPath(path);
            EXPECT_EQ(digestPieces(data, {size / 3, size / 3}), portable) << digestPathName(path) << ", " << size;
        }
    }
}

}  // namespace
