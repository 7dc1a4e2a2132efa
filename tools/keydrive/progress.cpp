#include "tools/keydrive/progress.h"

#include <chrono>

#include "platform/platform.h"
#include "tools/keydrive/text.h"
#include "ui/progress.h"

namespace keydrive {

namespace {
constexpr double kRedrawSeconds = 0.25;   // a terminal line, at most this often
constexpr double kQuietSeconds = 5;       // plain lines only after this long
constexpr double kEstimateAfter = 2;      // no estimate from the first moments
}  // namespace

ProgressOutput consoleProgress(bool enabled) {
    ProgressOutput out;
    out.enabled = enabled;
    out.terminal = plat::stderrIsTerminal();
    out.write = [](const std::wstring& text) { plat::writeStderr(text); };
    out.seconds = []() {
        using namespace std::chrono;
        return duration<double>(steady_clock::now().time_since_epoch()).count();
    };
    return out;
}

std::wstring timeLeftText(double seconds) {
    int32_t t = seconds < 0 ? 0 : seconds > 2147483647.0 ? INT32_MAX : int32_t(seconds + 0.5);
    if (t >= 3600) return format(L"about %d h %02d min left", t / 3600, t / 60 % 60);
    if (t >= 60) return format(L"about %d min %02d s left", t / 60, t % 60);
    return format(L"about %d s left", t);
}

ProgressLine::ProgressLine(const ProgressOutput& output, std::wstring label, uint64_t total)
    : out_(output), label_(std::move(label)), total_(total) {
    if (out_.enabled) started_ = out_.seconds();
}

void ProgressLine::draw(const std::wstring& text) {
    std::wstring line = L"\r" + text;
    // Blanks over what is left of a longer line before.
    if (text.size() < drawnLength_) line += std::wstring(drawnLength_ - text.size(), L' ');
    drawnLength_ = text.size();
    out_.write(line);
    wrote_ = true;
}

void ProgressLine::update(uint64_t done) {
    if (!out_.enabled || finished_) return;
    const double now = out_.seconds();
    const double elapsed = now - started_;
    const double fraction = total_ == 0 ? 1.0 : double(done > total_ ? total_ : done) / double(total_);
    const int percent = int(fraction * 100);
    std::wstring text = format(L"%ls: %d%%", label_.c_str(), percent);
    if (elapsed >= kEstimateAfter && fraction > 0 && fraction < 1)
        text += L", " + timeLeftText(double(remainingSeconds(int64_t(elapsed), fraction)));
    if (out_.terminal) {
        if (percent == percent_ && now - drawnAt_ < 1) return;   // the estimate, once a second
        if (drawnAt_ >= 0 && now - drawnAt_ < kRedrawSeconds && percent < 100) return;
        percent_ = percent;
        drawnAt_ = now;
        draw(text);
        return;
    }
    const int tenth = percent / 10;
    if (tenth <= tenth_ || elapsed < kQuietSeconds) return;
    tenth_ = tenth;
    out_.write(text + L"\n");
    wrote_ = true;
}

void ProgressLine::finish() {
    if (!out_.enabled || finished_) return;
    finished_ = true;
    const double elapsed = out_.seconds() - started_;
    std::wstring text = format(L"%ls: done in %.1f s", label_.c_str(), elapsed);
    if (out_.terminal) {
        draw(text);
        out_.write(L"\n");
    } else if (wrote_) {
        out_.write(text + L"\n");
    }
}

void ProgressLine::stop() {
    if (!out_.enabled || finished_) return;
    finished_ = true;
    if (out_.terminal && drawnLength_ > 0) out_.write(L"\n");
}

}  // namespace keydrive
