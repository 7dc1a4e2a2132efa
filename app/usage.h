// What the program says about itself when asked on the command line (-h,
// --help, --version), and about a command line it does not understand,
// whatever the copy is named.
#pragma once

#include <string>

#include "drive/util.h"   // versionLine

// A terminal's 80 columns with the options in a column of their own, or a
// message box's proportional font: one line per option, which the box
// breaks where it needs to.
enum class UsageLayout { Terminal, Box };

// The text for --help, naming the copy by its caption and the command its
// name chooses.
std::wstring usageText(UsageLayout layout);
// What an unknown option (or a '-' alone) gets: what is wrong, then the usage.
std::wstring commandLineErrorText(const std::wstring& badOption, UsageLayout layout);
