#include "diag/log.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <string>

#include "diag/format.h"
#include "platform/platform.h"
#include "platform/utf8.h"

namespace {

FILE* logStream = nullptr;

// The log reads the same on every build: UTF-8 with CR LF line ends.
std::string toLogBytes(const std::wstring& text) {
    std::wstring crlf;
    crlf.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) crlf += L'\r';
        crlf += text[i];
    }
    return utf8::fromWide(crlf);
}

}  // namespace

void writeLogEntry(const wchar_t* format, va_list args) {
    int savedErrno = errno;
    uint32_t savedSystemError = plat::lastSystemError();
    std::time_t now = std::time(nullptr);
    if (!logStream) logStream = plat::openFile(L"./LOG/log.txt", L"ab");
    if (logStream) {
        wchar_t stamp[1024] = L"";
        if (const std::tm* local = std::localtime(&now)) {
            std::wcsftime(stamp, 1024, L"%Y-%m-%d %H:%M:%S ", local);
        }
        std::wstring entry = stamp;
        entry += formatWideV(format, args);
        entry += L"\n\n";
        std::string bytes = toLogBytes(entry);
        std::fwrite(bytes.data(), 1, bytes.size(), logStream);
        // Other instances append to the same file: hand each entry over whole.
        std::fflush(logStream);
    }
    errno = savedErrno;
    plat::setLastSystemError(savedSystemError);
}

void logMessage(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    writeLogEntry(format, args);
    va_end(args);
}

void closeLog() {
    if (logStream) std::fclose(logStream);
    logStream = nullptr;
}

void closeLogForTest() { closeLog(); }
