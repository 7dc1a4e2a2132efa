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
// The key drive's own files are never handed to an action. Entries left
// alone (links, pipes and devices, the key drive's files) are logged and
// collected for the closing box.

#include "walk/dirtree.h"

#include <cwchar>
#include <string>
#include <vector>

#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "codec/expunge.h"
#include "codec/format.h"
#include "diag/error.h"
#include "diag/log.h"
#include "drive/util.h"
#include "key/key.h"
#include "platform/platform.h"
#include "walk/drivefiles.h"

namespace {

using codec::kEncryptedSuffix;
constexpr std::size_t kEncryptedSuffixLength = 12;

bool isSeparator(wchar_t c) {
    return c == plat::kSep || c == L'/';
}

// The walk in progress: how deep walkFolder is, the key drive's files, and
// what was left alone.
int depth = 0;
DriveFiles drive;
std::vector<std::wstring> skipped;
// The drive's key number, when the closing box names files not encrypted with it.
std::wstring skippedKeyNumber;

const wchar_t kLinkReason[] = L"it is a link: links are not followed";
const wchar_t kSpecialReason[] = L"it is not a file or folder";
const wchar_t kDriveReason[] = L"it is one of the key drive's own files";
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

// The listing of a folder, read whole; 1 after reporting.
int listFolder(const std::wstring& folder, std::vector<plat::DirEntry>* entries) {
    plat::DirEntry entry;
    plat::DirHandle listing = plat::findFirst(folder, &entry);
    if (!listing) {
        reportError(L"cannot list the folder '%ls': %ls", folder.c_str(), systemErrorText());
        return 1;
    }
    for (;;) {
        if (entry.name != L"." && entry.name != L"..") entries->push_back(entry);
        int more = plat::findNext(listing, &entry);
        if (more == 1) continue;
        plat::findClose(listing);
        if (more == 0) return 0;
        reportError(L"cannot list the folder '%ls' to its end: %ls", folder.c_str(), systemErrorText());
        return 1;
    }
}

int walkEntries(const std::wstring& folder, WalkAction action, WalkContext* context,
                uint64_t* fileCount, uint64_t* byteTotal) {
    std::vector<plat::DirEntry> entries;
    if (listFolder(folder, &entries) != 0) return 1;
    plat::FileId folderId;
    const bool folderKnown = plat::fileIdentity(folder, &folderId);

    for (const plat::DirEntry& entry : entries) {
        std::wstring entryPath = folder + entry.name;
        if (entry.isLink) {
            leaveAlone(entryPath, kLinkReason);
            continue;
        }
        if (entry.isSpecial) {
            leaveAlone(entryPath, kSpecialReason);
            continue;
        }
        plat::FileId id;
        if (!plat::fileIdentity(entryPath, &id)) {
            // Gone since the listing (another instance finished with it,
            // or it was a temporary file): nothing to do.
            logMessage(L"skipping '%ls' because it is gone", entryPath.c_str());
            continue;
        }
        if (entry.isDirectory ? isDriveFolder(drive, id)
                              : folderKnown && isDriveFile(drive, entryPath, id, folderId)) {
            leaveAlone(entryPath, kDriveReason);
            continue;
        }
        if (entry.isDirectory) {
            entryPath += plat::kSep;
            if (!fitsPathBuffer(entryPath) ||
                walkFolder(entryPath.c_str(), action, context, fileCount, byteTotal) != 0)
                return 1;
            continue;
        }
        if (!fitsPathBuffer(entryPath) || (action && action(context, entryPath.c_str(), 0) != 0))
            return 1;
        if (fileCount) *fileCount += 1;
        if (byteTotal) *byteTotal += entry.size;
    }
    if (action && action(context, folder.c_str(), -1) != 0) return 1;
    return 0;
}

// Whether an encrypted file holds exactly the plaintext file.
bool holdsPlaintext(const std::wstring& encrypted, const std::wstring& plain) {
    int32_t isEncrypted = 0, isArchive = 0;
    return probeFile(encrypted.c_str(), &isEncrypted, &isArchive) == 0 && isEncrypted &&
           verifyEncryptedCopy(encrypted.c_str(), plain.c_str()) == 0;
}

}  // namespace

std::wstring finishedEncryptionOf(const wchar_t* plain) {
    const wchar_t* folder = directoryOf(plain);
    if (!folder) return std::wstring();
    const std::wstring target = std::wstring(folder) + codec::baseNameOf(plain) + kEncryptedSuffix;
    if (!plat::fileInfo(target, nullptr) || !holdsPlaintext(target, plain)) return std::wstring();
    return target;
}

std::wstring finishedDecryptionOf(const wchar_t* encrypted) {
    const wchar_t* folder = directoryOf(encrypted);
    std::wstring storedName;
    if (!folder || readStoredName(encrypted, &storedName) != 0) return std::wstring();
    const std::wstring output = std::wstring(folder) + storedName;
    if (!plat::fileInfo(output, nullptr) || plat::sameFile(output, encrypted) ||
        !holdsPlaintext(encrypted, output))
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
    std::wstring asked = top;
    while (asked.size() > 1 && isSeparator(asked.back()) &&
           !(asked.size() == 3 && asked[1] == L':')) {
        asked.pop_back();
    }
    plat::FileInfo info;
    if (!plat::fileInfo(asked, &info)) {
        reportError(L"cannot find '%ls': %ls", path, systemErrorText());
        return 1;
    }
    // A dropped link is refused: acting on it would act on whatever it
    // points to, which may lie anywhere.
    if (info.isLink) {
        reportError(L"'%ls' is a link; links are not followed, drop the file or folder itself",
                    path);
        return 1;
    }

    // A pipe, socket or device has no content to protect, and reading a pipe
    // would wait for a writer that may never come.
    if (info.isSpecial) {
        reportError(L"'%ls' is not a file or folder that can be protected", path);
        return 1;
    }

    beginWalk();
    if (liesOnDriveFiles(drive, asked) || (!info.isDirectory && isDroppedDriveFile(asked))) {
        reportError(L"'%ls' is one of the key drive's own files; they are never encrypted, "
                    L"decrypted or erased",
                    path);
        return 1;
    }

    if (!info.isDirectory) {
        if (fileCount) *fileCount = 1;
        if (byteTotal) *byteTotal = info.size;
        return action ? action(context, path, 0) : 0;
    }

    if (top.empty() || !isSeparator(top.back())) top += plat::kSep;
    if (!fitsPathBuffer(top)) return 1;
    uint64_t files = 0;
    uint64_t bytes = 0;
    ++depth;
    const int failed = walkFolder(top.c_str(), action, context, &files, &bytes);
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
    ++depth;
    const int result = walkEntries(folder, action, context, fileCount, byteTotal);
    --depth;
    return result;
}

int decryptAction(WalkContext* /*context*/, const wchar_t* path, int kind) {
    const bool opener = environmentHas(L"VKLIB_OPENER");
    if (kind != 0) return 0;

    int32_t isEncrypted = 0;
    int32_t isArchive = 0;
    if (probeFile(path, &isEncrypted, &isArchive) != 0) return 1;
    if (!isEncrypted) return leftUndecrypted(path, isArchive != 0);

    std::wstring out = finishedDecryptionOf(path);
    if (!out.empty()) {
        logMessage(L"'%ls' holds the plaintext of '%ls' already: only the erasing is left", out.c_str(),
                   path);
    } else {
        const wchar_t* folder = directoryOf(path);
        const wchar_t* written = nullptr;
        if (!folder || decryptFile(path, folder, &written) != 0) return 1;
        out = written;
    }

    // The plaintext has already replaced the encrypted file: both names
    // now name one file, however they are spelt (letter case, a short
    // name, a trailing dot).
    if (out == path || plat::sameFile(out, path)) return 0;

    if (!opener) return expungeFile(path) != 0 ? 1 : 0;

    // Started from the workspace file manager: the plaintext takes over the
    // encrypted file's name.
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

    // No key is spent on a plaintext that could not be erased afterwards.
    if (checkExpungeable(path) != 0) return 1;

    std::wstring out = finishedEncryptionOf(path);
    if (!out.empty()) {
        logMessage(L"'%ls' holds '%ls' encrypted already: only the erasing is left", out.c_str(), path);
    } else {
        const wchar_t* folder = directoryOf(path);
        const wchar_t* written = nullptr;
        if (!folder || encryptFile(folder, path, nullptr, &written) != 0) return 1;
        out = written;
    }

    if (expungeFile(path) != 0) return 1;

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
