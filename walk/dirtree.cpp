// The walk over a dropped file or folder, and the per-file actions of the
// decrypt and encrypt commands and of the workspace removal.
//
// A folder's entries are visited depth first in the order the system lists
// them; each folder is handed to the action after everything inside it, so
// the dropped folder comes last. Links (symbolic links, junctions) are never
// followed: the walk stays inside the dropped folder. A folder's listing is
// read whole before any of its entries is acted on, so that the files the
// actions write and rename into it are not visited.
//
// The walk holds every folder it is in open and lists it through that
// handle. Just before an entry is acted on, it is asked again through the
// folder: an entry that is no longer what was listed (a link or another
// folder put in its place) is left alone and named, and a folder whose path
// no longer leads to the held folder is left. Each file is acted on under
// a guard keyed on its identity, so that two instances never work on one
// file at once, whatever path each was given.
//
// The key drive's own files are never handed to an action. Entries left
// alone (links, pipes and devices, the key drive's files, entries that
// changed, files another instance works on) are logged and collected for
// the closing box.

#include "walk/dirtree.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "codec/expunge.h"
#include "codec/format.h"
#include "codec/pending.h"
#include "diag/error.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/testpause.h"
#include "drive/util.h"
#include "key/key.h"
#include "platform/platform.h"
#include "walk/drivefiles.h"
#include "walk/folderbatch.h"

namespace {

using codec::kEncryptedSuffix;
constexpr std::size_t kEncryptedSuffixLength = 12;

bool isSeparator(wchar_t c) {
    return c == plat::kSep || c == L'/';
}

// The walk in progress: how deep walkFolder is, the key drive's files,
// what was left alone, and the file an action now runs on.
int depth = 0;
DriveFiles drive;
std::vector<std::wstring> skipped;
// The drive's key number, when the closing box names files not encrypted with it.
std::wstring skippedKeyNumber;
bool fileKnown = false;
plat::FileId currentFile;

const wchar_t kLinkReason[] = L"it is a link: links are not followed";
const wchar_t kSpecialReason[] = L"it is not a file or folder";
const wchar_t kDriveReason[] = L"it is one of the key drive's own files";
const wchar_t kChangedReason[] = L"it changed since the folder was listed (another file, folder or link "
                                 L"was put in its place)";
const wchar_t kMovedReason[] = L"the folder was moved or replaced while it was being walked";
const wchar_t kBusyReason[] = L"another instance of the program is working on it";
// The closing box names this many entries; the log names them all.
constexpr std::size_t kSkippedShown = 10;

void beginWalk() {
    if (depth > 0) return;
    skipped.clear();
    skippedKeyNumber.clear();
    loadDriveFiles(&drive);
}

void leaveAlone(const std::wstring& path, const wchar_t* reason) {
    logMessage(L"skipping '%ls' because %ls", path.c_str(), reason);
    skipped.push_back(L"'" + path + L"': " + reason);
}

}  // namespace

// A file that Decrypt leaves alone because it holds nothing encrypted with
// this drive's key: a plaintext, a file of another key (a partner drive made
// with make instead of split), or a Secure Workspace. Dropped alone, nothing
// happened, and the user must not take that for a decryption: it fails,
// naming the key. Inside a folder it is named in the closing box.
int leftUndecrypted(const wchar_t* path, bool isArchive) {
    if (isArchive) {
        const wchar_t* reason = L"it is a Secure Workspace: drop it on Open to work with its files";
        if (depth > 0) {
            leaveAlone(path, reason);
            return 0;
        }
        reportError(L"'%ls' was not decrypted: %ls", path, reason);
        return 1;
    }
    const std::wstring key = keyNumberText();
    if (depth > 0) {
        leaveAlone(path, L"it is not encrypted with this drive's key");
        skippedKeyNumber = key;
        return 0;
    }
    reportError(L"'%ls' was not decrypted: it is not encrypted with this drive's key (key number %ls). "
                L"It is a plaintext, or a file encrypted with another key.",
                path, key.c_str());
    return 1;
}

void walkLeaveAlone(const std::wstring& path, const wchar_t* reason) { leaveAlone(path, reason); }

namespace {

// A dropped file that is a copy of the program in the program's folder.
bool isDroppedDriveFile(const std::wstring& path) {
    plat::FileId file, folder;
    const wchar_t* parent = directoryOf(path.c_str());
    return parent && plat::fileIdentity(path, &file) &&
           plat::fileIdentity(parent[0] ? parent : L".", &folder) &&
           isDriveFile(drive, path, file, folder);
}

// Paths handed to actions and to the listing fit kPathSize wide characters
// with their terminator; a longer path is refused, never cut.
bool fitsPathBuffer(const std::wstring& path) {
    if (path.size() < kPathSize) return true;
    reportError(L"the path '%ls' is too long: it has %u characters, at most %u are possible",
                path.c_str(), static_cast<unsigned>(path.size()),
                static_cast<unsigned>(kPathSize - 1));
    return false;
}

// A folder path without its trailing separators, as the system is asked
// about the folder itself (and not through a link at its end).
std::wstring withoutTrailingSeparators(std::wstring path) {
    while (path.size() > 1 && isSeparator(path.back()) && !(path.size() == 3 && path[1] == L':'))
        path.pop_back();
    return path;
}

// The action on the file, with the file as the walk found it and under
// the guard of its identity (unless it is the dropped file, whose guard the
// entry point holds). 1 when the action failed; 2 when another instance
// works on the file.
int actOnFile(WalkAction action, WalkContext* context, const std::wstring& path, const plat::FileId& id,
              bool guarded) {
    plat::GuardHandle guard = nullptr;
    if (!guarded && plat::takeGuard(fileGuardName(id), &guard) != 0) return 2;
    fileKnown = true;
    currentFile = id;
    const int failed = action(context, path.c_str(), 0) != 0;
    fileKnown = false;
    if (guard) plat::releaseGuard(guard);
    return failed;
}

int walkHeld(const std::wstring& folder, plat::FolderHandle handle, const plat::FileId& folderId,
             WalkAction action, WalkContext* context, uint64_t* fileCount, uint64_t* byteTotal);

// One entry of a held folder. 1 when the walk must stop.
int walkEntry(const std::wstring& folder, plat::FolderHandle handle, const plat::FileId& folderId,
              const plat::DirEntry& entry, WalkAction action, WalkContext* context, uint64_t* fileCount,
              uint64_t* byteTotal) {
    std::wstring entryPath = folder + entry.name;
    if (entry.isLink) {
        leaveAlone(entryPath, kLinkReason);
        return 0;
    }
    if (entry.isSpecial) {
        leaveAlone(entryPath, kSpecialReason);
        return 0;
    }
    // What the entry holds now, through the held folder.
    plat::FileId now;
    if (!plat::entryIdentity(handle, entry.name, entryPath, &now) ||
        (entry.id.index == 0 && entry.id.volume == 0)) {
        // Gone since the listing (another instance finished with it,
        // or it was a temporary file): nothing to do.
        logMessage(L"skipping '%ls' because it is gone", entryPath.c_str());
        return 0;
    }
    if (now.kind != entry.id.kind || !plat::sameFileId(now, entry.id)) {
        leaveAlone(entryPath, kChangedReason);
        return 0;
    }
    if (entry.isDirectory ? isDriveFolder(drive, now) : isDriveFile(drive, entryPath, now, folderId)) {
        leaveAlone(entryPath, kDriveReason);
        return 0;
    }
    if (entry.isDirectory) {
        entryPath += plat::kSep;
        if (!fitsPathBuffer(entryPath)) return 1;
        plat::FileId subId;
        plat::FolderHandle sub = plat::openSubfolder(handle, entry.name, entryPath, &subId);
        if (!sub || !plat::sameFileId(subId, entry.id)) {
            plat::closeFolder(sub);
            plat::FileId then;
            if (sub || !plat::entryIdentity(handle, entry.name, entryPath, &then) ||
                then.kind != plat::FileKind::Folder) {
                leaveAlone(entryPath, kChangedReason);
                return 0;
            }
            reportError(L"cannot list the folder '%ls': %ls", entryPath.c_str(), systemErrorText());
            return 1;
        }
        return walkHeld(entryPath, sub, subId, action, context, fileCount, byteTotal);
    }
    if (!fitsPathBuffer(entryPath)) return 1;
    if (action) {
        // An action reaches the file by its path: the path must still lead
        // through the held folder.
        plat::FileId there;
        if (!plat::nameIdentity(withoutTrailingSeparators(folder), &there) ||
            there.kind != plat::FileKind::Folder || !plat::sameFileId(there, folderId))
            return -1;
        // Encrypt and Decrypt take a folder's files a batch at a time.
        const bool batched = (action == encryptAction && !(context && context->keepFileName)) ||
                             (action == decryptAction && !environmentHas(L"VKLIB_OPENER"));
        if (batched) {
            plat::GuardHandle guard = nullptr;
            if (plat::takeGuard(fileGuardName(now), &guard) != 0) {
                leaveAlone(entryPath, kBusyReason);
                return 0;
            }
            if (batchAdd(action == encryptAction ? BatchWork::Encrypt : BatchWork::Decrypt,
                         {entryPath, now, folder, folderId, guard}) != 0)
                return 1;
            if (fileCount) *fileCount += 1;
            if (byteTotal) *byteTotal += entry.size;
            return 0;
        }
        const int acted = actOnFile(action, context, entryPath, now, false);
        if (acted == 1) return 1;
        if (acted == 2) {
            leaveAlone(entryPath, kBusyReason);
            return 0;
        }
    }
    if (fileCount) *fileCount += 1;
    if (byteTotal) *byteTotal += entry.size;
    return 0;
}

// Walks a held folder (folder ends with a separator) and lets go of it
// before its own action, which may remove it.
int walkHeld(const std::wstring& folder, plat::FolderHandle handle, const plat::FileId& folderId,
             WalkAction action, WalkContext* context, uint64_t* fileCount, uint64_t* byteTotal) {
    std::vector<plat::DirEntry> entries;
    const int listed = plat::listFolder(handle, folder, &entries);
    if (listed != 0) {
        reportError(listed == -1 ? L"cannot list the folder '%ls': %ls" : L"cannot list the folder '%ls' to its end: %ls",
                    folder.c_str(), systemErrorText());
        plat::closeFolder(handle);
        return 1;
    }
    testPause(L"listed");
    ++depth;
    int result = 0;
    for (const plat::DirEntry& entry : entries) {
        result = walkEntry(folder, handle, folderId, entry, action, context, fileCount, byteTotal);
        if (result != 0) break;
    }
    --depth;
    plat::closeFolder(handle);
    if (result < 0) {
        leaveAlone(folder, kMovedReason);
        return 0;
    }
    if (result != 0) return 1;
    if (action && action(context, folder.c_str(), -1) != 0) return 1;
    return 0;
}

// Opens a folder to walk it; 1 after reporting.
int openToWalk(const std::wstring& folder, plat::FolderHandle* handle, plat::FileId* id) {
    const std::wstring asked = withoutTrailingSeparators(folder);
    *handle = plat::openFolder(asked, id);
    if (*handle) return 0;
    plat::FileId now;
    if (plat::nameIdentity(asked, &now) && now.kind == plat::FileKind::Link) {
        reportError(L"'%ls' is a link; links are not followed, drop the file or folder itself", folder.c_str());
    } else {
        reportError(L"cannot list the folder '%ls': %ls", folder.c_str(), systemErrorText());
    }
    return 1;
}

// Whether an encrypted file holds exactly the plaintext file.
bool holdsPlaintext(const std::wstring& encrypted, const std::wstring& plain, plat::FileId* plainRead,
                    plat::FileId* encryptedRead) {
    int32_t isEncrypted = 0, isArchive = 0;
    return probeFile(encrypted.c_str(), &isEncrypted, &isArchive) == 0 && isEncrypted &&
           verifyEncryptedCopy(encrypted.c_str(), plain.c_str(), nullptr, plainRead, encryptedRead) == 0;
}

// A dropped path that is gone because this run's recovery finished the
// job an interrupted run of the same command had begun on it: the job is
// done, and the user is told so. True when that is the case.
bool finishedByRecovery(const std::wstring& path, WalkAction action, WalkContext* context);

}  // namespace

const plat::FileId* walkedFile() { return fileKnown ? &currentFile : nullptr; }

std::wstring fileGuardName(const plat::FileId& id) {
    // The creation time belongs to the key: a file erased while another run
    // still holds its guard frees its file number for a new, unrelated file,
    // which must not be taken for the one being worked on.
    wchar_t text[80];
    std::swprintf(text, 80, L"Global\\velkin-file-%llx-%llx-%llx", static_cast<unsigned long long>(id.volume),
                  static_cast<unsigned long long>(id.index), static_cast<unsigned long long>(id.created));
    return text;
}

std::wstring finishedEncryptionOf(const wchar_t* plain, plat::FileId* plainRead, plat::FileId* encryptedRead) {
    const wchar_t* folder = directoryOf(plain);
    if (!folder) return std::wstring();
    const std::wstring target = std::wstring(folder) + codec::baseNameOf(plain) + kEncryptedSuffix;
    if (!plat::fileInfo(target, nullptr) || !holdsPlaintext(target, plain, plainRead, encryptedRead))
        return std::wstring();
    return target;
}

std::wstring finishedDecryptionOf(const wchar_t* encrypted, plat::FileId* encryptedRead, plat::FileId* plainRead) {
    const wchar_t* folder = directoryOf(encrypted);
    std::wstring storedName;
    if (!folder || readStoredName(encrypted, &storedName) != 0) return std::wstring();
    const std::wstring output = std::wstring(folder) + storedName;
    if (!plat::fileInfo(output, nullptr) || plat::sameFile(output, encrypted) ||
        !holdsPlaintext(encrypted, output, plainRead, encryptedRead))
        return std::wstring();
    return output;
}

std::wstring walkSkippedText() {
    if (skipped.empty()) return std::wstring();
    std::wstring text = L"These were left as they are:";
    for (std::size_t i = 0; i < skipped.size() && i < kSkippedShown; ++i) text += L"\n" + skipped[i];
    if (skipped.size() > kSkippedShown) {
        text += L"\n... and " + std::to_wstring(skipped.size() - kSkippedShown) +
                L" more (the log names them all)";
    }
    if (!skippedKeyNumber.empty()) text += L"\nThis drive's key number is " + skippedKeyNumber + L".";
    return text;
}

int walkTree(const wchar_t* path, WalkAction action, WalkContext* context,
             uint64_t* fileCount, uint64_t* byteTotal) {
    std::wstring top = path;
    if (!fitsPathBuffer(top)) return 1;

    // Asked without trailing separators, so that a link to a folder is seen
    // as the link it is rather than as the folder it points to.
    const std::wstring asked = withoutTrailingSeparators(top);
    plat::FileId id;
    if (!plat::nameIdentity(asked, &id)) {
        if (finishedByRecovery(asked, action, context)) return 0;
        reportError(L"cannot find '%ls': %ls", path, systemErrorText());
        return 1;
    }
    // A dropped link is refused: acting on it would act on whatever it
    // points to, which may lie anywhere.
    if (id.kind == plat::FileKind::Link) {
        reportError(L"'%ls' is a link; links are not followed, drop the file or folder itself",
                    path);
        return 1;
    }

    // A pipe, socket or device has no content to protect, and reading a pipe
    // would wait for a writer that may never come.
    if (id.kind == plat::FileKind::Special) {
        reportError(L"'%ls' is not a file or folder that can be protected", path);
        return 1;
    }

    beginWalk();
    if (liesOnDriveFiles(drive, asked) || (id.kind == plat::FileKind::File && isDroppedDriveFile(asked))) {
        reportError(L"'%ls' is one of the key drive's own files; they are never encrypted, "
                    L"decrypted or erased",
                    path);
        return 1;
    }

    if (id.kind == plat::FileKind::File) {
        if (fileCount) *fileCount = 1;
        if (byteTotal) *byteTotal = id.size;
        // The entry point's guard is keyed on this file already.
        return action ? actOnFile(action, context, path, id, true) : 0;
    }

    if (top.empty() || !isSeparator(top.back())) top += plat::kSep;
    if (!fitsPathBuffer(top)) return 1;
    plat::FolderHandle handle = nullptr;
    plat::FileId held;
    if (openToWalk(top, &handle, &held) != 0) return 1;
    if (!plat::sameFileId(held, id)) {
        plat::closeFolder(handle);
        reportError(L"'%ls' changed while it was being opened (another folder or a link was put in its "
                    L"place); nothing was done",
                    path);
        return 1;
    }
    uint64_t files = 0;
    uint64_t bytes = 0;
    ++depth;
    int failed = walkHeld(top, handle, held, action, context, &files, &bytes);
    // What the batch still holds was found before whatever stopped the walk.
    if (batchRun() != 0) failed = 1;
    --depth;
    if (failed) return 1;
    if (fileCount) *fileCount = files;
    if (byteTotal) *byteTotal = bytes;
    return 0;
}

int walkFolder(const wchar_t* folderPath, WalkAction action, WalkContext* context,
               uint64_t* fileCount, uint64_t* byteTotal) {
    std::wstring folder = folderPath;
    if (folder.empty() || !isSeparator(folder.back())) folder += plat::kSep;
    if (!fitsPathBuffer(folder)) return 1;

    beginWalk();
    plat::FolderHandle handle = nullptr;
    plat::FileId held;
    if (openToWalk(folder, &handle, &held) != 0) return 1;
    ++depth;
    int result = walkHeld(folder, handle, held, action, context, fileCount, byteTotal);
    if (batchRun() != 0) result = 1;
    --depth;
    return result;
}

namespace {

bool finishedByRecovery(const std::wstring& path, WalkAction action, WalkContext* context) {
    const bool encrypting = action == encryptAction;
    if (!encrypting && action != decryptAction) return false;
    const std::wstring full = plat::absolutePath(path);
    for (const RecoveredErase& done : recoveredErases()) {
        if (done.original != full ||
            done.kind != (encrypting ? PendingKind::ErasePlaintext : PendingKind::EraseEncrypted))
            continue;
        std::wstring result = done.counterpart;
        // Started from the workspace file manager: the encrypted file takes
        // its plaintext's name, as the interrupted run would have done.
        const std::wstring suffix = kEncryptedSuffix;
        if (encrypting && context && context->keepFileName && result.size() > suffix.size() &&
            result.compare(result.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            plat::moveNoReplace(result, full)) {
            result = full;
        }
        const std::wstring text =
            encrypting ? formatWide(L"'%ls' is encrypted already, as '%ls': an earlier run that was "
                                    L"interrupted had encrypted it, and its plaintext has now been erased.",
                                    path.c_str(), result.c_str())
                       : formatWide(L"'%ls' is decrypted already, as '%ls': an earlier run that was "
                                    L"interrupted had decrypted it, and the encrypted file has now been "
                                    L"erased.",
                                    path.c_str(), result.c_str());
        logMessage(L"%ls", text.c_str());
        if (!environmentHas(L"VKLIB_OPENER")) plat::messageBox(plat::BoxKind::Information, caption, text);
        return true;
    }
    return false;
}

}  // namespace

int decryptAction(WalkContext* /*context*/, const wchar_t* path, int kind) {
    const bool opener = environmentHas(L"VKLIB_OPENER");
    if (kind != 0) return 0;

    int32_t isEncrypted = 0;
    int32_t isArchive = 0;
    if (probeFile(path, &isEncrypted, &isArchive) != 0) return 1;
    if (!isEncrypted) return leftUndecrypted(path, isArchive != 0);

    plat::FileId read;
    std::wstring out = finishedDecryptionOf(path, &read);
    if (!out.empty()) {
        logMessage(L"'%ls' holds the plaintext of '%ls' already: only the erasing is left", out.c_str(),
                   path);
    } else {
        // An encrypted file that is erased afterwards must be erasable (one
        // name, no link, writable) before anything is written for it; one
        // whose plaintext takes its own name is not erased.
        std::wstring storedName;
        const wchar_t* folder = directoryOf(path);
        if (!opener && folder && readStoredName(path, &storedName) == 0 &&
            !plat::sameFile(std::wstring(folder) + storedName, path) && checkExpungeable(path) != 0)
            return 1;
        folder = directoryOf(path);
        const wchar_t* written = nullptr;
        DecryptChecks checks;
        checks.source = walkedFile();
        if (!folder || decryptFile(path, folder, &written, &checks) != 0) return 1;
        out = written;
        read = checks.read;
    }
    testPause(L"decrypted");

    // The plaintext has already replaced the encrypted file: both names
    // now name one file, however they are spelt (letter case, a short
    // name, a trailing dot).
    if (out == path || plat::sameFile(out, path)) return 0;

    if (!opener) return eraseFile(eraseOrderFor(path, read, EraseRole::Encrypted, out)) != 0 ? 1 : 0;

    // Started from the workspace file manager: the plaintext takes over the
    // encrypted file's name, only while that name holds the version read.
    plat::FileId now;
    if (!plat::nameIdentity(path, &now) || !plat::sameVersion(now, read)) {
        reportError(L"'%ls' changed after it was read for decryption (a new version was saved under "
                    L"its name); it was kept, and its plaintext was left as '%ls'",
                    path, out.c_str());
        return 1;
    }
    if (!plat::moveReplace(out, path)) {
        reportError(L"Cannot move %ls to %ls: %ls", out.c_str(), path, systemErrorText());
        return 1;
    }
    return 0;
}

int encryptAction(WalkContext* context, const wchar_t* path, int kind) {
    if (kind != 0) return 0;

    int32_t isEncrypted = 0;
    int32_t isArchive = 0;
    if (probeFile(path, &isEncrypted, &isArchive) != 0) return 1;
    if (isEncrypted) return 0;

    // No key is spent on a plaintext that could not be erased afterwards
    // (a link, a file with other names, one that cannot be written).
    if (checkExpungeable(path) != 0) return 1;

    plat::FileId read;
    std::wstring out = finishedEncryptionOf(path, &read);
    if (!out.empty()) {
        logMessage(L"'%ls' holds '%ls' encrypted already: only the erasing is left", out.c_str(), path);
    } else {
        const wchar_t* folder = directoryOf(path);
        const wchar_t* written = nullptr;
        EncryptChecks checks;
        checks.source = walkedFile();
        if (!folder || encryptFile(folder, path, nullptr, &written, &checks) != 0) return 1;
        out = written;
        read = checks.read;
    }
    testPause(L"encrypted");

    // Only the very version that was encrypted is erased.
    if (eraseFile(eraseOrderFor(path, read, EraseRole::Plaintext, out)) != 0) return 1;

    if (!context || !context->keepFileName) return 0;
    if (out.size() <= kEncryptedSuffixLength ||
        out.compare(out.size() - kEncryptedSuffixLength, kEncryptedSuffixLength,
                    kEncryptedSuffix) != 0) {
        return 0;
    }
    // The plaintext's name was just erased: whatever stands there now is
    // not replaced.
    const std::wstring plainName = out.substr(0, out.size() - kEncryptedSuffixLength);
    if (!plat::moveNoReplace(out, plainName)) {
        reportError(L"Cannot move %ls to %ls: %ls", out.c_str(), plainName.c_str(),
                    systemErrorText());
        return 1;
    }
    return 0;
}

int removeAction(WalkContext* /*context*/, const wchar_t* path, int kind) {
    if (kind != 0) {
        if (!plat::removeDirectory(path)) {
            reportError(L"Cannot remove directory  %lss: %ls", path, systemErrorText());
            return 1;
        }
        return 0;
    }
    if (!plat::deleteFile(path)) {
        reportError(L"Cannot remove file  %lss: %ls", path, systemErrorText());
        return 1;
    }
    return 0;
}
