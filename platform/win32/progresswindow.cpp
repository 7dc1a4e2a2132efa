// Windows backend of the progress window: dialog 102 of the program's own
// module, created and run by a thread of its own so that it keeps painting
// while the main thread works. Only that thread shows and hides the dialog,
// through two timers; the main thread sets texts, title and bar with window
// calls, which the dialog's thread carries out.
#include "platform/platform.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>

namespace plat {

namespace {

constexpr int kDialogId = 102;
constexpr int kBarId = 102;
constexpr UINT kShowRequest = WM_USER;
constexpr UINT kHideRequest = WM_USER + 1;
constexpr UINT_PTR kShowTimer = 100;
constexpr UINT kShowDelayMs = 100;
constexpr UINT_PTR kHideTimer = 200;
constexpr UINT kHideDelayMs = 200;

// Written once by the progress thread (dialog first, bar next), then only read.
std::atomic<HWND> gDialog{nullptr};
std::atomic<HWND> gBar{nullptr};
// Set when the progress thread has given up without a dialog (no resource
// 102 in this module), so that the start-up wait need not run its course.
std::atomic<bool> gCreationFailed{false};

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case kShowRequest:
            KillTimer(dialog, kHideTimer);
            SetTimer(dialog, kShowTimer, kShowDelayMs, nullptr);
            break;
        case kHideRequest:
            KillTimer(dialog, kShowTimer);
            SetTimer(dialog, kHideTimer, kHideDelayMs, nullptr);
            break;
        case WM_TIMER:
            if (wParam == kShowTimer) {
                KillTimer(dialog, kShowTimer);
                ShowWindow(dialog, SW_SHOW);
            } else if (wParam == kHideTimer) {
                KillTimer(dialog, kHideTimer);
                ShowWindow(dialog, SW_HIDE);
            }
            break;
        default:
            break;
    }
    return 0;
}

DWORD WINAPI progressThread(LPVOID) {
    HWND dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kDialogId),
                                     nullptr, dialogProc, 0);
    if (dialog == nullptr) {
        gCreationFailed.store(true);
        return 0;
    }
    HWND bar = GetDlgItem(dialog, kBarId);
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
    gBar.store(bar);
    // Published last: progressWindowStart returns as soon as the dialog is
    // seen, and the first phase must find its bar ready too.
    gDialog.store(dialog);

    MSG msg;
    for (;;) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) return 1;
        if (got == 0) return 0;
        if (!IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

}  // namespace

bool progressWindowStart() {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);  // 8 bytes
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    HANDLE thread = CreateThread(nullptr, 0, progressThread, nullptr, 0, nullptr);
    if (thread == nullptr) return false;
    CloseHandle(thread);

    for (int i = 0; i < 100; ++i) {
        if (gDialog.load() != nullptr) return true;
        if (gCreationFailed.load()) return false;
        Sleep(100);
    }
    return gDialog.load() != nullptr;
}

bool progressWindowReady() { return gDialog.load() != nullptr && gBar.load() != nullptr; }

void progressWindowSetText(int controlId, const std::wstring& text) {
    HWND dialog = gDialog.load();
    if (dialog) SetDlgItemTextW(dialog, controlId, text.c_str());
}

void progressWindowSetTitle(const std::wstring& title) {
    HWND dialog = gDialog.load();
    if (dialog) SetWindowTextW(dialog, title.c_str());
}

void progressWindowSetBar(int position) {
    HWND bar = gBar.load();
    if (bar) SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void progressWindowRequestShow() {
    HWND dialog = gDialog.load();
    if (dialog) SendMessageW(dialog, kShowRequest, 0, 0);
}

void progressWindowRequestHide() {
    HWND dialog = gDialog.load();
    if (dialog) SendMessageW(dialog, kHideRequest, 0, 0);
}

}  // namespace plat
