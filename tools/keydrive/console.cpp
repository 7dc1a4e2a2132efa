#include "tools/keydrive/console.h"

#ifdef _WIN32
#include <windows.h>

namespace keydrive {

namespace {

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

void holdOwnConsoleWindow() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!isConsole(input) || !isConsole(output)) return;
    // A prompt shares its console with the programs it starts; a console
    // that holds this process alone was made for it.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) != 1) return;
    const wchar_t prompt[] = L"\r\nPress any key to close this window.";
    DWORD written = 0;
    WriteConsoleW(output, prompt, static_cast<DWORD>(sizeof prompt / sizeof prompt[0] - 1), &written, nullptr);
    FlushConsoleInputBuffer(input);
    INPUT_RECORD record;
    DWORD read = 0;
    while (ReadConsoleInputW(input, &record, 1, &read) && read == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) break;
    }
}

}  // namespace keydrive

#else

namespace keydrive {

void holdOwnConsoleWindow() {}

}  // namespace keydrive

#endif
