// The walk over a dropped file or folder, and the per-file actions of the
// decrypt and encrypt commands and of the workspace removal.
//
// A folder's entries are visited depth first in the order the system lists
// them; each folder is handed to the action after everything inside it, so
// the dropped folder comes last. Links (symbolic links, junctions) are never
// followed: the walk stays inside the dropped folder.

#include "app/dirtree.h"

#include <cwchar>
#include <string>

#include "app/util.h"
#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "codec/expunge.h"
#include "diag/error.h"
#include "diag/log.h"
#include "platform/platform.h"

namespace {

const wchar_t kEncryptedSuffix[] = L" (encrypted)";
constexpr std::size_t kEncryptedSuffixLength = 12;

bool isSeparator(wchar_t c) {
    return c == plat::kSep || c == L'/';
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

}  // namespace

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
        reportError(L"FindFirstFile on %ls failed with %ls", path, systemErrorText());
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

    if (!info.isDirectory) {
        if (fileCount) *fileCount = 1;
        if (byteTotal) *byteTotal = info.size;
        return action ? action(context, path, 0) : 0;
    }

    if (top.empty() || !isSeparator(top.back())) top += plat::kSep;
    if (!fitsPathBuffer(top)) return 1;
    uint64_t files = 0;
    uint64_t bytes = 0;
    if (walkFolder(top.c_str(), action, context, &files, &bytes) != 0) return 1;
    if (fileCount) *fileCount = files;
    if (byteTotal) *byteTotal = bytes;
    return 0;
}

int walkFolder(const wchar_t* folderPath, WalkAction action, WalkContext* context,
               uint64_t* fileCount, uint64_t* byteTotal) {
    std::wstring folder = folderPath;
    if (folder.empty() || !isSeparator(folder.back())) folder += plat::kSep;
    if (!fitsPathBuffer(folder)) return 1;

    plat::DirEntry entry;
    plat::DirHandle listing = plat::findFirst(folder, &entry);
    if (!listing) {
        reportError(L"FindFirstFile on %ls failed with %ls", folder.c_str(), systemErrorText());
        return 1;
    }

    for (;;) {
        if (entry.name != L"." && entry.name != L"..") {
            std::wstring entryPath = folder + entry.name;
            if (entry.isLink) {
                logMessage(L"skipping '%ls' because it is a link: links are not followed",
                           entryPath.c_str());
            } else if (entry.isSpecial) {
                logMessage(L"skipping '%ls' because it is not a file or folder", entryPath.c_str());
            } else if (entry.isDirectory) {
                entryPath += plat::kSep;
                if (!fitsPathBuffer(entryPath) ||
                    walkFolder(entryPath.c_str(), action, context, fileCount, byteTotal) != 0) {
                    plat::findClose(listing);
                    return 1;
                }
            } else {
                if (!fitsPathBuffer(entryPath) ||
                    (action && action(context, entryPath.c_str(), 0) != 0)) {
                    plat::findClose(listing);
                    return 1;
                }
                if (fileCount) *fileCount += 1;
                if (byteTotal) *byteTotal += entry.size;
            }
        }

        int more = plat::findNext(listing, &entry);
        if (more == 1) continue;
        if (more == 0) {
            plat::findClose(listing);
            if (action && action(context, folder.c_str(), -1) != 0) return 1;
            return 0;
        }
        reportError(L"FindNextFile on %ls failed with %ls", folder.c_str(), systemErrorText());
        plat::findClose(listing);
        return 1;
    }
}

int decryptAction(WalkContext* /*context*/, const wchar_t* path, int kind) {
    const bool opener = environmentHas(L"VKLIB_OPENER");
    if (kind != 0) return 0;

    int32_t isEncrypted = 0;
    int32_t isArchive = 0;
    if (probeFile(path, &isEncrypted, &isArchive) != 0) return 1;
    if (!isEncrypted) return 0;

    const wchar_t* folder = directoryOf(path);
    if (!folder) return 1;
    const wchar_t* written = nullptr;
    if (decryptFile(path, folder, &written) != 0) return 1;
    const std::wstring out = written;

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

    const wchar_t* folder = directoryOf(path);
    if (!folder) return 1;
    const wchar_t* written = nullptr;
    if (encryptFile(folder, path, nullptr, &written) != 0) return 1;
    const std::wstring out = written;

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
