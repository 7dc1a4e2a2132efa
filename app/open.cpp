// The open command: an encrypted file is decrypted into the key drive's
// folder TEMP, the working copy is opened in its application and waited for,
// encrypted again over the encrypted file when its contents changed, and
// deleted. A plaintext file is first encrypted beside itself and erased.
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

#include "app/commands.h"
#include "app/openwait.h"
#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "codec/expunge.h"
#include "codec/format.h"
#include "diag/error.h"
#include "diag/format.h"
#include "diag/log.h"
#include "digest/filedigest.h"
#include "drive/layout.h"
#include "drive/util.h"
#include "key/key.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kDigestBytes = 64;

// The working copies' folder, relative to the program's folder (the
// current folder).
std::wstring tempFolder() { return std::wstring(kTempFolder) + plat::kSep; }

// Where a working copy stands, as the user finds it.
std::wstring shownPath(const std::wstring& workingCopy) {
    std::wstring folder = programFolder;
    // A drive's root keeps its separator.
    if (!folder.empty() && folder.back() != plat::kSep) folder += plat::kSep;
    return folder + workingCopy;
}

int showKeyInformation() {
    setVersionText();
    double usage = openKeyStore() == 0 ? keyUsagePercent() : 0.0;
    const wchar_t* number = keyNumberText();
    plat::messageBox(plat::BoxKind::Information, caption,
                     formatText(L"%ls\n\nThe key is currently %.1f%% used.\n\nThe key number is "
                                L"%ls.\n\nThe program version is %ls.\n\n",
                                L"Drag and drop the file that you want to open onto this icon",
                                usage, number, versionText));
    return 0;
}

// A working copy of the same name in TEMP may hold the only copy of edits
// that could not be encrypted again, or be another instance's working copy:
// it is never overwritten (nor, when it is the dropped file, erased).
int checkWorkingCopyFree(const wchar_t* path, int32_t isEncrypted) {
    std::wstring storedName;
    if (isEncrypted) {
        if (readStoredName(path, &storedName) != 0) return 1;
    } else {
        storedName = codec::baseNameOf(path);
    }
    const std::wstring workingCopy = tempFolder() + storedName;
    if (!plat::fileInfo(workingCopy, nullptr)) return 0;
    reportError(L"a working copy '%ls' is already in the folder TEMP: it may hold changes that "
                L"were not encrypted again, or another instance may be editing it. Move it away "
                L"or delete it, then open '%ls' again",
                shownPath(workingCopy).c_str(), path);
    return 1;
}

// Step 3: the plaintext is encrypted beside itself and erased. *encrypted
// takes the encrypted copy; *unerased the reason when the erasure failed.
int encryptDropped(const wchar_t* path, std::wstring* encrypted, std::wstring* unerased) {
    const wchar_t* suffix = std::wcsstr(path, codec::kEncryptedSuffix);
    if (suffix && suffix[std::wcslen(codec::kEncryptedSuffix)] == L'\0') {
        reportError(L"file '%ls' looks from its name as if it is encrypted but it was not "
                    L"encrypted with the key currently in drive %ls",
                    path, keyDriveRoot);
        return 1;
    }
    const wchar_t* folder = directoryOf(path);
    if (!folder) return 1;
    const wchar_t* result = nullptr;
    EncryptChecks checks;
    if (encryptFile(folder, path, nullptr, &result, &checks) != 0) return 1;
    *encrypted = result;
    int32_t isEncrypted = 0, isArchive = 0;
    if (probeFile(encrypted->c_str(), &isEncrypted, &isArchive) != 0) return 1;
    // Only the version that was encrypted is erased. The command goes on
    // when the erasure fails; the user is told at the end.
    if (eraseFile(eraseOrderFor(path, checks.read, EraseRole::Plaintext, *encrypted)) != 0)
        *unerased = lastErrorText;
    return 0;
}

// No application took the file and the user chose to have it back as a
// plaintext beside the dropped file.
int decryptBeside(const wchar_t* path, const std::wstring& encrypted) {
    int32_t isEncrypted = 0, isArchive = 0;
    if (probeFile(encrypted.c_str(), &isEncrypted, &isArchive) != 0) return 1;
    const wchar_t* folder = directoryOf(path);
    if (!folder) return 1;
    const wchar_t* written = nullptr;
    if (decryptFile(encrypted.c_str(), folder, &written) != 0) return 1;
    if (encrypted != written) plat::deleteFile(encrypted);
    return 0;
}

// openAndWait failed: no application received the working copy (it failed
// before or at the launch), so the copy is deleted, as after an editing
// without changes. Left in TEMP it would keep a plaintext there and stop
// every later open of the file.
int handleOpenFailure(const wchar_t* path, int32_t isEncrypted, const std::wstring& encrypted,
                      const std::wstring& workingCopy) {
    const uint32_t code = plat::lastSystemError();
    logMessage(L"openAndWait: %ls", lastErrorText);
    plat::deleteFile(workingCopy);
    if (environmentHas(L"VKLIB_OPENER")) return 0;
    if (code != plat::kNoAssociationError) return 1;
    const wchar_t* question =
        isEncrypted ? formatText(L"There is no application to open\n%ls.\n\nDo you want to "
                                 L"decrypt it?\n\n",
                                 path)
                    : formatText(L"There is no application to open\n%ls.\n\nDo you want to "
                                 L"encrypt it?\n\nAfter encryption, you can drop\n%ls "
                                 L"(encrypted)\nonto the icon to decrypt it again.\n",
                                 path, path);
    bool yes = plat::messageBox(plat::BoxKind::Question, caption, question);
    // Yes decrypts an encrypted file; for a plaintext, Yes keeps it encrypted.
    bool decrypt = isEncrypted ? yes : !yes;
    return decrypt ? decryptBeside(path, encrypted) : 0;
}

int openFile(const wchar_t* path, std::wstring* unerased) {
    int32_t isEncrypted = 0, isArchive = 0;
    if (probeFile(path, &isEncrypted, &isArchive) != 0) return 1;
    if (isArchive) {
        logMessage(L"file '%ls' is an archive'", path);
        if (exportWorkspacePassword() != 0) return 1;
        return openWorkspaceArchive(path) != 0 ? 1 : 0;
    }
    if (checkWorkingCopyFree(path, isEncrypted) != 0) return 1;

    std::wstring encrypted = path;
    if (!isEncrypted && encryptDropped(path, &encrypted, unerased) != 0) return 1;

    const std::wstring folder = tempFolder();
    const wchar_t* written = nullptr;
    plat::ownerOnlyFiles(true);
    // The encrypted file as it was read: the edit replaces only that.
    DecryptChecks opened;
    int decrypted = decryptFile(encrypted.c_str(), folder.c_str(), &written, &opened);
    plat::ownerOnlyFiles(false);
    if (decrypted != 0) return 1;
    const std::wstring workingCopy = written;

    uint8_t before[kDigestBytes];
    if (digestFile(workingCopy.c_str(), nullptr, before) != 0) return 1;
    if (openAndWait(workingCopy.c_str()) != 0)
        return handleOpenFailure(path, isEncrypted, encrypted, workingCopy);

    uint8_t after[kDigestBytes];
    if (digestFile(workingCopy.c_str(), nullptr, after) != 0) return 1;
    if (std::memcmp(before, after, kDigestBytes) == 0) {
        logMessage(L"file %ls was unchanged by editor, no need to re-encrypt", workingCopy.c_str());
    } else {
        const wchar_t* target = nullptr;
        const wchar_t* prefix = directoryOf(path);
        // The encrypted copy is replaced under its own name: the dropped
        // name, or the name that step 3 gave it (the same as the default);
        // only while it is the very file that was decrypted, else the edit
        // is encrypted beside it.
        EncryptChecks checks;
        checks.replaces = &opened.read;
        if (!prefix || encryptFile(prefix, workingCopy.c_str(), encrypted.c_str(), &target, &checks) != 0) {
            std::wstring cause = lastErrorText;
            reportError(L"%ls\n\nYour changes were not encrypted; the edited file is kept as '%ls'.",
                        cause.c_str(), shownPath(workingCopy).c_str());
            return 1;
        }
        if (checks.keptBeside) {
            plat::deleteFile(workingCopy);
            reportError(L"'%ls' was replaced by another file while you were editing it, so it was not "
                        L"written over: that file is kept as it is, and your changes were encrypted as "
                        L"'%ls'.",
                        encrypted.c_str(), target);
            return 1;
        }
    }
    plat::deleteFile(workingCopy);
    return 0;
}

}  // namespace

int openCommand(const wchar_t* path) {
    if (path[0] == L'\0') return showKeyInformation();
    std::wstring unerased;
    int result = openFile(path, &unerased);
    if (!unerased.empty()) {
        // The user must learn where the plaintext was left.
        std::wstring warning = formatWide(
            L"'%ls' was encrypted, but the plaintext could not be erased and may still be on the "
            L"disk:\n\n%ls",
            path, unerased.c_str());
        logMessage(L"%ls", warning.c_str());
        if (!environmentHas(L"VKLIB_OPENER"))
            plat::messageBox(plat::BoxKind::Warning, caption, warning);
    }
    return result;
}
