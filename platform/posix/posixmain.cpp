// The POSIX entry point: the arguments become the command-line tail that the
// Windows runtime would hand to the program, and the shared run takes over.
#include <clocale>

#include "app/entry.h"
#include "platform/posix/startup.h"

int main(int argc, char** argv) {
    // Wide character classes (which characters are letters or digits) follow
    // the user's locale, falling back to a UTF-8 one.
    if (!std::setlocale(LC_CTYPE, "")) std::setlocale(LC_CTYPE, "C.UTF-8");
    plat::setStartPath(argc > 0 ? argv[0] : "");
    return runProgram(plat::joinArguments(argc, argv).c_str());
}
