// Parts of the key drive tool: the records sorted into ranges of slots, and
// the progress line on a terminal and in a pipe.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tools/keydrive/progress.h"
#include "tools/keydrive/recordbuckets.h"

namespace {

using keydrive::PadRecord;
using keydrive::RecordBuckets;
using keydrive::SlotRanges;

TEST(RecordBuckets, EveryRecordComesBackOnceWithItsRange) {
    struct Case {
        const char* what;
        uint32_t slots, rangeSlots;
        size_t buffered;
        uint32_t records;
    } cases[] = {
        {"all in memory", 2000, 50, 5000, 1000},
        {"runs in a scratch file", 2000, 50, 37, 1000},
        {"one range", 2000, 2000, 10, 300},
        {"a last range shorter than the others", 1001, 100, 64, 500},
    };
    for (const Case& c : cases) {
        SlotRanges ranges(c.slots, c.rangeSlots);
        RecordBuckets buckets(ranges, c.buffered, std::wstring());
        std::mt19937 gen(3);
        std::vector<uint32_t> keys;
        for (uint32_t b = 1; b <= c.records; ++b) {
            PadRecord r{uint32_t(gen()), uint32_t(gen()), b};
            keys.push_back(r.key);
            ASSERT_TRUE(buckets.add(r)) << c.what << ": " << buckets.error().c_str();
        }
        ASSERT_TRUE(buckets.seal()) << c.what;
        // Added once the gathering ended: read with its range all the same.
        PadRecord late{keys[0], 99, c.records + 1};
        keys.push_back(late.key);
        ASSERT_TRUE(buckets.add(late));

        std::vector<int> seen(c.records + 2, 0);
        std::vector<PadRecord> got;
        for (uint32_t range = 0; range < ranges.count(); ++range) {
            ASSERT_TRUE(buckets.read(range, &got)) << c.what << ": " << buckets.error().c_str();
            for (const PadRecord& r : got) {
                ASSERT_GE(r.block, 1u);
                ASSERT_LE(r.block, c.records + 1);
                EXPECT_EQ(r.key, keys[r.block - 1]) << c.what;
                EXPECT_EQ(ranges.rangeOf(ranges.home(r)), range) << c.what << ": block " << r.block;
                ++seen[r.block];
            }
        }
        for (uint32_t b = 1; b <= c.records + 1; ++b) EXPECT_EQ(seen[b], 1) << c.what << ": block " << b;
    }
}

// A progress line written to a string, on a clock the test moves.
struct Captured {
    std::wstring text;
    double now = 100;
    keydrive::ProgressOutput output(bool terminal) {
        keydrive::ProgressOutput out;
        out.enabled = true;
        out.terminal = terminal;
        out.write = [this](const std::wstring& t) { text += t; };
        out.seconds = [this]() { return now; };
        return out;
    }
};

TEST(ProgressLine, TerminalRedrawsOneLineWithAnEstimate) {
    Captured c;
    {
        keydrive::ProgressLine line(c.output(true), L"writing the key", 1000);
        line.update(0);
        c.now += 10;
        line.update(250);   // a quarter in 10 s: 30 s left
        c.now += 0.1;
        line.update(260);   // too soon to draw again
        c.now += 20;
        line.update(1000);
        line.finish();
    }
    EXPECT_EQ(c.text.find(L'\n'), c.text.size() - 1) << "one line, ended once";
    EXPECT_NE(c.text.find(L"\rwriting the key: 0%"), std::wstring::npos);
    EXPECT_NE(c.text.find(L"\rwriting the key: 25%, about 30 s left"), std::wstring::npos);
    EXPECT_EQ(c.text.find(L"26%"), std::wstring::npos);
    EXPECT_NE(c.text.find(L"\rwriting the key: done in 30.1 s"), std::wstring::npos);
}

TEST(ProgressLine, PipeGetsPlainLinesOnlyForALongRun) {
    struct Case {
        const char* what;
        double secondsPerStep;
        const wchar_t* expected;
    } cases[] = {
        {"short", 0.1, L""},
        {"long", 2, L"building the index: 30%, about 14 s left\n"},
    };
    for (const Case& k : cases) {
        Captured c;
        {
            keydrive::ProgressLine line(c.output(false), L"building the index", 10);
            for (int done = 1; done <= 10; ++done) {
                c.now += k.secondsPerStep;
                line.update(uint64_t(done));
            }
            line.finish();
        }
        EXPECT_EQ(c.text.find(L'\r'), std::wstring::npos) << k.what;
        if (*k.expected == L'\0') {
            EXPECT_EQ(c.text, L"") << k.what;
        } else {
            EXPECT_NE(c.text.find(k.expected), std::wstring::npos) << k.what << "\n" << c.text.c_str();
            EXPECT_NE(c.text.find(L"building the index: done in 20.0 s\n"), std::wstring::npos) << k.what;
        }
    }
}

TEST(ProgressLine, StoppedLineOnATerminalEndsSoAMessageStartsAfresh) {
    Captured c;
    {
        keydrive::ProgressLine line(c.output(true), L"copying the key", 100);
        line.update(40);
    }
    ASSERT_FALSE(c.text.empty());
    EXPECT_EQ(c.text.back(), L'\n');
    EXPECT_EQ(c.text.find(L"done"), std::wstring::npos);
}

TEST(ProgressLine, TimeLeftInUnitsThatSuit) {
    struct Case {
        double seconds;
        const wchar_t* text;
    } cases[] = {
        {0, L"about 0 s left"}, {44.6, L"about 45 s left"}, {185, L"about 3 min 05 s left"},
        {7830, L"about 2 h 10 min left"},
    };
    for (const Case& c : cases) EXPECT_EQ(keydrive::timeLeftText(c.seconds), c.text) << c.seconds;
}

}  // namespace
