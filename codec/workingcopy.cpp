// The open command's working copy in the journal of work in progress (see
// workingcopy.h). A record: paths[0] the working copy, paths[1] the
// encrypted file it was decrypted from.
#include "codec/workingcopy.h"

#include <cstdint>
#include <cwchar>

#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "codec/expunge.h"
#include "codec/format.h"
#include "diag/error.h"
#include "diag/format.h"
#include "diag/log.h"
#include "drive/layout.h"
#include "drive/util.h"
#include "platform/platform.h"

namespace {

// The key drive's TEMP folder, absolute, with its separator.
std::wstring tempFolder() {
    std::wstring folder = plat::absolutePath(kTempFolder);
    if (folder.empty() || folder.back() != plat::kSep) folder += plat::kSep;
    return folder;
}

bool isPlainFile(const std::wstring& path) {
    plat::FileInfo info;
    return plat::fileInfo(path, &info) && !info.isDirectory && !info.isLink && !info.isSpecial;
}

// Whether the working copy holds exactly the plaintext of the encrypted file.
bool holdsTheEncryptedFile(const std::wstring& workingCopy, const std::wstring& encrypted) {
    if (!isPlainFile(encrypted)) return false;
    int32_t isEncrypted = 0, isArchive = 0;
    if (probeFile(encrypted.c_str(), &isEncrypted, &isArchive) != 0 || !isEncrypted) return false;
    return verifyEncryptedCopy(encrypted.c_str(), workingCopy.c_str()) == 0;
}

// "<stem> (recovered)<.ext>", numbered from the second on. A leading period
// starts no extension.
std::wstring recoveredName(const std::wstring& name, int number) {
    std::size_t dot = name.rfind(L'.');
    if (dot == 0 || dot == std::wstring::npos) dot = name.size();
    const std::wstring tag = number == 1 ? L" (recovered)" : formatWide(L" (recovered %d)", number);
    return name.substr(0, dot) + tag + name.substr(dot);
}

void warn(const std::wstring& text) {
    logMessage(L"%ls", text.c_str());
    plat::messageBox(plat::BoxKind::Warning, caption, text);
}

}  // namespace

int recordWorkingCopy(const std::wstring& workingCopy, const std::wstring& encrypted, uint32_t* ticket) {
    PendingRecord record;
    record.kind = PendingKind::WorkingCopy;
    record.paths = {plat::absolutePath(workingCopy), plat::absolutePath(encrypted)};
    return beginPending(record, ticket);
}

int eraseWorkingCopy(const std::wstring& workingCopy, uint32_t ticket) {
    if (plat::fileInfo(workingCopy, nullptr) && expungeFile(workingCopy.c_str()) != 0) return 1;
    endPending(ticket);
    return 0;
}

int keepWorkingCopy(const std::wstring& workingCopy, const std::wstring& encrypted, std::wstring* kept) {
    kept->clear();
    if (holdsTheEncryptedFile(workingCopy, encrypted)) return expungeFile(workingCopy.c_str());

    // Beside the encrypted file; in TEMP when its folder is gone (a drive
    // that is not there now), where the user is told to find it.
    std::wstring folder = encrypted.substr(0, encrypted.find_last_of(plat::kSeparators) + 1);
    plat::FileInfo info;
    if (folder.empty() || !plat::fileInfo(folder, &info) || !info.isDirectory) folder = tempFolder();
    const std::wstring temp = tempFolder();
    const std::wstring name = codec::baseNameOf(workingCopy);
    // A copy that an earlier run renamed already keeps its name.
    const bool renamedBefore = name.find(L" (recovered") != std::wstring::npos;
    std::wstring renamed, target;
    for (int number = renamedBefore ? 0 : 1; number < 1000 && renamed.empty(); ++number) {
        const std::wstring candidate = number == 0 ? name : recoveredName(name, number);
        const std::wstring encryptedName = folder + candidate + codec::kEncryptedSuffix;
        if ((number == 0 || !plat::fileInfo(temp + candidate, nullptr)) &&
            !plat::fileInfo(folder + candidate, nullptr) && !plat::fileInfo(encryptedName, nullptr)) {
            renamed = temp + candidate;
            target = encryptedName;
        }
    }
    if (renamed.empty()) {
        reportError(L"no free name for the changes of '%ls' beside '%ls'", workingCopy.c_str(), encrypted.c_str());
        return 1;
    }

    // The copy takes the name it is to keep (its name is stored in the
    // encrypted file) under a record of its own, so that a stop in the
    // middle leaves it in the journal under that name.
    uint32_t ticket = 0;
    if (recordWorkingCopy(renamed, encrypted, &ticket) != 0) return 1;
    if (renamed != workingCopy && !plat::moveNoReplace(workingCopy, renamed)) {
        reportError(L"cannot rename '%ls' to '%ls': %ls", workingCopy.c_str(), renamed.c_str(),
                    systemErrorText());
        endPending(ticket);
        return 1;
    }
    const wchar_t* written = nullptr;
    if (encryptFile(folder.c_str(), renamed.c_str(), target.c_str(), &written) != 0) {
        const std::wstring cause = lastErrorText;
        reportError(L"%ls\n\nThe changes are kept, not encrypted, as '%ls'", cause.c_str(), renamed.c_str());
        return 1;
    }
    *kept = written;
    if (eraseWorkingCopy(renamed, ticket) != 0) return 1;
    return 0;
}

std::wstring workingCopyPath(const PendingRecord& record) {
    if (record.paths.size() != 2) return std::wstring();
    // Only a file of the drive's own TEMP folder is a working copy: the
    // record's folder is not trusted (anyone with the drive can write a
    // record), nor needed (the drive may be mounted elsewhere now).
    const std::wstring name = codec::baseNameOf(record.paths[0]);
    if (name.empty() || name == L"." || name == L"..") return std::wstring();
    return tempFolder() + name;
}

int finishWorkingCopy(const PendingRecord& record) {
    const std::wstring workingCopy = workingCopyPath(record);
    if (workingCopy.empty() || !isPlainFile(workingCopy)) return 0;
    const std::wstring& encrypted = record.paths[1];

    std::wstring kept;
    if (keepWorkingCopy(workingCopy, encrypted, &kept) != 0) {
        warn(formatWide(L"An Open of '%ls' was interrupted. Its working copy '%ls' is still there and "
                        L"could not be dealt with now: %ls",
                        encrypted.c_str(), workingCopy.c_str(), lastErrorText));
        return 1;
    }
    if (kept.empty()) {
        warn(formatWide(L"An Open of '%ls' was interrupted. Its working copy '%ls' held no changes and "
                        L"was erased.",
                        encrypted.c_str(), workingCopy.c_str()));
    } else {
        warn(formatWide(L"An Open of '%ls' was interrupted while '%ls' was being edited. Its changes "
                        L"are kept, encrypted, as '%ls'; '%ls' is as it was.",
                        encrypted.c_str(), workingCopy.c_str(), kept.c_str(), encrypted.c_str()));
    }
    return 0;
}
