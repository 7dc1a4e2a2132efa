#include "app/windowmatch.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "diag/format.h"
#include "diag/manufacture.h"
#include "drive/util.h"

namespace {

bool separatesName(wchar_t c) { return c == L' ' || c == L'\\' || c == L'/'; }

}  // namespace

void prepareWindowMatch(WindowMatch* match, const wchar_t* path) {
    std::memset(match, 0, sizeof *match);
    std::wstring full = path;
    std::size_t cut = full.find_last_of(plat::kSep == L'/' ? L"/" : L"\\/");
    std::wstring name = cut == std::wstring::npos ? full : full.substr(cut + 1);
    copyCut(match->name, kWindowTextSize, name);
    match->nameLength = static_cast<int>(std::wcslen(match->name));

    std::size_t dot = name.rfind(L'.');
    std::wstring prefix = dot == std::wstring::npos
                              ? formatWide(L"%ls - ", name.c_str())
                              : formatWide(L"%.*ls - ", static_cast<int>(dot), name.c_str());
    copyCut(match->titlePrefix, kWindowTextSize, prefix);
    match->prefixLength = static_cast<int>(std::wcslen(match->titlePrefix));
}

bool textShowsFile(const WindowMatch& match, const wchar_t* text) {
    // Name rule: the whole name, standing alone or after a folder, possibly
    // marked as modified.
    if (const wchar_t* at = std::wcsstr(text, match.name)) {
        wchar_t after = at[match.nameLength];
        bool endsWell = after == L'\0' || after == L' ' || after == L'*';
        bool startsWell = at == text || separatesName(at[-1]);
        if (endsWell && startsWell) return true;
    }
    // Prefix rule: "name - Application", the extension left out.
    if (const wchar_t* at = std::wcsstr(text, match.titlePrefix)) {
        bool followed = at[match.prefixLength] != L'\0';
        bool startsWell = at == text || separatesName(at[-1]);
        if (followed && startsWell) return true;
    }
    return false;
}

bool matchEditorWindow(plat::WindowHandle window, void* data) {
    WindowMatch* match = static_cast<WindowMatch*>(data);
    std::wstring text;
    if (!plat::windowText(window, &text)) {
        debugMessage(L"%d: %ls GetWindowText error", match->depth, match->name);
    } else {
        if (text.size() >= kWindowTextSize) text.resize(kWindowTextSize - 1);
        // The program's own windows (the progress window names the file
        // being opened) never count.
        if (textShowsFile(*match, text.c_str()) && plat::windowModulePath(window) != programPath) {
            match->found = 1;
            copyCut(match->matchedTitle, kWindowTextSize, text);
            return false;
        }
    }
    if (match->depth < 1) {
        match->depth = 1;
        plat::enumChildWindows(window, matchEditorWindow, match);
        match->depth = 0;
    }
    return true;
}
