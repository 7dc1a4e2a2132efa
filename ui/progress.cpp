#include "ui/progress.h"

#include <cmath>
#include <cstdint>

#include "diag/format.h"
#include "platform/platform.h"

namespace {

constexpr int kPhaseText = 1001;
constexpr int kEstimateText = 1002;
constexpr int kBarRange = 1000;
constexpr std::size_t kPhaseTextSize = 1024;
constexpr std::size_t kEstimateSize = 256;

int64_t startTime = 0;
int64_t lastUpdateTime = 0;
int64_t lastAskedTime = -1;   // second of the last progressUpdate that went on
std::wstring lastEstimate;

int64_t nowSeconds() { return plat::unixSeconds(); }

const wchar_t* pluralS(int n) { return n == 1 ? L"" : L"s"; }

}  // namespace

int32_t remainingSeconds(int64_t elapsed, double fraction) {
    double seconds = static_cast<double>(elapsed) / fraction * (1.0 - fraction);
    // A tiny fraction after a long stall gives more seconds than 32 bits
    // hold; converting such a value is undefined (in practice a negative
    // estimate), so it stays at the largest count instead.
    if (!(seconds < 2147483647.0)) return INT32_MAX;
    if (!(seconds > 0.0)) return 0;
    return static_cast<int32_t>(seconds);
}

std::wstring estimateText(int32_t t) {
    int hours = t / 3600;
    int minutes = (t / 60) % 60;
    int seconds = t % 60;
    std::wstring text;
    if (hours > 0) {
        text = formatWide(L"Estimated remaining time is %02d:%02d:%02d", hours, minutes, seconds);
    } else if (minutes > 0) {
        text = formatWide(L"Estimated remaining time is %d minute%ls and %d second%ls",
                          minutes, pluralS(minutes), seconds, pluralS(seconds));
    } else {
        text = formatWide(L"Estimated remaining time is %d second%ls", seconds, pluralS(seconds));
    }
    if (text.size() >= kEstimateSize) text.resize(kEstimateSize - 1);
    return text;
}

void progressStart() {
    plat::progressWindowStart();
}

void progressBegin(const wchar_t* format, const wchar_t* argument, const wchar_t* title) {
    if (!plat::progressWindowReady()) return;
    startTime = nowSeconds();
    std::wstring text = formatWide(format, argument);
    if (text.size() >= kPhaseTextSize) text.resize(kPhaseTextSize - 1);
    plat::progressWindowSetText(kPhaseText, text);
    plat::progressWindowSetText(kEstimateText, L"");
    plat::progressWindowSetTitle(title);
    // Each phase starts from an empty bar: the previous phase's full bar
    // would stand for the new phase's progress until its first update, a
    // second later.
    plat::progressWindowSetBar(0);
    progressUpdate(0);
    plat::progressWindowRequestShow();
}

void progressUpdate(double fraction) {
    // Bar and estimate change at most once per clock second, and not in the
    // second in which the phase began. Callers update once per 1024 bytes:
    // within a second, whatever the first call found holds for the others,
    // which end here before the window is asked anything.
    int64_t now = nowSeconds();
    if (fraction != 0 && now == lastAskedTime) return;
    lastAskedTime = now;
    if (!plat::progressWindowReady()) return;
    int64_t elapsed = now - startTime;
    if (fraction == 0) {
        lastEstimate.clear();
        lastUpdateTime = 0;
        plat::progressWindowSetText(kEstimateText, L"");
        return;
    }
    if (elapsed <= 0 || !(fraction > 0)) return;
    std::wstring estimate = estimateText(remainingSeconds(elapsed, fraction));
    if (estimate != lastEstimate) {
        plat::progressWindowSetText(kEstimateText, estimate);
        lastEstimate = estimate;
    }
    plat::progressWindowSetBar(static_cast<int>(std::floor(fraction * kBarRange)));
    lastUpdateTime = now;
}

void progressEnd() {
    if (!plat::progressWindowReady()) return;
    plat::progressWindowSetBar(kBarRange);
    plat::progressWindowRequestHide();
    progressUpdate(1);
}
