// Test stand-in for a sibling program (copied as bkgui.exe or bkfm.exe): it
// records how it was started — its whole command line and the variables
// VKLIB_OPENER and VKLIB_PASSWORD — as one JSON line in "<its path>.out",
// and exits with the number in "<its path>.exit" (0 when there is none).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/wine/helperjson.h"

namespace {

using helper::json;
using helper::utf8;

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
    FILE* exit = _wfopen((base + L".exit").c_str(), L"rb");
    if (exit) {
        if (std::fscanf(exit, "%d", &code) != 1) code = 0;
        std::fclose(exit);
    }
    return code;
}
