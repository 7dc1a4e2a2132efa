#include "drive/util.h"

#include <cwctype>
#include <string>

#include "diag/error.h"
#include "diag/format.h"
#include "platform/platform.h"

wchar_t programPath[kPathSize];
wchar_t programFolder[kPathSize];
wchar_t caption[kPathSize];
wchar_t commandLetter;
wchar_t keyDriveRoot[kPathSize];
wchar_t versionText[1024];
const wchar_t* const buildStamp = L"2011-03-23 11:28:09";

int setProgramPaths(const wchar_t* path) {
    std::wstring full = path;
    if (full.size() >= kPathSize) {
        reportError(L"the program's path is longer than %u characters: '%ls'",
                    static_cast<unsigned>(kPathSize - 1), path);
        return 1;
    }
    copyCut(programPath, kPathSize, full);

    std::size_t cut = full.rfind(plat::kSep);
    std::wstring folder = cut == std::wstring::npos ? std::wstring() : full.substr(0, cut);
    std::wstring name = cut == std::wstring::npos ? full : full.substr(cut + 1);
    // A root keeps its separator: "K:" alone names the current folder of
    // drive K, which may be any folder on it, and "" no folder at all.
    if (cut == 0 || (folder.size() == 2 && folder[1] == L':')) folder += plat::kSep;
    copyCut(programFolder, kPathSize, folder);

    commandLetter = name.empty() ? L'\0' : static_cast<wchar_t>(std::towlower(name[0]));

    std::size_t dot = name.rfind(L'.');
    copyCut(caption, kPathSize, dot == std::wstring::npos ? name : name.substr(0, dot));

    std::size_t colon = folder.rfind(L':');
    std::wstring root = colon == std::wstring::npos ? folder : folder.substr(0, colon + 1);
    if (!root.empty()) root[0] = static_cast<wchar_t>(std::towupper(root[0]));
    copyCut(keyDriveRoot, kPathSize, root);
    return 0;
}

int initProgramPaths() {
    return setProgramPaths(plat::modulePath().c_str());
}

const wchar_t* directoryOf(const wchar_t* path) {
    static wchar_t folder[kFolderSize];
    std::wstring text = path;
    // A '/' separates folders on Windows too. Cutting only at '\' would give
    // no folder for C:/docs/a.txt, and the file's output would land in the
    // current folder, where files of the same name from different folders
    // replace one another.
    std::size_t cut = text.find_last_of(plat::kSeparators);
    std::wstring result = cut == std::wstring::npos ? std::wstring() : text.substr(0, cut + 1);
    if (result.size() >= kFolderSize) {
        reportError(L"the folder of '%ls' is longer than %u characters",
                    path, static_cast<unsigned>(kFolderSize - 1));
        return nullptr;
    }
    copyCut(folder, kFolderSize, result);
    return folder;
}

void setVersionText() {
    copyCut(versionText, 1024, formatWide(L"V1.3.8 (%ls)", buildStamp));
}

bool environmentHas(const wchar_t* name) {
    std::wstring value;
    return plat::getEnv(name, &value);
}

std::wstring versionLine(const wchar_t* programName) {
    setVersionText();
    return formatWide(L"%ls %ls\n", programName, versionText);
}
