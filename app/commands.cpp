#include "app/commands.h"

#include <string>

#include "app/dirtree.h"
#include "app/util.h"
#include "diag/error.h"
#include "diag/format.h"
#include "diag/log.h"
#include "key/key.h"
#include "platform/platform.h"

namespace {

// Walks the dropped path and names in the closing box what the walk left
// alone: in an information box after a success, after the error text of a
// failure.
int walkAndReport(const wchar_t* path, WalkAction action, WalkContext* context) {
    const int result = walkTree(path, action, context, nullptr, nullptr) != 0 ? 1 : 0;
    const std::wstring skipped = walkSkippedText();
    if (skipped.empty()) return result;
    if (result == 0) {
        plat::messageBox(plat::BoxKind::Information, caption, skipped);
    } else {
        copyCut(lastErrorText, kLastErrorTextSize, std::wstring(lastErrorText) + L"\n\n" + skipped);
    }
    return result;
}

}  // namespace

int decryptCommand(const wchar_t* path) {
    if (path[0] == L'\0') {
        plat::messageBox(plat::BoxKind::Information, caption,
                         L"Drag and drop the file that you want to decrypt onto this icon");
        return 0;
    }
    WalkContext context{0};
    return walkAndReport(path, decryptAction, &context);
}

int encryptCommand(const wchar_t* path) {
    if (path[0] == L'\0') {
        plat::messageBox(plat::BoxKind::Information, caption,
                         L"Drag and drop the file that you want to encrypt onto this icon");
        return 0;
    }
    // Instances started from the workspace file manager keep file names.
    WalkContext context{environmentHas(L"VKLIB_OPENER") ? -1 : 0};
    return walkAndReport(path, encryptAction, &context);
}

int statusCommand() {
    logMessage(L"Key number:          %ls", keyNumberText());
    double usage = openKeyStore() == 0 ? keyUsagePercent() : 0.0;
    logMessage(L"Key usage:           %.1f%% ", usage);
    setVersionText();
    logMessage(L"Program version:     %ls", versionText);
    return 0;
}

