// What the program says about itself when asked on the command line
// (--help, --version), whatever the copy is named.
#pragma once

#include <string>

#include "drive/util.h"   // versionLine

// The command-line text for --help, naming the copy by its caption and the
// command its name chooses.
std::wstring usageText();
// True when the command-line tail asks for usageText or versionLine; *help
// tells which.
bool asksForHelpOrVersion(const wchar_t* tail, bool* help);
