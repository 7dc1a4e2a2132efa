// Whether a window of the desktop shows a file: the rules by which the open
// command recognises the windows of the application that edits its working
// copy. Shared by both builds; only the window enumeration is the system's.
#pragma once

#include <cstddef>

#include "platform/platform.h"

constexpr std::size_t kWindowTextSize = 1024;

// What matchEditorWindow looks for and what it found.
struct WindowMatch {
    int depth;        // 0 among top-level windows, 1 among one window's descendants
    int found;        // 1 once a window matched
    wchar_t name[kWindowTextSize];          // the file's name, without its folder
    int nameLength;
    wchar_t titlePrefix[kWindowTextSize];   // the name without its extension, then " - "
    int prefixLength;
    wchar_t matchedTitle[kWindowTextSize];  // the text of the window that matched last
};

// Clears the record and fills the name and the title prefix for path.
void prepareWindowMatch(WindowMatch* match, const wchar_t* path);

// The name rule and the prefix rule on one window text.
bool textShowsFile(const WindowMatch& match, const wchar_t* text);

// Window enumeration callback with a WindowMatch as data: records a window
// of another program whose text shows the file and returns false (stop);
// otherwise searches the window's descendants (from the top level only) and
// returns true.
bool matchEditorWindow(plat::WindowHandle window, void* match);
