#include "tools/keydrive/backup.h"

#include "tools/keydrive/drive.h"
#include "tools/keydrive/split.h"

namespace keydrive {

int makeBackup(const std::wstring& source, const std::wstring& target, std::wstring* report,
               std::wstring* notes) {
    SplitOptions options;
    options.source = source;
    options.target = target;
    options.backup = true;
    options.showProgress = true;
    takeTestStop(&options);
    SplitResult result;
    std::wstring error;
    const int made = splitDrive(options, &result, &error);
    if (made != 0) {
        *notes += L"velkin-keydrive: " + error + L"\n";
        return made;
    }
    if (result.replacedLeftovers)
        *notes += L"Replaced the key files that an unfinished backup, split or make had left in '" + target +
                  L"'.\n";
    if (!result.digestNote.empty()) *notes += result.digestNote + L"\n";
    *report += L"Made '" + target + L"' a backup key drive of '" + source +
               L"': the same key, with no range of its own.\n"
               L"It decrypts every file made with this key, by '" + source +
               L"' and by its partner drives, and never encrypts, so that no key block is used twice.\n"
               L"Keep it somewhere safe: it is as secret as the key drive itself.\n";
    std::wstring status;
    const int described = driveStatus(target, &status);
    *report += L"\n'" + target + L"':\n" + status;
    return described;
}

}  // namespace keydrive
