// The choice of the digest's compression path: what each kind of processor
// gets, what VELKIN_DIGEST_PATH may force, and how a refused setting fails
// the digest with its message.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "diag/error.h"
#include "digest/digestpath.h"
#include "digest/filedigest.h"
#include "digest/whirlpoolcompress.h"
#include "platform/platform.h"

namespace {

using whirlpool_detail::CompressFunction;

// The settings here are plain ASCII: for the failure messages.
std::string narrow(const wchar_t* text) {
    std::string result;
    for (; *text != L'\0'; ++text) result += static_cast<char>(*text);
    return result;
}

CpuFeatures features(bool avx2, bool gfni, bool avx512f, bool avx512bw, bool avx512vbmi) {
    CpuFeatures f;
    f.avx2 = avx2, f.gfni = gfni, f.avx512f = avx512f, f.avx512bw = avx512bw, f.avx512vbmi = avx512vbmi;
    return f;
}

struct ProcessorCase {
    const char* processor;
    CpuFeatures features;
    DigestPath fastest;
    CompressFunction compress;   // what the fastest path runs with
};

// Processors as they are sold: no AVX2 (older or low-end ones), AVX2 alone,
// AVX2 with GFNI but no AVX-512, AVX-512 without VBMI or without GFNI, and
// all of it.
TEST(DigestPathChoice, FastestPathPerKindOfProcessor) {
    const ProcessorCase cases[] = {
        {"no vector features", features(false, false, false, false, false), DigestPath::Portable,
         whirlpool_detail::compressPortable},
        {"GFNI without AVX2", features(false, true, false, false, false), DigestPath::Portable,
         whirlpool_detail::compressPortable},
        {"AVX2", features(true, false, false, false, false), DigestPath::Avx2, whirlpool_detail::compressAvx2},
        {"AVX2 and GFNI", features(true, true, false, false, false), DigestPath::Avx2,
         whirlpool_detail::compressAvx2Gfni},
        {"AVX-512 F/BW without VBMI", features(true, true, true, true, false), DigestPath::Avx2,
         whirlpool_detail::compressAvx2Gfni},
        {"AVX-512 with VBMI, no GFNI", features(true, false, true, true, true), DigestPath::Avx2,
         whirlpool_detail::compressAvx2},
        {"AVX-512 with VBMI and GFNI", features(true, true, true, true, true), DigestPath::Avx512,
         whirlpool_detail::compressAvx512},
    };
    for (const ProcessorCase& c : cases) {
        EXPECT_EQ(fastestDigestPath(c.features), c.fastest) << c.processor;
        EXPECT_EQ(whirlpool_detail::compressFunctionFor(c.fastest, c.features), c.compress) << c.processor;
        DigestPath chosen = DigestPath::Portable;
        std::wstring refusal;
        EXPECT_EQ(chooseDigestPath(nullptr, c.features, &chosen, &refusal), 0) << c.processor;
        EXPECT_EQ(chosen, c.fastest) << c.processor;
        EXPECT_EQ(chooseDigestPath(L"", c.features, &chosen, &refusal), 0) << c.processor;
        EXPECT_EQ(chosen, c.fastest) << c.processor;
    }
}

struct SettingCase {
    const wchar_t* setting;
    CpuFeatures features;
    bool accepted;
    DigestPath path;           // when accepted
    const wchar_t* refusal;    // when refused
};

TEST(DigestPathChoice, ForcedPathIsTakenOrRefusedNeverReplaced) {
    const CpuFeatures none = features(false, false, false, false, false);
    const CpuFeatures avx2 = features(true, false, false, false, false);
    const CpuFeatures all = features(true, true, true, true, true);
    const SettingCase cases[] = {
        {L"portable", all, true, DigestPath::Portable, nullptr},
        {L"portable", none, true, DigestPath::Portable, nullptr},
        {L"avx2", all, true, DigestPath::Avx2, nullptr},
        {L"AVX2", avx2, true, DigestPath::Avx2, nullptr},
        {L"avx2-nogfni", all, true, DigestPath::Avx2NoGfni, nullptr},
        {L"AVX2-NoGFNI", avx2, true, DigestPath::Avx2NoGfni, nullptr},
        {L"avx512", all, true, DigestPath::Avx512, nullptr},
        {L"avx2", none, false, DigestPath::Portable,
         L"the digest path 'avx2' set in VELKIN_DIGEST_PATH needs AVX2, which this processor does not have"},
        {L"avx2-nogfni", none, false, DigestPath::Portable,
         L"the digest path 'avx2-nogfni' set in VELKIN_DIGEST_PATH needs AVX2, which this processor does not have"},
        {L"avx512", avx2, false, DigestPath::Portable,
         L"the digest path 'avx512' set in VELKIN_DIGEST_PATH needs AVX-512 (F, BW and VBMI) and GFNI, "
         L"which this processor does not have"},
        {L"avx512", features(true, false, true, true, true), false, DigestPath::Portable,
         L"the digest path 'avx512' set in VELKIN_DIGEST_PATH needs AVX-512 (F, BW and VBMI) and GFNI, "
         L"which this processor does not have"},
        {L"fast", all, false, DigestPath::Portable,
         L"VELKIN_DIGEST_PATH is set to 'fast'; it must be 'portable', 'avx2', 'avx2-nogfni' or 'avx512'"},
        {L"avx2 ", all, false, DigestPath::Portable,
         L"VELKIN_DIGEST_PATH is set to 'avx2 '; it must be 'portable', 'avx2', 'avx2-nogfni' or 'avx512'"},
    };
    for (const SettingCase& c : cases) {
        DigestPath chosen = DigestPath::Portable;
        std::wstring refusal;
        const int result = chooseDigestPath(c.setting, c.features, &chosen, &refusal);
        if (c.accepted) {
            EXPECT_EQ(result, 0) << "'" << narrow(c.setting) << "'";
            EXPECT_EQ(chosen, c.path) << "'" << narrow(c.setting) << "'";
        } else {
            EXPECT_EQ(result, 1) << "'" << narrow(c.setting) << "'";
            EXPECT_EQ(refusal, c.refusal);
        }
    }
}

// The setting as the program meets it: read from the environment once per
// run, and a refusal failing every digest with its message.
class DigestPathSetting : public testing::Test {
protected:
    void TearDown() override {
        plat::unsetEnv(L"VELKIN_DIGEST_PATH");
        resetDigestPathChoice();
    }
    void set(const std::wstring& value) {
        ASSERT_EQ(plat::putEnv(L"VELKIN_DIGEST_PATH=" + value), 0);
        resetDigestPathChoice();
    }
};

TEST_F(DigestPathSetting, UnsetRunsTheFastestPath) {
    plat::unsetEnv(L"VELKIN_DIGEST_PATH");
    resetDigestPathChoice();
    EXPECT_EQ(checkDigestPath(), 0);
    EXPECT_EQ(activeDigestPath(), fastestDigestPath(detectCpuFeatures()));
}

TEST_F(DigestPathSetting, PortableIsForcedOnAnyProcessor) {
    set(L"portable");
    EXPECT_EQ(checkDigestPath(), 0);
    EXPECT_EQ(activeDigestPath(), DigestPath::Portable);
    EXPECT_EQ(whirlpool_detail::activeCompressFunction(), whirlpool_detail::compressPortable);
}

// avx2 takes GFNI's form where the processor has GFNI; avx2-nogfni never
// does, so a processor with GFNI can run what one without it runs.
TEST_F(DigestPathSetting, Avx2WithoutGfniRunsTheFormWithoutGfni) {
    const CpuFeatures here = detectCpuFeatures();
    for (bool gfni : {false, true}) {
        CpuFeatures f = features(true, gfni, false, false, false);
        EXPECT_EQ(whirlpool_detail::compressFunctionFor(DigestPath::Avx2NoGfni, f), whirlpool_detail::compressAvx2);
        EXPECT_EQ(whirlpool_detail::compressFunctionFor(DigestPath::Avx2, f),
                  gfni ? whirlpool_detail::compressAvx2Gfni : whirlpool_detail::compressAvx2);
    }
    if (!here.avx2) GTEST_SKIP() << "this processor has no AVX2";
    set(L"avx2-nogfni");
    EXPECT_EQ(checkDigestPath(), 0);
    EXPECT_EQ(activeDigestPath(), DigestPath::Avx2NoGfni);
    EXPECT_EQ(whirlpool_detail::activeCompressFunction(), whirlpool_detail::compressAvx2);
}

TEST_F(DigestPathSetting, RefusalFailsTheFileDigestBeforeItStarts) {
    set(L"avx1024");
    const wchar_t* message =
        L"VELKIN_DIGEST_PATH is set to 'avx1024'; it must be 'portable', 'avx2', 'avx2-nogfni' or 'avx512'";
    lastErrorText[0] = L'\0';
    EXPECT_EQ(checkDigestPath(), 1);
    EXPECT_STREQ(lastErrorText, message);

    // The file need not exist: the refusal comes first, and the output
    // stays untouched.
    lastErrorText[0] = L'\0';
    uint8_t out[64];
    std::memset(out, 0xA5, sizeof out);
    EXPECT_EQ(digestFile(L"no file is opened", nullptr, out), 1);
    EXPECT_STREQ(lastErrorText, message);
    for (uint8_t byte : out) ASSERT_EQ(byte, 0xA5);
}

}  // namespace
