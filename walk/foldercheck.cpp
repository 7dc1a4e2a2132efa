// Checking a dropped folder as a whole, through a walk with checking
// actions that change nothing.

#include "walk/foldercheck.h"

#include <algorithm>
#include <set>
#include <string>

#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "codec/expunge.h"
#include "codec/format.h"
#include "diag/error.h"
#include "drive/util.h"
#include "key/key.h"
#include "platform/platform.h"

namespace {

// What the files of one walk need together.
struct Needs {
    bool reachedFiles = false;   // the walk got past the dropped folder itself
    uint64_t keyBlocks = 0;
    uint64_t largest = 0;   // the largest single output
    uint64_t growth = 0;    // what the outputs add to the volume over their sources
    std::set<std::wstring> outputs;
    std::set<std::wstring> writableFolders;
};
Needs needs;

// Files are renamed and created in their folder.
int checkFolderWritable(const wchar_t* path) {
    const wchar_t* folder = directoryOf(path);
    if (!folder) return 1;
    const std::wstring name = folder;
    if (needs.writableFolders.count(name)) return 0;
    if (!plat::folderWritable(name.empty() ? L"." : name)) {
        reportError(L"cannot write into the folder of '%ls': %ls", path, systemErrorText());
        return 1;
    }
    needs.writableFolders.insert(name);
    return 0;
}

// Two files of the walk must not write the same output.
int checkDistinct(const wchar_t* path, const std::wstring& output) {
    if (needs.outputs.insert(output).second) return 0;
    reportError(L"'%ls' would be written by two files of the folder, '%ls' among them", output.c_str(),
                path);
    return 1;
}

int checkEncryptAction(WalkContext* /*context*/, const wchar_t* path, int kind) {
    needs.reachedFiles = true;
    if (kind != 0) return 0;
    int32_t isEncrypted = 0, isArchive = 0;
    if (probeFile(path, &isEncrypted, &isArchive) != 0) return 1;
    if (isEncrypted) return 0;
    if (checkExpungeable(path) != 0) return 1;
    if (!finishedEncryptionOf(path).empty()) return checkFolderWritable(path);
    const wchar_t* folder = directoryOf(path);
    if (!folder) return 1;
    EncryptionNeeds file;
    if (checkEncryption(folder, path, nullptr, &file, walkedFile()) != 0) return 1;
    if (checkDistinct(path, file.target) != 0 || checkFolderWritable(path) != 0) return 1;
    needs.keyBlocks += file.keyBlocks;
    needs.largest = std::max(needs.largest, file.largestSize);
    needs.growth += file.largestSize - file.plainLength;
    return 0;
}

int checkDecryptAction(WalkContext* /*context*/, const wchar_t* path, int kind) {
    needs.reachedFiles = true;
    if (kind != 0) return 0;
    int32_t isEncrypted = 0, isArchive = 0;
    if (probeFile(path, &isEncrypted, &isArchive) != 0) return 1;
    if (!isEncrypted) return 0;
    const wchar_t* folder = directoryOf(path);
    if (!folder) return 1;
    DecryptionNeeds file;
    const std::wstring finished = finishedDecryptionOf(path);
    if (!finished.empty()) {
        file.output = finished;
    } else if (checkDecryption(path, folder, &file) != 0) {
        return 1;
    }
    // The encrypted file is erased afterwards, or (started from the
    // workspace file manager) replaced by its plaintext.
    if (!environmentHas(L"VKLIB_OPENER") && !file.replacesSource && checkExpungeable(path) != 0)
        return 1;
    if (checkDistinct(path, file.output) != 0 || checkFolderWritable(path) != 0) return 1;
    // Each plaintext is shorter than its encrypted file, which goes once
    // the plaintext is written: the largest one is what must fit.
    needs.largest = std::max(needs.largest, file.plainLength);
    return 0;
}

int checkRoomFor(const wchar_t* path, uint64_t need) {
    uint64_t freeBytes = 0;
    bool isFat = false;
    if (!plat::volumeSpace(path, &freeBytes, &isFat) || need <= freeBytes) return 0;
    reportError(L"%llu bytes are required on the volume of '%ls' but only %llu bytes are free",
                static_cast<unsigned long long>(need), path, static_cast<unsigned long long>(freeBytes));
    return 1;
}

// Runs the checking walk; on a problem, says that nothing was changed.
int checkFolder(const wchar_t* path, WalkAction check, WalkContext* context, bool encrypting,
                uint64_t extraKeyBlocks) {
    needs = Needs();
    int failed = walkTree(path, check, context, nullptr, nullptr);
    // A folder refused as a whole (missing, a link, the key drive's own)
    // keeps the walk's own message.
    if (failed && !needs.reachedFiles) return 1;
    needs.keyBlocks += extraKeyBlocks;
    if (!failed && encrypting && needs.keyBlocks > 0)
        failed = openKeyStore() != 0 || checkKeyAvailable(needs.keyBlocks) != 0;
    if (!failed) failed = checkRoomFor(path, encrypting ? needs.largest + needs.growth : needs.largest);
    if (failed) {
        const std::wstring problem = lastErrorText;
        reportError(L"%ls; nothing in '%ls' was changed", problem.c_str(), path);
    }
    needs = Needs();
    return failed ? 1 : 0;
}

}  // namespace

int checkFolderForEncrypt(const wchar_t* path, WalkContext* context, uint64_t extraKeyBlocks) {
    return checkFolder(path, checkEncryptAction, context, true, extraKeyBlocks);
}

int checkFolderForDecrypt(const wchar_t* path, WalkContext* context) {
    return checkFolder(path, checkDecryptAction, context, false, 0);
}
