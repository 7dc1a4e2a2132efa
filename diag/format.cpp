#include "diag/format.h"

#include <cwchar>
#include <vector>

std::wstring formatWideV(const wchar_t* format, va_list args) {
    // vswprintf reports -1 both for a short buffer and for a bad conversion,
    // so grow up to a bound and give up past it.
    std::vector<wchar_t> buffer(512);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<std::size_t>(n) < buffer.size()) return std::wstring(buffer.data(), n);
        if (buffer.size() >= (1u << 20)) return std::wstring(format);
        buffer.resize(buffer.size() * 4);
    }
}

std::wstring formatWide(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = formatWideV(format, args);
    va_end(args);
    return text;
}

void copyCut(wchar_t* buffer, std::size_t size, const std::wstring& text) {
    if (size == 0) return;
    std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    text.copy(buffer, n);
    buffer[n] = L'\0';
}
