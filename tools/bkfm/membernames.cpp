#include "tools/bkfm/membernames.h"

#include <cwchar>
#include <cwctype>

#include "diag/format.h"
#include "platform/platform.h"
#include "tools/tar/tararchive.h"

namespace bkfm {

namespace {

constexpr bool kWindows = plat::kSep == L'\\';

// Windows opens a device, not a file, for these names, whatever follows
// them after a period ("aux.txt"), and whatever the letter case.
bool reservedOnWindows(const std::wstring& part) {
    std::wstring base = part.substr(0, part.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base) c = static_cast<wchar_t>(std::towupper(c));
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (base == device) return true;
    if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
        const wchar_t n = base[3];
        return (n >= L'0' && n <= L'9') || n == L'\u00B9' || n == L'\u00B2' || n == L'\u00B3';
    }
    return false;
}

}  // namespace

bool storablePart(const std::wstring& part, std::wstring* why) {
    if (part.empty() || part == L"." || part == L"..") {
        *why = L"it is no file name";
        return false;
    }
    for (wchar_t c : part) {
        if (c < 0x20 || c == L'/') {
            *why = L"it holds a control character or a slash";
            return false;
        }
        if (kWindows && std::wcschr(L"<>:\"\\|?*", c)) {
            *why = formatWide(L"Windows file names cannot hold '%lc'", c);
            return false;
        }
    }
    if (kWindows && (part.back() == L'.' || part.back() == L' ')) {
        *why = L"Windows file names cannot end in a period or a blank";
        return false;
    }
    if (kWindows && reservedOnWindows(part)) {
        *why = L"Windows reserves it for a device";
        return false;
    }
    return true;
}

bool storableName(const std::string& name, std::wstring* why) {
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = name.find('/', start);
        const std::string part = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!storablePart(tar::relativeDiskPath(part), why)) return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

std::string lastMemberPart(const std::string& name) {
    std::size_t cut = name.rfind('/');
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

std::string memberFolderPart(const std::string& name) {
    std::size_t cut = name.rfind('/');
    return cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
}

std::string freeMemberName(const std::vector<tar::Member>& members, const std::string& wanted) {
    auto taken = [&members](const std::string& name) {
        for (const tar::Member& m : members)
            if (tar::isAtOrBelow(m.name, name)) return true;
        return false;
    };
    if (!taken(wanted)) return wanted;
    const std::string folder = memberFolderPart(wanted);
    const std::string last = lastMemberPart(wanted);
    std::size_t dot = last.rfind('.');
    if (dot == 0 || dot == std::string::npos) dot = last.size();
    for (int number = 2;; ++number) {
        std::string candidate = folder + last.substr(0, dot) + " (" + std::to_string(number) + ")" + last.substr(dot);
        if (!taken(candidate)) return candidate;
    }
}

}  // namespace bkfm
