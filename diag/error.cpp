#include "diag/error.h"

#include <cerrno>
#include <cstdarg>
#include <map>

#include "diag/format.h"
#include "diag/log.h"
#include "platform/platform.h"

wchar_t lastErrorText[kLastErrorTextSize];

namespace {
wchar_t messageText[kMessageTextSize];
}

void reportError(const wchar_t* format, ...) {
    int savedErrno = errno;
    uint32_t savedSystemError = plat::lastSystemError();
    va_list args;
    va_start(args, format);
    copyCut(lastErrorText, kLastErrorTextSize, formatWideV(format, args));
    va_end(args);
    logMessage(L"ERROR: %ls", lastErrorText);
    errno = savedErrno;
    plat::setLastSystemError(savedSystemError);
}

const wchar_t* systemErrorText() {
    // Read the code first: setting up the table below may change it.
    uint32_t code = plat::lastSystemError();
    // Texts are kept for the whole run: callers may hold on to them.
    static std::map<uint32_t, std::wstring> texts;
    if (code == 0) return L"success";
    auto found = texts.find(code);
    if (found == texts.end()) {
        std::wstring text = plat::systemErrorMessage(code);
        if (text.empty()) text = formatWide(L"system error %u", static_cast<unsigned>(code));
        found = texts.emplace(code, text).first;
    }
    return found->second.c_str();
}

const wchar_t* stdErrorText() {
    static std::wstring text;
    text = plat::stdErrorMessage(errno);
    return text.c_str();
}

const wchar_t* formatText(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    copyCut(messageText, kMessageTextSize, formatWideV(format, args));
    va_end(args);
    return messageText;
}
