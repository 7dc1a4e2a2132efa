// Windows backend: the process, error texts, randomness, the single-instance
// mutex and the user interface services (message boxes, shell notification).
#include "platform/platform.h"

#include <windows.h>
#include <bcrypt.h>
#include <shlobj.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace plat {

std::size_t maxPathLength() { return MAX_PATH; }

// ---------------------------------------------------------------- process

std::wstring modulePath() {
    // The whole name, however long: the caller decides what it accepts.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        if (buffer.size() >= 32768) return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

bool resolveCallerPath(std::wstring*) { return true; }

int setCurrentDir(const std::wstring& path) {
    return SetCurrentDirectoryW(path.c_str()) ? 0 : 1;
}

std::wstring currentDir() {
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return std::wstring();
    std::wstring buffer(needed, L'\0');
    DWORD n = GetCurrentDirectoryW(needed, &buffer[0]);
    if (n == 0 || n >= needed) return std::wstring();
    buffer.resize(n);
    return buffer;
}

// The runtime's environment (_wgetenv/_wputenv) is the one that matters:
// _wputenv also updates the process environment block that child programs
// inherit, so both views agree.
bool getEnv(const wchar_t* name, std::wstring* value) {
    const wchar_t* v = _wgetenv(name);
    if (v == nullptr) return false;
    if (value) *value = v;
    return true;
}

int putEnv(const std::wstring& assignment) {
    return _wputenv(assignment.c_str()) == 0 ? 0 : 1;
}

// "NAME=" with nothing after the sign removes the variable on Windows.
int unsetEnv(const wchar_t* name) {
    return _wputenv((std::wstring(name) + L"=").c_str()) == 0 ? 0 : 1;
}

uint32_t tickCount() { return GetTickCount(); }

int64_t unixSeconds() {
    // FILETIME counts 100 ns steps since 1601; 1970 is 11644473600 s later.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t steps = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<int64_t>(steps / 10000000u) - INT64_C(11644473600);
}

void sleepMs(uint32_t ms) { Sleep(ms); }

namespace {

// Text to one of the standard handles: wide text on a console, UTF-8 into a
// pipe or a file, as on the other build.
void writeStdHandle(DWORD which, FILE* stream, const std::wstring& text) {
    if (text.empty()) return;
    fflush(stream);
    HANDLE out = GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes,
                        nullptr, nullptr);
    WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

// A GUI program has a standard handle only when it was redirected.
bool hasStdHandle(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

void showInBox(const std::wstring& caption, const std::wstring& text, UINT icon) {
    std::wstring shown = text;
    while (!shown.empty() && shown.back() == L'\n') shown.pop_back();
    MessageBoxW(nullptr, shown.c_str(), caption.c_str(), MB_OK | icon);
}

}  // namespace

void writeStdout(const std::wstring& text) { writeStdHandle(STD_OUTPUT_HANDLE, stdout, text); }
void writeStderr(const std::wstring& text) { writeStdHandle(STD_ERROR_HANDLE, stderr, text); }

bool stderrIsTerminal() {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return err != nullptr && err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode);
}

void showCommandLineText(const std::wstring& caption, const std::wstring& text, const std::wstring& boxText) {
    if (hasStdHandle(STD_OUTPUT_HANDLE)) writeStdout(text);
    else showInBox(caption, boxText.empty() ? text : boxText, MB_ICONINFORMATION);
}

void showCommandLineError(const std::wstring& caption, const std::wstring& text, const std::wstring& boxText) {
    if (hasStdHandle(STD_ERROR_HANDLE)) writeStderr(text);
    else showInBox(caption, boxText.empty() ? text : boxText, MB_ICONWARNING);
}

// ---------------------------------------------------------------- errors

uint32_t lastSystemError() { return GetLastError(); }

void setLastSystemError(uint32_t code) { SetLastError(code); }

std::wstring systemErrorMessage(uint32_t code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_ALLOCATE_BUFFER,
                             nullptr, code, 0x400, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (n == 0 || text == nullptr) return std::wstring();
    // The system's text is kept as it is, line break included.
    std::wstring result(text, n);
    LocalFree(text);
    return result;
}

std::wstring stdErrorMessage(int errnum) {
    const wchar_t* text = _wcserror(errnum);
    return text ? std::wstring(text) : std::wstring();
}

// ---------------------------------------------------------------- randomness

bool cryptoRandom(void* buffer, std::size_t length) {
    unsigned char* p = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        ULONG chunk = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return false;
        p += chunk;
        length -= chunk;
    }
    return true;
}

// ---------------------------------------------------------------- child programs

int runChildAndWait(const std::wstring& program, const std::vector<std::wstring>& args) {
    // A program path holding a blank would be split into several words by
    // the child's reading of its command line.
    std::wstring commandLine =
        program.find(L' ') != std::wstring::npos ? L"\"" + program + L"\"" : program;
    for (const std::wstring& a : args) commandLine += L" " + a;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // CreateProcessW may write into the command line: hand it a copy.
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return -1;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    BOOL known = GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return known ? static_cast<int>(code) : -1;
}

std::wstring childArgument(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

// ---------------------------------------------------------------- single instance

int takeGuard(const std::wstring& name, GuardHandle* guard, std::wstring*) {
    // Created with initial ownership; the system releases it also when the
    // process ends without letting go.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    if (mutex == nullptr) return 1;
    DWORD error = GetLastError();
    if (error != 0) {
        // Another instance holds it (ERROR_ALREADY_EXISTS): let go of our handle.
        CloseHandle(mutex);
        SetLastError(error);
        return 1;
    }
    *guard = mutex;
    return 0;
}

void releaseGuard(GuardHandle guard) {
    if (!guard) return;
    ReleaseMutex(static_cast<HANDLE>(guard));
    CloseHandle(static_cast<HANDLE>(guard));
}

int createNamedMutex(const std::wstring& name, std::wstring* why) {
    GuardHandle guard = nullptr;
    return takeGuard(name, &guard, why);   // never closed: held until the process ends
}

// ---------------------------------------------------------------- user interface

bool messageBox(BoxKind kind, const std::wstring& caption, const std::wstring& text) {
    UINT flags = MB_OK;
    switch (kind) {
        case BoxKind::Information: flags = MB_OK | MB_ICONINFORMATION; break;
        case BoxKind::Warning: flags = MB_OK | MB_ICONWARNING; break;
        // The program's questions carry the information icon, No as the default.
        case BoxKind::Question: flags = MB_YESNO | MB_ICONINFORMATION | MB_DEFBUTTON2; break;
    }
    int answer = MessageBoxW(nullptr, text.c_str(), caption.c_str(), flags);
    return answer == IDYES || answer == IDOK;
}

Answer askQuestion(const std::wstring& caption, const std::wstring& text) {
    return messageBox(BoxKind::Question, caption, text) ? Answer::Yes : Answer::No;
}

void shellNotifyAll() {
    SHChangeNotify(SHCNE_ALLEVENTS, SHCNF_IDLIST, nullptr, nullptr);
}

}  // namespace plat
