// Entry point of the Windows build: a GUI program without a window of its own.
// The runtime hands over the command-line tail (the text after the program's
// own name, with the separating blanks skipped); the program reads nothing else.
#include <windows.h>

#include "app/entry.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandTail, int) {
    return runProgram(commandTail ? commandTail : L"");
}
