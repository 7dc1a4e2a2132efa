// Progress phases: texts, bar and remaining-time estimate. The window itself
// belongs to the platform layer; this unit decides what it shows and when.
#pragma once

#include <cstdint>
#include <string>

// First thing at start-up: starts the progress thread and waits for its window.
void progressStart();
// Starts a phase: the text is format filled with one wide-text argument.
void progressBegin(const wchar_t* format, const wchar_t* argument, const wchar_t* title);
// Fraction done, 0 to 1; 0 resets the estimate.
void progressUpdate(double fraction);
// Ends a phase: full bar, hide request, last estimate.
void progressEnd();

// Remaining seconds for a phase that has run 'elapsed' seconds and done
// 'fraction' of its work, truncated toward zero.
int32_t remainingSeconds(int64_t elapsed, double fraction);
// "Estimated remaining time is ..." for a number of seconds.
std::wstring estimateText(int32_t seconds);
