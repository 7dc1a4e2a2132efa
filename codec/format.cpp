// Base-name handling of the encrypted file header.

#include "codec/format.h"

#include <cwchar>
#include <cwctype>

#include "platform/platform.h"
#include "platform/utf8.h"
#include "ui/progress.h"

namespace codec {

std::wstring baseNameOf(const std::wstring& path) {
    std::size_t pos = path.find_last_of(plat::kSeparators);
    return pos == std::wstring::npos ? path : path.substr(pos + 1);
}

bool storeBaseName(const std::wstring& name, uint8_t* header) {
    uint16_t units[kBaseNameUnits];
    std::size_t count = 0;
    for (wchar_t c : name) {
        uint32_t cp = static_cast<uint32_t>(c);
        if (sizeof(wchar_t) == 4 && cp >= 0x10000) {
            if (cp > 0x10FFFF) return false;
            if (count + 2 > kBaseNameUnits - 1) return false;
            cp -= 0x10000;
            units[count++] = static_cast<uint16_t>(0xD800 + (cp >> 10));
            units[count++] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
            continue;
        }
        // A byte of a POSIX name that is not UTF-8 travels as a lone low
        // surrogate, which is stored as the one code unit it is (a Windows
        // file name may hold it too). No other lone surrogate comes from a
        // file name here.
        if (sizeof(wchar_t) == 4 && cp >= 0xD800 && cp <= 0xDFFF && !utf8::isByteEscape(cp)) return false;
        if (count + 1 > kBaseNameUnits - 1) return false;
        units[count++] = static_cast<uint16_t>(cp);
    }
    uint8_t* field = header + kBaseNameOffset;
    for (std::size_t i = 0; i < kBaseNameUnits; ++i) {
        uint16_t u = i < count ? units[i] : 0;
        field[2 * i] = static_cast<uint8_t>(u);
        field[2 * i + 1] = static_cast<uint8_t>(u >> 8);
    }
    return true;
}

#ifdef _WIN32
// Names that Windows maps to devices whatever the folder and extension.
static bool isDeviceName(const std::wstring& name) {
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem) c = static_cast<wchar_t>(std::towupper(c));
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" ||
        stem == L"CONIN$" || stem == L"CONOUT$")
        return true;
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
        stem[3] >= L'0' && stem[3] <= L'9')
        return true;
    return false;
}
#endif

const wchar_t* loadBaseName(const uint8_t* header, std::wstring* name) {
    const uint8_t* field = header + kBaseNameOffset;
    name->clear();
    std::size_t length = kBaseNameUnits;
    for (std::size_t i = 0; i < kBaseNameUnits; ++i) {
        if (field[2 * i] == 0 && field[2 * i + 1] == 0) {
            length = i;
            break;
        }
    }
    bool badUtf16 = false;
    for (std::size_t i = 0; i < length; ++i) {
        uint32_t u = field[2 * i] | static_cast<uint32_t>(field[2 * i + 1]) << 8;
        if (sizeof(wchar_t) == 4 && u >= 0xD800 && u <= 0xDFFF) {
            // Join a surrogate pair into one character. A lone surrogate
            // U+DC80 ... U+DCFF is a byte of a name that was not UTF-8 and
            // becomes that byte again; no other has a form in a file name
            // here.
            uint32_t low = 0;
            if (u <= 0xDBFF && i + 1 < length)
                low = field[2 * (i + 1)] | static_cast<uint32_t>(field[2 * (i + 1) + 1]) << 8;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                *name += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
            } else if (utf8::isByteEscape(u)) {
                *name += static_cast<wchar_t>(u);
            } else {
                badUtf16 = true;
                *name += static_cast<wchar_t>(0xFFFD);
            }
            continue;
        }
        *name += static_cast<wchar_t>(u);
    }

    if (length == kBaseNameUnits) return L"has no end within its field";
    if (name->empty()) return L"is empty";
    if (*name == L"." || *name == L"..") return L"is \".\" or \"..\"";
    for (wchar_t c : *name) {
        if (c == L'/') return L"contains a path separator";
        if (static_cast<uint32_t>(c) < 0x20) return L"contains a control character";
#ifdef _WIN32
        // Ordinary in names on Linux, where such a file may have been
        // encrypted; Windows cannot hold them.
        if (c == L'\\') return L"contains a '\\', which separates folders on Windows";
        if (c == L':') return L"contains a ':', which file names on Windows cannot hold";
        if (std::wcschr(L"*?\"<>|", c))
            return L"contains one of * ? \" < > |, which file names on Windows cannot hold";
#endif
    }
    if (badUtf16) return L"contains a lone UTF-16 surrogate that a file name here cannot hold";
#ifdef _WIN32
    // Windows drops trailing dots and blanks from names ("..." and ".. "
    // would name the folder or its parent) and maps device names anywhere.
    if (name->back() == L'.' || name->back() == L' ') return L"ends with a dot or a blank";
    if (isDeviceName(*name)) return L"is a device name";
#endif
    return nullptr;
}

void (*progressObserverForTest)(double fraction) = nullptr;

void reportProgress(double fraction) {
    if (progressObserverForTest) progressObserverForTest(fraction);
    progressUpdate(fraction);
}

}  // namespace codec
