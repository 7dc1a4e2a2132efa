// Test program for the Linux build's desktop dialogs: one box, or a run of
// progress phases, through the same platform layer as the real program.
//
//   desktopdemo box information|warning|question CAPTION TEXT
//       prints "answer yes" or "answer no"; exit code 0 for OK or Yes, 3 otherwise
//   desktopdemo progress MS:TITLE|pause:MS...
//       one phase per argument, each MS milliseconds long, back to back,
//       or a pause of MS milliseconds between phases; prints "begin SECONDS
//       TITLE" and "end SECONDS TITLE" (wall-clock time right before the
//       phase begins and ends), and exits 600 ms after the last. The first phase begins just after the wall clock's
//       second turns: the estimate comes with the next second, so the
//       dialog, shown 100 ms after the start, opens before it whatever the
//       moment the demo was started.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/utf8.h"
#include "ui/progress.h"

namespace {

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Sleeps until 20 ms after the wall clock's next whole second (the margin
// covers a coarse clock behind the precise one).
void waitForNextSecond() {
    const double now = wallSeconds();
    const double wait = static_cast<double>(static_cast<long long>(now)) + 1.02 - now;
    std::this_thread::sleep_for(std::chrono::duration<double>(wait));
}

int box(int argc, char** argv) {
    if (argc != 5) return 64;
    std::string kind = argv[2];
    plat::BoxKind which;
    if (kind == "information") which = plat::BoxKind::Information;
    else if (kind == "warning") which = plat::BoxKind::Warning;
    else if (kind == "question") which = plat::BoxKind::Question;
    else return 64;
    bool yes = plat::messageBox(which, utf8::toWide(argv[3]), utf8::toWide(argv[4]));
    std::printf("answer %s\n", yes ? "yes" : "no");
    return yes ? 0 : 3;
}

int progress(int argc, char** argv) {
    progressStart();
    if (!plat::progressWindowReady()) {
        std::printf("no progress window\n");
        return 1;
    }
    waitForNextSecond();
    for (int i = 2; i < argc; ++i) {
        std::string phase = argv[i];
        std::size_t colon = phase.find(':');
        if (colon == std::string::npos) return 64;
        if (phase.compare(0, colon, "pause") == 0) {
            long pause = std::strtol(phase.c_str() + colon + 1, nullptr, 10);
            std::this_thread::sleep_for(std::chrono::milliseconds(pause));
            continue;
        }
        long ms = std::strtol(phase.c_str(), nullptr, 10);
        std::wstring title = utf8::toWide(phase.substr(colon + 1));
        std::printf("begin %.6f %s\n", wallSeconds(), phase.c_str() + colon + 1);
        std::fflush(stdout);
        progressBegin(L"Scanning file\n%ls", L"demo.bin", title.c_str());
        auto start = std::chrono::steady_clock::now();
        for (;;) {
            long elapsed = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::steady_clock::now() - start)
                                                 .count());
            if (elapsed >= ms) break;
            progressUpdate(static_cast<double>(elapsed) / ms);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        double ending = wallSeconds();
        progressEnd();
        std::printf("end %.6f %s\n", ending, phase.c_str() + colon + 1);
        std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "box") return box(argc, argv);
    if (what == "progress") return progress(argc, argv);
    std::fprintf(stderr, "usage: desktopdemo box KIND CAPTION TEXT | progress MS:TITLE|pause:MS...\n");
    return 64;
}
