// Test stand-in for a sibling program (copied as bkgui.exe or bkfm.exe): it
// records how it was started — its whole command line and the variables
// VKLIB_OPENER and VKLIB_PASSWORD — as one JSON line in "<its path>.out",
// and exits with the number in "<its path>.exit" (0 when there is none).
// With "<its path>.run" (a program's path) it runs that program with its own
// arguments first and exits with its code; then, with "<its path>.after"
// (lines "path|text"), it writes each text into its file, as another program
// saving files at that moment would.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/wine/helperjson.h"

namespace {

using helper::json;
using helper::utf8;

std::wstring wide(const std::string& text) {
    std::wstring out(text.size(), L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0],
                                static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

std::string variable(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    return value ? json(value) : std::string("null");
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring base = self;
    FILE* out = _wfopen((base + L".out").c_str(), L"wb");
    if (out) {
        std::string line = "{\"commandLine\":" + json(GetCommandLineW()) + ",\"VKLIB_OPENER\":" +
                           variable(L"VKLIB_OPENER") + ",\"VKLIB_PASSWORD\":" + variable(L"VKLIB_PASSWORD") +
                           "}\n";
        std::fwrite(line.data(), 1, line.size(), out);
        std::fclose(out);
    }
    int code = 0;
    FILE* run = _wfopen((base + L".run").c_str(), L"rb");
    if (run) {
        char program[MAX_PATH] = "";
        const bool named = std::fgets(program, sizeof program, run) != nullptr;
        std::fclose(run);
        if (named) {
            std::wstring real = wide(program);
            while (!real.empty() && (real.back() == L'\n' || real.back() == L'\r')) real.pop_back();
            // The arguments as this program got them: after its own name.
            std::wstring tail = GetCommandLineW();
            std::size_t cut = tail[0] == L'"' ? tail.find(L'"', 1) + 1 : tail.find(L' ');
            tail = cut == std::wstring::npos ? std::wstring() : tail.substr(cut);
            std::wstring line = L"\"" + real + L"\"" + tail;
            STARTUPINFOW startup = {};
            startup.cb = sizeof startup;
            PROCESS_INFORMATION process = {};
            code = -1;
            if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
                WaitForSingleObject(process.hProcess, INFINITE);
                DWORD exitCode = 0;
                GetExitCodeProcess(process.hProcess, &exitCode);
                code = static_cast<int>(exitCode);
                CloseHandle(process.hProcess);
                CloseHandle(process.hThread);
            }
        }
        FILE* after = _wfopen((base + L".after").c_str(), L"rb");
        char entry[2048];
        while (after && std::fgets(entry, sizeof entry, after)) {
            std::string text = entry;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            std::size_t bar = text.find('|');
            if (bar == std::string::npos) continue;
            FILE* saved = _wfopen(wide(text.substr(0, bar)).c_str(), L"wb");
            if (saved) {
                std::fwrite(text.data() + bar + 1, 1, text.size() - bar - 1, saved);
                std::fclose(saved);
            }
        }
        if (after) std::fclose(after);
        return code;
    }
    FILE* exit = _wfopen((base + L".exit").c_str(), L"rb");
    if (exit) {
        if (std::fscanf(exit, "%d", &code) != 1) code = 0;
        std::fclose(exit);
    }
    return code;
}
