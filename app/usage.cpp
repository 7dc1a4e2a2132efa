#include "app/usage.h"

#include <cwchar>

#include "diag/format.h"
#include "drive/util.h"

namespace {

// The command a copy's name chooses, as the usage text names it.
const wchar_t* commandNamed(wchar_t letter) {
    switch (letter) {
    case L'd': return L"decrypts";
    case L'e': return L"encrypts";
    case L'o': return L"opens";
    case L's': return L"writes the key's status";
    default: return nullptr;
    }
}

struct OptionLine {
    const wchar_t* option;
    const wchar_t* meaning;
};

const OptionLine kOptions[] = {
    {L"-d PATH", L"decrypt the file, or every encrypted file in the folder, and erase the encrypted files"},
    {L"-e PATH", L"encrypt the file, or every file in the folder, and erase the plaintexts for good"},
    {L"-o PATH", L"open the file for editing and encrypt it again afterwards; a folder becomes a "
                 L"Secure Workspace"},
    {L"-s", L"write the key number, the key usage and the version to the drive's log"},
    {L"--", L"end of the options: a PATH that begins with '-' follows it"},
    {L"-h, --help", L"show this text"},
    {L"--version", L"show the version"},
};

const wchar_t* const kOnePath = L"One file or folder per run; a path with blanks goes between double quotes.";
const wchar_t* const kKeyDrive =
    L"The program works with the key of the drive it is on: run the copy on the key drive.";
const wchar_t* const kExitCodes =
    L"Exit code 0 means success, 1 a failure shown as \"Error: ...\", 2 a command line that is "
    L"not understood.";

constexpr std::size_t kTerminalWidth = 79;
constexpr std::size_t kMeaningColumn = 15;

// text broken at blanks into lines of at most `width` characters; every
// line after the first starts with `indent` blanks.
std::wstring wrapped(const std::wstring& text, std::size_t firstWidth, std::size_t width,
                     std::size_t indent) {
    std::wstring out;
    std::size_t room = firstWidth;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = start + room;
        if (end >= text.size()) {
            out += text.substr(start);
            break;
        }
        std::size_t blank = text.rfind(L' ', end);
        if (blank == std::wstring::npos || blank <= start) blank = text.find(L' ', end);
        if (blank == std::wstring::npos) {
            out += text.substr(start);
            break;
        }
        out += text.substr(start, blank - start) + L"\n" + std::wstring(indent, L' ');
        start = blank + 1;
        room = width - indent;
    }
    return out;
}

std::wstring paragraph(const std::wstring& text) {
    return wrapped(text, kTerminalWidth, kTerminalWidth, 0) + L"\n";
}

}  // namespace

std::wstring usageText(UsageLayout layout) {
    const bool box = layout == UsageLayout::Box;
    std::wstring text = formatWide(L"Usage: %ls [-d | -e | -o | -s] [--] [PATH]\n", caption);
    text += box ? L"\n" : L"";
    text += L"Protects files with a one-time pad kept on a key drive.\n\n";
    const wchar_t* named = commandNamed(commandLetter);
    std::wstring choice =
        named ? formatWide(L"Named %ls, this copy %ls unless an option says otherwise:", caption, named)
              : std::wstring(L"The first letter of the program's name chooses the command (copies "
                             L"named Decrypt, Encrypt, Open and Status); an option at the start "
                             L"chooses it otherwise:");
    text += box ? choice + L"\n" : paragraph(choice);
    for (const OptionLine& line : kOptions) {
        if (box) {
            // A proportional font and the box's own line breaking: one line
            // per option, the option set apart by a dash instead of a column.
            text += formatWide(L"%ls \u2013 %ls\n", line.option, line.meaning);
            continue;
        }
        std::wstring option = formatWide(L"  %ls", line.option);
        std::size_t pad = option.size() < kMeaningColumn ? kMeaningColumn - option.size() : 1;
        text += option + std::wstring(pad, L' ') +
                wrapped(line.meaning, kTerminalWidth - kMeaningColumn, kTerminalWidth, kMeaningColumn) +
                L"\n";
    }
    text += L"\n";
    for (const wchar_t* note : {kOnePath, kKeyDrive, kExitCodes})
        text += box ? std::wstring(note) + L"\n" : paragraph(note);
    return text;
}

std::wstring commandLineErrorText(const std::wstring& badOption, UsageLayout layout) {
    std::wstring problem =
        badOption.empty() ? formatWide(L"the name '%ls' chooses no command: give it as -d, -e, -o or -s", caption)
        : badOption == L"-" ? std::wstring(L"'-' names no command")
                            : formatWide(L"unknown option '%ls'", badOption.c_str());
    if (layout == UsageLayout::Box)
        return L"The command line is not understood: " + problem + L".\n\n" + usageText(layout);
    return formatWide(L"%ls: %ls\n", caption, problem.c_str()) + usageText(layout);
}
