// What the two workspace programs share besides the archive: their command
// line as wide text, their output, and how they say why they failed.
#pragma once

#include <string>
#include <vector>

namespace sibling {

// The program's arguments after its own name.
std::vector<std::wstring> arguments(int argc, char** argv);

// Text on standard output and standard error (UTF-8 when not a console).
// On Windows a program without a console of its own writes to the console
// of the one that started it, when there is one. Control characters other
// than line breaks and tabs are shown escaped: no text acts on a terminal.
void writeOut(const std::wstring& text);
void writeErr(const std::wstring& text);

// Says why the program fails: "<caption>: <text>" on standard error, and on
// Windows a warning box with that caption too.
void reportFailure(const std::wstring& caption, const std::wstring& text);

// Tells what the program did on its own (finishing an earlier run's work):
// "<caption>: <text>" on standard error, and on Windows an information box.
void reportNotice(const std::wstring& caption, const std::wstring& text);

// Answers a lone --help (or -h) with the usage and --version with the
// version, both on standard output (on Windows in a box when there is none);
// true when it did, with the exit code 0.
bool answeredHelpOrVersion(const std::vector<std::wstring>& args, const wchar_t* name,
                           const wchar_t* usage);

}  // namespace sibling
