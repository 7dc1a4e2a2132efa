// Test program for the message boxes of the Windows build: shows one box
// through the platform layer and reports the answer in its exit code.
//
//   boxdemo information|warning|question CAPTION TEXT
//
// Exit code 0 when OK or Yes was chosen, 3 otherwise.
#include <cstdio>
#include <string>

#include "platform/platform.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: boxdemo information|warning|question CAPTION TEXT\n");
        return 64;
    }
    std::wstring kind = argv[1];
    plat::BoxKind box;
    if (kind == L"information") {
        box = plat::BoxKind::Information;
    } else if (kind == L"warning") {
        box = plat::BoxKind::Warning;
    } else if (kind == L"question") {
        box = plat::BoxKind::Question;
    } else {
        return 64;
    }
    return plat::messageBox(box, argv[2], argv[3]) ? 0 : 3;
}
