// velkin-keydrive: makes, checks and describes key drives.
//
//   velkin-keydrive make FOLDER --size SIZE [--program PATH]
//   velkin-keydrive check FOLDER
//   velkin-keydrive status FOLDER

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/utf8.h"
#include "tools/keydrive/drive.h"

namespace {

const wchar_t* const kUsage =
    L"usage:\n"
    L"  velkin-keydrive make FOLDER --size SIZE [--program PATH]\n"
    L"      lays out a key drive in FOLDER with a key of SIZE bytes (a multiple\n"
    L"      of 1024; K, M and G multiply by 1024, 1024^2 and 1024^3) and copies\n"
    L"      the program (by default the velkin program beside this tool) as\n"
    L"      Decrypt, Encrypt, Open and Status (on Linux each with a .desktop\n"
    L"      launcher that file managers accept dropped files on)\n"
    L"  velkin-keydrive check FOLDER\n"
    L"      verifies the key drive in FOLDER; exit code 0 when it is sound\n"
    L"  velkin-keydrive status FOLDER\n"
    L"      shows the key number and the key usage\n";

void say(const std::wstring& text) {
    plat::writeStdout(text);
}

// The velkin program in the tool's own folder.
std::wstring programBesideTool() {
    std::wstring self = plat::modulePath();
    size_t cut = self.find_last_of(L"/\\");
    std::wstring folder = cut == std::wstring::npos ? std::wstring() : self.substr(0, cut + 1);
#ifdef _WIN32
    return folder + L"velkin.exe";
#else
    return folder + L"velkin";
#endif
}

int make(const std::vector<std::wstring>& args) {
    keydrive::MakeOptions options;
    bool haveSize = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == L"--size" && i + 1 < args.size()) {
            if (!keydrive::parseSize(args[++i], &options.sizeBytes)) {
                say(L"velkin-keydrive: '" + args[i] + L"' is not a size\n");
                return 2;
            }
            haveSize = true;
        } else if (args[i] == L"--program" && i + 1 < args.size()) {
            options.programPath = args[++i];
        } else if (options.folder.empty() && !args[i].empty() && args[i][0] != L'-') {
            options.folder = args[i];
        } else {
            say(kUsage);
            return 2;
        }
    }
    if (options.folder.empty() || !haveSize) {
        say(kUsage);
        return 2;
    }
    if (options.programPath.empty()) options.programPath = programBesideTool();
    options.showProgress = true;
    uint32_t started = plat::tickCount();
    std::wstring error;
    if (keydrive::makeDrive(options, &error) != 0) {
        say(L"velkin-keydrive: " + error + L"\n");
        return 1;
    }
    uint32_t ms = plat::tickCount() - started;
    say(L"Made a key drive in '" + options.folder + L"' with a key of " +
        std::to_wstring(options.sizeBytes) + L" bytes in " + std::to_wstring(ms / 1000) + L"." +
        std::to_wstring(ms % 1000 / 100) + L" s.\n");
    std::wstring report;
    int result = keydrive::driveStatus(options.folder, &report);
    say(report);
    return result;
}

int run(const std::vector<std::wstring>& args) {
    if (args.empty()) {
        say(kUsage);
        return 2;
    }
    if (args[0] == L"make") return make(args);
    if ((args[0] == L"check" || args[0] == L"status") && args.size() == 2) {
        std::wstring report;
        int result = args[0] == L"check" ? keydrive::checkDrive(args[1], &report)
                                         : keydrive::driveStatus(args[1], &report);
        say(report);
        return result;
    }
    say(kUsage);
    return 2;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    return run(args);
}
#else
int main(int argc, char** argv) {
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.push_back(utf8::toWide(argv[i]));
    return run(args);
}
#endif
