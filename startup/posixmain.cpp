// The POSIX entry point: the arguments, each taken as it is, go to the shared
// run.
#include <clocale>
#include <string>
#include <vector>

#include "app/entry.h"
#include "platform/posix/startup.h"

int main(int argc, char** argv) {
    // Wide character classes (which characters are letters or digits) follow
    // the user's locale, falling back to a UTF-8 one.
    if (!std::setlocale(LC_CTYPE, "")) std::setlocale(LC_CTYPE, "C.UTF-8");
    plat::setStartPath(argc > 0 ? argv[0] : "");
    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(plat::argumentToWide(argv[i]));
    return runProgramWithArguments(arguments);
}
