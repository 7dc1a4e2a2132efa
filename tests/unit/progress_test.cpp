// The remaining-time estimate of the progress window.
#include <gtest/gtest.h>

#include "ui/progress.h"

TEST(ProgressEstimate, RemainingSecondsAndTheirText) {
    struct Case {
        int64_t elapsed;
        double fraction;
        int32_t seconds;
        const wchar_t* text;
    };
    const Case cases[] = {
        {10, 0.5, 10, L"Estimated remaining time is 10 seconds"},
        {20, 0.25, 60, L"Estimated remaining time is 1 minute and 0 seconds"},
        {1, 0.5, 1, L"Estimated remaining time is 1 second"},
        {5, 1.0, 0, L"Estimated remaining time is 0 seconds"},
        {3, 0.7, 1, L"Estimated remaining time is 1 second"},    // 1.28... truncated
        {61, 0.5, 61, L"Estimated remaining time is 1 minute and 1 second"},
        {125, 0.5, 125, L"Estimated remaining time is 2 minutes and 5 seconds"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(remainingSeconds(c.elapsed, c.fraction), c.seconds);
        EXPECT_EQ(estimateText(c.seconds), c.text);
    }
    EXPECT_EQ(estimateText(3725), L"Estimated remaining time is 01:02:05");
}

TEST(ProgressEstimate, EstimateBeyondThirtyTwoBitsStaysPositive) {
    // One block of a huge file done after a long stall: far more seconds
    // than 32 bits hold. The estimate reads as hours, never as a negative.
    EXPECT_EQ(remainingSeconds(3000, 1e-9), INT32_MAX);
    EXPECT_EQ(remainingSeconds(2147483647, 0.5), INT32_MAX);
    EXPECT_EQ(estimateText(remainingSeconds(3000, 1e-9)), L"Estimated remaining time is 596523:14:07");
}

TEST(ProgressEstimate, PhasesWithoutAWindowDoNothing) {
    // The unit tests run without a progress window; no call may fail or hang.
    progressBegin(L"Scanning file\n%ls", L"x", L"Scanning");
    progressUpdate(0.5);
    progressEnd();
    SUCCEED();
}
