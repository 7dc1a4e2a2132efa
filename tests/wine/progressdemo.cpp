// Test program for the progress window of the Windows build: one phase of a
// given length, shown through the same code and dialog resource as the real
// program, so that a helper outside the process can watch the window.
//
//   progressdemo DURATION_MS [--sync] [--phases N]
//
// Prints "ready" once the progress window exists; with --sync it then waits
// for a line on standard input before the phase begins, so that a watcher
// can be started first. Runs N phases (1 by default) back to back and
// prints, right after each phase has begun, the bar's position
// ("begin-bar POSITION"). After the last phase it waits 500 ms and prints
// whether the dialog is still visible ("after-end visible" or "after-end
// hidden").
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "platform/platform.h"
#include "ui/progress.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: progressdemo DURATION_MS [--sync]\n");
        return 64;
    }
    DWORD duration = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    bool sync = false;
    int phases = 1;
    for (int i = 2; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--sync") == 0) sync = true;
        else if (std::wcscmp(argv[i], L"--phases") == 0 && i + 1 < argc) phases = _wtoi(argv[++i]);
    }

    progressStart();
    if (!plat::progressWindowReady()) {
        std::printf("no progress window\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (sync) {
        char line[64];
        if (!std::fgets(line, sizeof line, stdin)) return 1;
    }

    for (int phase = 0; phase < phases; ++phase) {
        progressBegin(L"Scanning file\n%ls", L"demo.bin", L"Scanning");
        HWND bar = GetDlgItem(FindWindowW(L"#32770", L"Scanning"), 102);
        std::printf("begin-bar %ld\n", static_cast<long>(SendMessageW(bar, PBM_GETPOS, 0, 0)));
        std::fflush(stdout);
        DWORD start = GetTickCount();
        for (;;) {
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= duration) break;
            progressUpdate(static_cast<double>(elapsed) / duration);
            Sleep(10);
        }
        progressEnd();
        std::printf("phase %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));
    }

    Sleep(500);
    HWND dialog = FindWindowW(L"#32770", L"Scanning");
    std::printf("after-end %s\n", dialog && IsWindowVisible(dialog) ? "visible" : "hidden");
    std::fflush(stdout);
    return 0;
}
