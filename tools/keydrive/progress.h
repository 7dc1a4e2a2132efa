// The key drive tool's progress on standard error. On a terminal one line
// is redrawn in place ("\r") with the percentage and an estimate of the
// time left; in a log or a pipe a run that takes a while writes a plain line
// at every tenth, and a short one writes nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace keydrive {

struct ProgressOutput {
    bool enabled = false;
    bool terminal = false;                            // redraw one line in place
    std::function<void(const std::wstring&)> write;   // standard error
    std::function<double()> seconds;                  // a steady clock
};

// Standard error, a terminal or not, with the steady clock.
ProgressOutput consoleProgress(bool enabled);

// "about 45 s left", "about 3 min 05 s left", "about 2 h 10 min left".
std::wstring timeLeftText(double seconds);

class ProgressLine {
public:
    ProgressLine(const ProgressOutput& output, std::wstring label, uint64_t total);
    ~ProgressLine() { stop(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void update(uint64_t done);
    // The work is done: on a terminal, or when plain lines were written, a
    // last line with the time taken.
    void finish();
    // The work stopped short (also when the line goes out of scope without
    // finish): a terminal's line is ended, so that a message starts on a
    // line of its own.
    void stop();

private:
    void draw(const std::wstring& text);

    ProgressOutput out_;
    std::wstring label_;
    uint64_t total_;
    double started_ = 0;
    double drawnAt_ = -1;
    int percent_ = -1;
    int tenth_ = 0;             // plain lines: the last tenth written
    size_t drawnLength_ = 0;
    bool wrote_ = false;
    bool finished_ = false;
};

}  // namespace keydrive
