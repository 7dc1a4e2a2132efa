// Amounts of bytes as a user reads them.

#include <gtest/gtest.h>

#include <cstdint>

#include "diag/sizetext.h"

namespace {

TEST(SizeText, UnitsAndRounding) {
    struct Case {
        uint64_t bytes;
        bool roundUp;
        const wchar_t* text;
    } cases[] = {
        {0, false, L"0 bytes"},
        {1, false, L"1 byte"},
        {1023, true, L"1023 bytes"},
        {1024, false, L"1.0 KB"},
        {1536, false, L"1.5 KB"},
        {1126, false, L"1.0 KB"},          // 1.0996 KB
        {1126, true, L"1.1 KB"},
        {1048575, false, L"1023.9 KB"},    // a byte short of 1 MB
        {1048575, true, L"1.0 MB"},        // never "1024.0 KB"
        {96434176, false, L"91.9 MB"},
        {214753280, true, L"204.9 MB"},
        {uint64_t(3) << 30, false, L"3.0 GB"},
        {uint64_t(1) << 40, false, L"1.0 TB"},
        {uint64_t(5) << 50, false, L"5120.0 TB"},
        {UINT64_MAX, true, L"16777216.0 TB"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sizeText(c.bytes, c.roundUp), c.text) << c.bytes << (c.roundUp ? " up" : " down");
}

TEST(SizeText, ANeedAboveASupplyNeverShowsTheSameFigure) {
    for (uint64_t supply : {uint64_t(1024), uint64_t(104857), uint64_t(1) << 20, uint64_t(7340031)}) {
        for (uint64_t more : {uint64_t(1), uint64_t(100), uint64_t(1023)})
            EXPECT_NE(sizeText(supply + more, true), sizeText(supply)) << supply << " + " << more;
    }
}

}  // namespace
