// UTF-8 and JSON text for the output of the Wine test helpers.
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>

namespace helper {

inline std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// A JSON string: quotes and backslashes escaped, control characters as \uXXXX.
inline std::string json(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') out += L'\\';
        if (c < 0x20) {
            wchar_t buffer[8];
            std::swprintf(buffer, 8, L"\\u%04x", static_cast<unsigned>(c));
            out += buffer;
        } else {
            out += c;
        }
    }
    return utf8(out + L"\"");
}

}  // namespace helper
