#include "tools/tar/siblingio.h"

#include "drive/util.h"
#include "platform/platform.h"
#include "platform/utf8.h"
#include "workspace/tarformat.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <cstdio>
#endif

namespace sibling {

namespace {

// The text with every control character but line breaks and tabs escaped:
// the last guard, for text that names were put into unescaped.
std::wstring harmless(const std::wstring& text) {
    std::wstring out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != L'\n' && text[i] != L'\t') continue;
        out += tar::escapedText(text.substr(start, i - start));
        if (i < text.size()) out += text[i];
        start = i + 1;
    }
    return out;
}

}  // namespace

#ifdef _WIN32

namespace {

// A program of the Windows subsystem has no standard handles when started
// from a console: it then writes to that console.
HANDLE standardHandle(DWORD which) {
    HANDLE h = GetStdHandle(which);
    if (h != nullptr && h != INVALID_HANDLE_VALUE) return h;
    static bool attached = false;
    if (!attached) {
        attached = true;
        AttachConsole(ATTACH_PARENT_PROCESS);
    }
    h = GetStdHandle(which);
    if (h != nullptr && h != INVALID_HANDLE_VALUE) return h;
    h = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    SetStdHandle(which, h);
    return h;
}

void writeTo(DWORD which, const std::wstring& text) {
    if (text.empty()) return;
    HANDLE h = standardHandle(which);
    if (!h) return;
    DWORD written = 0;
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
        WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::string bytes = utf8::fromWide(text);
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

std::vector<std::wstring> arguments(int, char**) {
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!list) return args;
    for (int i = 1; i < count; ++i) args.push_back(list[i]);
    LocalFree(list);
    return args;
}

void writeOut(const std::wstring& text) { writeTo(STD_OUTPUT_HANDLE, harmless(text)); }
void writeErr(const std::wstring& text) { writeTo(STD_ERROR_HANDLE, harmless(text)); }

#else

// Arguments are paths and names: their bytes are kept, also where they are
// no UTF-8.
std::vector<std::wstring> arguments(int argc, char** argv) {
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.push_back(utf8::pathToWide(argv[i]));
    return args;
}

void writeOut(const std::wstring& text) {
    std::string bytes = utf8::fromWide(harmless(text));
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void writeErr(const std::wstring& text) {
    std::string bytes = utf8::fromWide(harmless(text));
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

#endif

void reportNotice(const std::wstring& caption, const std::wstring& text) {
    writeErr(caption + L": " + text + L"\n");
#ifdef _WIN32
    plat::messageBox(plat::BoxKind::Information, caption, text);
#endif
}

void reportFailure(const std::wstring& caption, const std::wstring& text) {
    writeErr(caption + L": " + text + L"\n");
#ifdef _WIN32
    plat::messageBox(plat::BoxKind::Warning, caption, text);
#endif
}

bool answeredHelpOrVersion(const std::vector<std::wstring>& args, const wchar_t* name,
                           const wchar_t* usage) {
    if (args.size() != 1) return false;
    // As the program's own copies do: on Windows without a redirected
    // standard output the text shows in a box.
    if (args[0] == L"--help" || args[0] == L"-h") {
        plat::showCommandLineText(name, usage);
        return true;
    }
    if (args[0] == L"--version") {
        // The same version line as every program of the product.
        plat::showCommandLineText(name, versionLine(name));
        return true;
    }
    return false;
}

}  // namespace sibling
