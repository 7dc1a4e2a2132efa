// Conversions between wide text and UTF-8. wchar_t is UTF-16 on Windows and
// UTF-32 elsewhere; both are handled.
//
// Two kinds of text pass through here:
// - Text for people (the log, boxes, the terminal): toWide and fromWide.
//   Invalid input becomes U+FFFD, so what is written is always valid UTF-8.
// - File names and paths of the POSIX backend, which are bytes that need not
//   be UTF-8: pathToWide and pathFromWide. A byte that does not decode is
//   carried in the wide name as the lone low surrogate U+DC80 ... U+DCFF
//   (0xDC00 + the byte) and turned back into that byte on the way out, so
//   every name round-trips byte for byte. Shown to people through fromWide,
//   such a character reads as U+FFFD.
#pragma once

#include <string>

namespace utf8 {

// The lone surrogates that carry undecodable bytes of a file name.
constexpr char32_t kEscapeFirst = 0xDC80;
constexpr char32_t kEscapeLast = 0xDCFF;

inline bool isByteEscape(char32_t cp) { return cp >= kEscapeFirst && cp <= kEscapeLast; }

inline void appendCodePoint(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// restoreBytes: byte escapes become their bytes again (paths); otherwise
// they are lone surrogates like any other and become U+FFFD (text).
inline std::string encode(const std::wstring& text, bool restoreBytes) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = static_cast<char32_t>(text[i]);
        if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
            char32_t low = static_cast<char32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (restoreBytes && isByteEscape(cp)) {
            out += static_cast<char>(cp - 0xDC00);
            continue;
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
        appendCodePoint(out, cp);
    }
    return out;
}

inline void appendWide(std::wstring& out, char32_t cp) {
    if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
        cp -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (cp >> 10));
        out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    } else {
        out += static_cast<wchar_t>(cp);
    }
}

// escapeBytes: a byte that does not start a valid sequence becomes its
// escape (paths); otherwise U+FFFD (text). Either way decoding goes on at
// the next byte. Encoded surrogates and overlong forms are invalid.
inline std::wstring decode(const std::string& text, bool escapeBytes) {
    std::wstring out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        unsigned char c = s[i];
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        bool ok = extra >= 0 && i + extra < n;
        char32_t cp = 0;
        if (ok) {
            cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
            for (int k = 1; ok && k <= extra; ++k) {
                if ((s[i + k] & 0xC0) != 0x80) ok = false;
                else cp = (cp << 6) | (s[i + k] & 0x3F);
            }
            static const char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
            if (ok && (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        }
        if (!ok) {
            appendWide(out, escapeBytes ? 0xDC00 + c : 0xFFFD);
            ++i;
            continue;
        }
        appendWide(out, cp);
        i += extra + 1;
    }
    return out;
}

inline std::string fromWide(const std::wstring& text) { return encode(text, false); }
inline std::wstring toWide(const std::string& text) { return decode(text, false); }
inline std::string pathFromWide(const std::wstring& path) { return encode(path, true); }
inline std::wstring pathToWide(const std::string& path) { return decode(path, true); }

}  // namespace utf8
