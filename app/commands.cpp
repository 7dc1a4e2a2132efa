#include "app/commands.h"

#include <string>

#include "diag/error.h"
#include "diag/format.h"
#include "diag/log.h"
#include "drive/util.h"
#include "key/key.h"
#include "platform/platform.h"
#include "walk/dirtree.h"
#include "walk/foldercheck.h"

namespace {

// Names in the closing box what the walk left alone: in an information box
// after a success, after the error text of a failure.
int reportSkipped(int result) {
    const std::wstring skipped = walkSkippedText();
    if (skipped.empty()) return result;
    if (result == 0) {
        plat::messageBox(plat::BoxKind::Information, caption, skipped);
    } else {
        copyCut(lastErrorText, kLastErrorTextSize, std::wstring(lastErrorText) + L"\n\n" + skipped);
    }
    return result;
}

// Walks the dropped path and names what the walk left alone.
int walkAndReport(const wchar_t* path, WalkAction action, WalkContext* context) {
    return reportSkipped(walkTree(path, action, context, nullptr, nullptr) != 0 ? 1 : 0);
}

// A dropped folder (not a link to one) is checked as a whole first.
bool isFolder(const wchar_t* path) {
    plat::FileInfo info;
    return plat::fileInfo(path, &info) && info.isDirectory && !info.isLink;
}

}  // namespace

int decryptCommand(const wchar_t* path) {
    if (path[0] == L'\0') {
        plat::messageBox(plat::BoxKind::Information, caption,
                         L"Drag and drop the file that you want to decrypt onto this icon");
        return 0;
    }
    WalkContext context{0};
    if (isFolder(path) && checkFolderForDecrypt(path, &context) != 0) return reportSkipped(1);
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
    if (isFolder(path) && checkFolderForEncrypt(path, &context) != 0) return reportSkipped(1);
    return walkAndReport(path, encryptAction, &context);
}

int statusCommand() {
    // A key that cannot be read, or a usage record that is damaged, is a
    // failure the user must see, not a usage of 0.0%.
    const wchar_t* number = keyNumberText();
    if (number[0] == L'?') return 1;
    logMessage(L"Key number:          %ls", number);
    double usage = 0;
    bool backup = false;
    if (openKeyStore() != 0 || keyUsage(&usage, &backup) != 0) return 1;
    if (backup) {
        logMessage(L"Key usage:           %ls", L"backup drive (decrypts only)");
    } else {
        logMessage(L"Key usage:           %.1f%% ", usage);
    }
    setVersionText();
    logMessage(L"Program version:     %ls", versionText);
    return 0;
}

