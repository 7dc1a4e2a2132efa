#include "app/usage.h"

#include <cwchar>
#include <cwctype>

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

}  // namespace

std::wstring usageText() {
    std::wstring text = formatWide(L"Usage: %ls [-d | -e | -o | -s] [PATH]\n", caption);
    text += L"Protects files with a one-time pad kept on a key drive.\n\n";
    const wchar_t* named = commandNamed(commandLetter);
    if (named) {
        text += formatWide(L"Named %ls, this copy %ls unless an option says otherwise:\n", caption, named);
    } else {
        text += L"The first letter of the program's name chooses the command (copies named Decrypt,\n"
                L"Encrypt, Open and Status); an option at the start chooses it otherwise:\n";
    }
    text += L"  -d PATH    decrypt the file, or every encrypted file in the folder, and erase\n"
            L"             the encrypted files\n"
            L"  -e PATH    encrypt the file, or every file in the folder, and erase the\n"
            L"             plaintexts for good\n"
            L"  -o PATH    open the file for editing and encrypt it again afterwards; a folder\n"
            L"             becomes a Secure Workspace\n"
            L"  -s         write the key number, the key usage and the version to the drive's log\n"
            L"  --help     show this text\n"
            L"  --version  show the version\n\n"
            L"One file or folder per run; a path with blanks goes between double quotes.\n"
            L"Exit code 0 means success, 1 a failure shown as \"Error: ...\".\n";
    return text;
}

bool asksForHelpOrVersion(const wchar_t* tail, bool* help) {
    std::wstring text = tail;
    while (!text.empty() && std::iswspace(text.back())) text.pop_back();
    if (text != L"--help" && text != L"--version") return false;
    *help = text == L"--help";
    return true;
}
