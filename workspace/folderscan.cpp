#include "workspace/folderscan.h"

#include "diag/error.h"

namespace {

int scanBelow(const std::wstring& folder, const std::wstring& prefix, FolderScan* scan) {
    plat::DirEntry entry;
    plat::DirHandle listing = plat::findFirst(folder + plat::kSep, &entry);
    if (!listing) {
        reportError(L"cannot list the folder '%ls': %ls", folder.c_str(), systemErrorText());
        return 1;
    }
    int more = 1;
    int failed = 0;
    for (; more == 1 && !failed; more = plat::findNext(listing, &entry)) {
        if (entry.name == L"." || entry.name == L"..") continue;
        const std::wstring relative = prefix + entry.name;
        const std::wstring path = folder + plat::kSep + entry.name;
        if (entry.isLink || entry.isSpecial) {
            scan->skipped.push_back(relative);
        } else if (entry.isDirectory) {
            scan->folders.push_back(relative);
            failed = scanBelow(path, relative + plat::kSep, scan);
        } else {
            ScannedFile file;
            file.relative = relative;
            if (!plat::fileIdentity(path, &file.id)) {
                reportError(L"cannot read '%ls': %ls", path.c_str(), systemErrorText());
                failed = 1;
            }
            scan->files.push_back(file);
        }
    }
    if (more < 0 && !failed) {
        reportError(L"cannot list the folder '%ls': %ls", folder.c_str(), systemErrorText());
        failed = 1;
    }
    plat::findClose(listing);
    return failed;
}

}  // namespace

int scanFolderTree(const std::wstring& folder, FolderScan* scan) {
    *scan = FolderScan();
    return scanBelow(folder, std::wstring(), scan);
}

bool removeScannedFile(const std::wstring& path, const ScannedFile& file) {
    return plat::removeExpected(path, file.id, true) == plat::HeldStep::Done;
}
