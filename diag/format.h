// printf-style formatting of wide text into a std::wstring of any length.
// Every wide-string argument is written %ls in the formats of this program.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

std::wstring formatWide(const wchar_t* format, ...);
std::wstring formatWideV(const wchar_t* format, va_list args);

// Copies text into a fixed buffer of 'size' wide characters, cut to size - 1
// characters and always terminated.
void copyCut(wchar_t* buffer, std::size_t size, const std::wstring& text);
