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
#include "codec/workingcopy.h"
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
    double usage = 0.0;
    bool backup = false;
    if (openKeyStore() == 0) keyUsage(&usage, &backup);
    const std::wstring used = backup ? std::wstring(L"This is a backup key drive: it decrypts only.")
                                     : formatWide(L"The key is currently %.1f%% used.", usage);
    const wchar_t* number = keyNumberText();
    plat::messageBox(plat::BoxKind::Information, caption,
                     formatText(L"%ls\n\n%ls\n\nThe key number is %ls.\n\nThe program version is %ls.\n\n",
                                L"Drag and drop the file that you want to open onto this icon",
                                used.c_str(), number, versionText));
    return 0;
}

// A working copy of the same name in TEMP may hold the only copy of edits
// that could not be encrypted again, or be another instance's working copy:
// it is never overwritten (nor, when it is the dropped file, erased).
// *workingCopy receives the path the copy is to have.
int checkWorkingCopyFree(const wchar_t* path, int32_t isEncrypted, std::wstring* workingCopy) {
    std::wstring storedName;
    if (isEncrypted) {
        if (readStoredName(path, &storedName) != 0) return 1;
    } else {
        storedName = codec::baseNameOf(path);
    }
    *workingCopy = tempFolder() + storedName;
    if (!plat::fileInfo(*workingCopy, nullptr)) return 0;
    reportError(L"a working copy '%ls' is already in the folder TEMP: it may hold changes that "
                L"were not encrypted again, or another instance may be editing it. Move it away "
                L"or delete it, then open '%ls' again",
                shownPath(*workingCopy).c_str(), path);
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

// One open of an encrypted file: the dropped path, the encrypted copy, the
// working copy in TEMP and its record in the journal.
struct Session {
    const wchar_t* path;
    int32_t isEncrypted;
    std::wstring encrypted;
    std::wstring workingCopy;
    uint32_t ticket;
    // The encrypted file as it was decrypted: the edit replaces only that
    // version.
    plat::FileId read;
    // Where the edit went when the encrypted file was replaced meanwhile.
    std::wstring keptBeside;
};

// Puts a failure's text back after later steps reported their own.
void restoreError(const std::wstring& text) {
    std::wcsncpy(lastErrorText, text.c_str(), kLastErrorTextSize - 1);
    lastErrorText[kLastErrorTextSize - 1] = L'\0';
}

// openAndWait failed before any application received the working copy, so
// the copy is erased, as after an editing without changes. Left in TEMP it
// would keep a plaintext there and stop every later open of the file.
int handleOpenFailure(const Session& s) {
    const uint32_t code = plat::lastSystemError();
    const std::wstring cause = lastErrorText;
    logMessage(L"openAndWait: %ls", cause.c_str());
    if (eraseWorkingCopy(s.workingCopy, s.ticket) != 0) return 1;
    restoreError(cause);
    // Under the file manager no question is asked, but the failure is one:
    // the file manager must not take it for an editing without changes.
    if (environmentHas(L"VKLIB_OPENER")) return 1;
    if (code != plat::kNoAssociationError) return 1;
    const wchar_t* question =
        s.isEncrypted ? formatText(L"There is no application to open\n%ls.\n\nDo you want to "
                                   L"decrypt it?\n\n",
                                   s.path)
                      : formatText(L"There is no application to open\n%ls.\n\nDo you want to "
                                   L"encrypt it?\n\nAfter encryption, you can drop\n%ls "
                                   L"(encrypted)\nonto the icon to decrypt it again.\n",
                                   s.path, s.path);
    bool yes = plat::messageBox(plat::BoxKind::Question, caption, question);
    // Yes decrypts an encrypted file; for a plaintext, Yes keeps it encrypted.
    bool decrypt = s.isEncrypted ? yes : !yes;
    return decrypt ? decryptBeside(s.path, s.encrypted) : 0;
}

// The changes are encrypted again over the encrypted copy, under its own
// name: the dropped name, or the name that step 3 gave it (the same as the
// default); only while it is the very file that was decrypted, else the
// edit is encrypted beside it (s.keptBeside names it).
int encryptChanges(Session& s) {
    const wchar_t* target = nullptr;
    const wchar_t* prefix = directoryOf(s.path);
    EncryptChecks checks;
    checks.replaces = &s.read;
    if (!prefix ||
        encryptFile(prefix, s.workingCopy.c_str(), s.encrypted.c_str(), &target, &checks) != 0) {
        std::wstring cause = lastErrorText;
        double usage = 0;
        bool backup = false;
        if (keyUsage(&usage, &backup) == 0 && backup) {
            // A backup drive never encrypts, on this run or the next: the
            // copy stays named at every run until the user deals with it.
            reportError(L"%ls\n\nYour changes were not encrypted; the edited file is kept as '%ls'. Encrypt "
                        L"it with your key drive, or delete it; until then every run of the program on this "
                        L"drive names it.",
                        cause.c_str(), shownPath(s.workingCopy).c_str());
            return 1;
        }
        reportError(L"%ls\n\nYour changes were not encrypted; the edited file is kept as '%ls'. The "
                    L"program's next run encrypts it beside '%ls' unless you move it away first.",
                    cause.c_str(), shownPath(s.workingCopy).c_str(), s.encrypted.c_str());
        return 1;
    }
    if (checks.keptBeside) s.keptBeside = target;
    return 0;
}

// The edited working copy stays in TEMP, in the journal, with the reason in
// front of what the user is told.
int leaveWorkingCopy(const Session& s, const std::wstring& reason) {
    reportError(L"%ls.\n\nThe working copy '%ls' is left as it is, with its changes; '%ls' was not "
                L"changed. The program's next run keeps those changes, encrypted, beside it, unless you "
                L"move the working copy away first.",
                reason.c_str(), shownPath(s.workingCopy).c_str(), s.encrypted.c_str());
    return 1;
}

// The editor ended badly: its changes may be partial. A copy it did not
// change is erased; a changed one is encrypted only when the user says so,
// and is otherwise left where it is.
int handleEditorFailure(const Session& s, const uint8_t* before, bool* encrypt) {
    *encrypt = false;
    const std::wstring reason = lastErrorText;
    uint8_t after[kDigestBytes];
    if (digestFile(s.workingCopy.c_str(), nullptr, after) != 0) return leaveWorkingCopy(s, reason);
    if (std::memcmp(before, after, kDigestBytes) == 0) {
        if (eraseWorkingCopy(s.workingCopy, s.ticket) != 0) return 1;
        reportError(L"%ls; nothing was changed", reason.c_str());
        return 1;
    }
    if (environmentHas(L"VKLIB_OPENER") || !plat::canAskQuestions()) return leaveWorkingCopy(s, reason);
    const wchar_t* question = formatText(
        L"%ls, so the changes in the working copy may be incomplete.\n\nDo you want to encrypt the "
        L"working copy as it is now over\n%ls?\n\nNo leaves both as they are: the working copy "
        L"stays in TEMP.\n",
        reason.c_str(), s.encrypted.c_str());
    if (plat::askQuestion(caption, question) != plat::Answer::Yes) return leaveWorkingCopy(s, reason);
    *encrypt = true;
    return 0;
}

// The end of the editing could not be told: what the copy holds now is
// kept, encrypted under a name of its own, and the copy is erased.
int handleUnknownEnd(const Session& s) {
    const std::wstring reason = lastErrorText;
    std::wstring kept;
    if (keepWorkingCopy(s.workingCopy, s.encrypted, &kept) != 0) return 1;
    endPending(s.ticket);
    if (kept.empty())
        reportError(L"%ls. The working copy held no changes and was erased.", reason.c_str());
    else
        reportError(L"%ls. What the working copy holds now is kept, encrypted, as '%ls'; '%ls' was not "
                    L"changed. Do not save the file again in its application.",
                    reason.c_str(), kept.c_str(), s.encrypted.c_str());
    return 1;
}

int editWorkingCopy(Session& s) {
    uint8_t before[kDigestBytes];
    if (digestFile(s.workingCopy.c_str(), nullptr, before) != 0) {
        std::wstring cause = lastErrorText;
        eraseWorkingCopy(s.workingCopy, s.ticket);
        restoreError(cause);
        return 1;
    }
    const int waited = openAndWait(s.workingCopy.c_str());
    if (waited == kEndUnknown) return handleUnknownEnd(s);
    bool encrypt = true;
    if (waited == kEditorFailed) {
        if (handleEditorFailure(s, before, &encrypt) != 0) return 1;
    } else if (waited != 0) {
        return handleOpenFailure(s);
    } else {
        uint8_t after[kDigestBytes];
        if (digestFile(s.workingCopy.c_str(), nullptr, after) != 0) return 1;
        if (std::memcmp(before, after, kDigestBytes) == 0) {
            logMessage(L"file %ls was unchanged by editor, no need to re-encrypt", s.workingCopy.c_str());
            encrypt = false;
        }
    }
    if (encrypt && encryptChanges(s) != 0) return 1;
    // The plaintext copy is erased like any plaintext the program leaves.
    if (eraseWorkingCopy(s.workingCopy, s.ticket) != 0) {
        std::wstring cause = lastErrorText;
        reportError(L"%ls\n\nThe working copy '%ls' could not be erased; the program's next run erases it.",
                    cause.c_str(), shownPath(s.workingCopy).c_str());
        return 1;
    }
    if (!s.keptBeside.empty()) {
        reportError(L"'%ls' was replaced by another file while you were editing it, so it was not "
                    L"written over: that file is kept as it is, and your changes were encrypted as "
                    L"'%ls'.",
                    s.encrypted.c_str(), s.keptBeside.c_str());
        return 1;
    }
    return 0;
}

int openFile(const wchar_t* path, std::wstring* unerased) {
    int32_t isEncrypted = 0, isArchive = 0;
    if (probeFile(path, &isEncrypted, &isArchive) != 0) return 1;
    if (isArchive) {
        logMessage(L"file '%ls' is an archive'", path);
        if (exportWorkspacePassword() != 0) return 1;
        return openWorkspaceArchive(path) != 0 ? 1 : 0;
    }
    Session s{path, isEncrypted, path, std::wstring(), 0, plat::FileId(), std::wstring()};
    if (checkWorkingCopyFree(path, isEncrypted, &s.workingCopy) != 0) return 1;
    if (!isEncrypted && encryptDropped(path, &s.encrypted, unerased) != 0) return 1;

    // The copy is in the journal before it exists: a run stopped while it
    // exists leaves it to the next run, never behind unnamed.
    if (recordWorkingCopy(s.workingCopy, s.encrypted, &s.ticket) != 0) return 1;
    const std::wstring folder = tempFolder();
    const wchar_t* written = nullptr;
    plat::ownerOnlyFiles(true);
    // The encrypted file as it was read: the edit replaces only that.
    DecryptChecks opened;
    int decrypted = decryptFile(s.encrypted.c_str(), folder.c_str(), &written, &opened);
    plat::ownerOnlyFiles(false);
    if (decrypted != 0) {
        endPending(s.ticket);
        return 1;
    }
    s.workingCopy = written;
    s.read = opened.read;
    return editWorkingCopy(s);
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
