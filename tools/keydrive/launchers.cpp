// Desktop launchers for the program's copies on a key drive.
//
// A removable drive is mounted wherever the system likes, and a launcher's
// Exec line wants an absolute program path. So the launcher runs a short
// shell script that takes the drive's folder from the launcher's own
// location, which the file manager passes for the field code %k:
//
//     sh -c 'exec "$(dirname "$0")/Encrypt" "$@"' <launcher path> <dropped file>
//
// The script is one quoted argument of the Exec line: inside it '"', '$'
// and '\' carry a backslash, and every backslash is doubled once more by
// the escaping of the entry's values.

#include "tools/keydrive/launchers.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace keydrive {
namespace {

struct Launcher {
    const wchar_t* command;
    const char* comment;
    const char* icon;   // names of the icon naming conventions
};

const Launcher kLaunchers[] = {
    {L"Encrypt", "Drop files or folders here to encrypt them with the key on this drive", "security-high"},
    {L"Decrypt", "Drop encrypted files or folders here to decrypt them", "security-low"},
    {L"Open", "Drop an encrypted file here to open it for editing", "document-open"},
    {L"Status", "Writes the key number and usage to the drive's log", "dialog-information"},
};

// An argument of an Exec line in double quotes, escaped for both the
// quoting rule and the value escapes.
std::string quotedExecArgument(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += "\\\\";
        quoted += c;
    }
    return quoted + "\"";
}

std::wstring joined(const std::wstring& folder, const std::wstring& name) {
    if (!folder.empty() && folder.back() == plat::kSep) return folder + name;
    return folder + plat::kSep + name;
}

// Writes the launcher through a temporary file renamed over the target, so
// that a launcher is either the old one or complete.
int writeLauncher(const std::wstring& target, const std::string& text, std::wstring* error) {
    const std::wstring temporary = target + L".tmp";
    auto fail = [&](const std::wstring& reason) {
        *error = L"cannot write the launcher '" + target + L"': " + reason;
        return 1;
    };
    FILE* f = plat::openFile(temporary, L"wb");
    if (f == nullptr) return fail(plat::stdErrorMessage(errno));
    bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    int saved = errno;
    if (std::fclose(f) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (!written) {
        plat::removeFile(temporary);
        return fail(plat::stdErrorMessage(saved));
    }
    // File managers run only launchers marked executable. A FAT drive has no
    // such marks (its mount options decide): there the attempt fails, and
    // that is no reason to refuse the drive.
    namespace fs = std::filesystem;
    std::error_code ignored;
    fs::permissions(fs::path(utf8::pathFromWide(temporary)),
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    ignored);
    if (!plat::moveReplace(temporary, target)) {
        std::wstring reason = plat::systemErrorMessage(plat::lastSystemError());
        plat::removeFile(temporary);
        return fail(reason);
    }
    return 0;
}

}  // namespace

std::string launcherText(const std::wstring& command) {
    const Launcher* launcher = &kLaunchers[0];
    for (const Launcher& l : kLaunchers) {
        if (command == l.command) launcher = &l;
    }
    std::string name = utf8::fromWide(command);
    std::string script = "exec \"$(dirname \"$0\")/" + name + "\" \"$@\"";
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Version=1.0\n"
           "Name=" + name + "\n"
           "Comment=" + launcher->comment + "\n"
           "Icon=" + launcher->icon + "\n"
           "Exec=sh -c " + quotedExecArgument(script) + " %k %f\n"
           "Terminal=false\n";
}

int writeLaunchers(const std::wstring& folder, std::wstring* error) {
    for (const Launcher& launcher : kLaunchers) {
        std::wstring target = joined(folder, std::wstring(launcher.command) + L".desktop");
        if (writeLauncher(target, launcherText(launcher.command), error) != 0) return 1;
    }
    return 0;
}

}  // namespace keydrive
