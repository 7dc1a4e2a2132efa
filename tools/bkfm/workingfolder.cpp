#include "tools/bkfm/workingfolder.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <vector>

#include "codec/format.h"
#include "diag/format.h"
#include "platform/platform.h"
#include "platform/utf8.h"
#include "tools/bkfm/membernames.h"
#include "tools/bkfm/workspacefile.h"
#include "tools/tar/tararchive.h"
#include "workspace/memberheader.h"

namespace bkfm {

namespace {

const char kOriginMagic[] = "VKWSORIGIN1\n";
const wchar_t kPrefix[] = L"workspace-";

std::wstring errnoText() { return plat::stdErrorMessage(errno); }

std::wstring randomHex() {
    uint8_t bytes[4] = {};
    plat::cryptoRandom(bytes, sizeof bytes);
    return formatWide(L"%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3]);
}

std::wstring child(const std::wstring& folder, const wchar_t* name) { return folder + plat::kSep + name; }

// ---------------------------------------------------------------- origin

void putField(std::string* out, const std::string& field) {
    *out += std::to_string(field.size()) + ":" + field + "\n";
}

bool getField(const std::string& in, std::size_t* at, std::string* field) {
    const std::size_t colon = in.find(':', *at);
    if (colon == std::string::npos || colon == *at || colon - *at > 12) return false;
    const std::string digits = in.substr(*at, colon - *at);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::size_t length = std::stoul(digits);
    if (length > in.size() - colon - 1 || in.size() - colon - 1 - length < 1 ||
        in[colon + 1 + length] != '\n')
        return false;
    *field = in.substr(colon + 1, length);
    *at = colon + 2 + length;
    return true;
}

int writeOrigin(const std::wstring& path, const Origin& origin, std::wstring* message) {
    std::string text = kOriginMagic;
    putField(&text, utf8::pathFromWide(origin.archive));
    putField(&text, origin.member);
    putField(&text, std::to_string(origin.size));
    putField(&text, origin.mark);
    putField(&text, origin.thisKey ? "1" : "0");
    FILE* f = plat::createNewFile(path);
    bool written = f && std::fwrite(text.data(), 1, text.size(), f) == text.size() && plat::commitFile(f) == 0;
    if (f && std::fclose(f) != 0) written = false;
    if (!written) *message = formatWide(L"cannot write '%ls': %ls", path.c_str(), errnoText().c_str());
    return written ? 0 : 1;
}

bool readOrigin(const std::wstring& path, Origin* origin) {
    FILE* f = plat::openFile(path, L"rb");
    if (!f) return false;
    std::string text(1 << 16, '\0');
    text.resize(std::fread(&text[0], 1, text.size(), f));
    std::fclose(f);
    if (text.compare(0, std::strlen(kOriginMagic), kOriginMagic) != 0) return false;
    std::size_t at = std::strlen(kOriginMagic);
    std::string archive, size, thisKey;
    if (!getField(text, &at, &archive) || !getField(text, &at, &origin->member) || !getField(text, &at, &size) ||
        !getField(text, &at, &origin->mark) || !getField(text, &at, &thisKey) || size.empty() ||
        size.find_first_not_of("0123456789") != std::string::npos || size.size() > 19)
        return false;
    origin->archive = utf8::pathToWide(archive);
    origin->size = std::stoull(size);
    origin->thisKey = thisKey == "1";
    return !origin->member.empty() && !origin->archive.empty();
}

// ---------------------------------------------------------------- the folder

std::vector<plat::DirEntry> entriesOf(const std::wstring& folder) {
    std::vector<plat::DirEntry> found;
    plat::DirEntry entry;
    plat::DirHandle listing = plat::findFirst(folder + plat::kSep, &entry);
    if (!listing) return found;
    do {
        if (entry.name != L"." && entry.name != L"..") found.push_back(entry);
    } while (plat::findNext(listing, &entry) == 1);
    plat::findClose(listing);
    return found;
}

void letGo(WorkingFolder* folder) {
    if (folder->lock) std::fclose(folder->lock);
    folder->lock = nullptr;
}

// Removes the folder: its copy (encrypted, or the member's own data), its
// records and itself.
void removeFolder(WorkingFolder* folder) {
    const std::wstring files = child(folder->folder, L"file");
    for (const plat::DirEntry& e : entriesOf(files)) plat::deleteFile(files + plat::kSep + e.name);
    plat::removeDirectory(files);
    plat::deleteFile(child(folder->folder, L"origin"));
    // The lock file goes while it is held: another file manager that opens
    // it meanwhile finds the folder gone.
    plat::deleteFile(child(folder->folder, L"lock"));
    letGo(folder);
    plat::deleteFile(child(folder->folder, L"lock"));
    plat::removeDirectory(folder->folder);
}

// ---------------------------------------------------------------- writing back

// A file the program left, and the member it is to become.
struct Result {
    std::wstring path;
    std::string wanted;
    bool replaces = false;   // the changed member itself: it takes the member's place
};

// Writes one result into the workspace: in the member's place when that
// member is still the version that was opened, else under a free name
// beside it. *savedAs gets the member's name.
int writeBack(const Origin& origin, const Result& result, std::string* savedAs, std::wstring* message) {
    plat::FileInfo info;
    if (!plat::fileInfo(result.path, &info)) {
        *message = formatWide(L"'%ls' is gone", result.path.c_str());
        return 1;
    }
    tar::Snapshot now;
    if (tar::readWorkspace(origin.archive, &now, message) != 0) return 1;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string target = freeMemberName(now.members, result.wanted);
        if (result.replaces) {
            for (std::size_t i = 0; i < now.members.size(); ++i) {
                const tar::Member& m = now.members[i];
                if (m.name == result.wanted && m.kind == tar::Kind::File && m.size == origin.size &&
                    now.marks[i] == origin.mark)
                    target = result.wanted;
            }
        }
        tar::Change change;
        tar::Planned planned;
        planned.member.name = target;
        planned.member.kind = tar::Kind::File;
        planned.member.size = info.size;
        int64_t seconds = 0;
        planned.member.modified = plat::modifiedTime(result.path, &seconds) ? seconds : 0;
        planned.sourcePath = result.path;
        change.added.push_back(planned);
        tar::Snapshot after;
        std::wstring why;
        switch (tar::changeWorkspace(origin.archive, now, change, &why, &after)) {
            case tar::ChangeOutcome::Done:
                *savedAs = target;
                return 0;
            case tar::ChangeOutcome::Conflict:
                now = after;   // someone took that name just now: another one
                break;
            case tar::ChangeOutcome::Failed:
                *message = why;
                return 1;
        }
    }
    *message = L"the workspace kept changing meanwhile";
    return 1;
}

std::wstring withoutEncryptedSuffix(const std::wstring& name) {
    const std::wstring suffix = codec::kEncryptedSuffix;
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        return name.substr(0, name.size() - suffix.size());
    return name;
}

// What one result became, in the user's words.
std::wstring savedText(const Origin& origin, const Result& result, const std::string& savedAs) {
    const std::wstring member = shownName(origin.member);
    const std::wstring saved = shownName(savedAs);
    if (result.replaces && savedAs == origin.member)
        return formatWide(L"'%ls' was changed and is saved in the workspace", member.c_str());
    if (result.replaces)
        return formatWide(L"'%ls' was changed (or removed) in the workspace by someone else while it was "
                          L"open; the edited version is saved beside it as '%ls'",
                          member.c_str(), saved.c_str());
    if (!origin.thisKey)
        return formatWide(L"'%ls' is not encrypted with this drive's key and is kept as it was; the edited "
                          L"version is saved, encrypted, as '%ls'",
                          member.c_str(), saved.c_str());
    return formatWide(L"the edits of '%ls' that could not be saved in its place are kept, encrypted, in the "
                      L"workspace as '%ls'",
                      member.c_str(), saved.c_str());
}

void append(std::wstring* text, const std::wstring& more) {
    if (!more.empty()) *text += (text->empty() ? L"" : L"; ") + more;
}

}  // namespace

std::wstring keyDriveTemp(const std::wstring& opener) {
    const std::wstring program = plat::absolutePath(opener);
    return program.substr(0, program.find_last_of(plat::kSeparators) + 1) + L"TEMP";
}

int makeWorkingFolder(const std::wstring& opener, const Origin& origin, WorkingFolder* folder,
                      std::wstring* message) {
    *folder = WorkingFolder();
    const std::wstring temp = keyDriveTemp(opener);
    plat::FileInfo info;
    if (!plat::fileInfo(temp, &info) || !info.isDirectory) {
        *message = formatWide(L"the key drive's folder '%ls' is missing", temp.c_str());
        return 1;
    }
    std::wstring made;
    for (int attempt = 0; attempt < 16 && made.empty(); ++attempt) {
        const std::wstring candidate = temp + plat::kSep + kPrefix + randomHex();
        if (!plat::fileInfo(candidate, nullptr) && plat::createDirectory(candidate)) made = candidate;
    }
    if (made.empty()) {
        *message = formatWide(L"cannot create a working folder in '%ls'", temp.c_str());
        return 1;
    }
    folder->folder = made;
    FILE* lock = plat::createNewFile(child(made, L"lock"));
    if (!lock || plat::lockRange(lock, 0, 1, true, false) != 0) {
        if (lock) std::fclose(lock);
        *message = formatWide(L"cannot lock the working folder '%ls'", made.c_str());
        removeFolder(folder);
        return 1;
    }
    folder->lock = lock;
    if (writeOrigin(child(made, L"origin"), origin, message) != 0 ||
        !plat::createDirectory(child(made, L"file"))) {
        if (message->empty()) *message = formatWide(L"cannot create a working folder in '%ls'", temp.c_str());
        removeFolder(folder);
        return 1;
    }
    folder->file = child(made, L"file") + plat::kSep + tar::relativeDiskPath(lastMemberPart(origin.member));
    return 0;
}

void discardWorkingFolder(WorkingFolder* folder) { removeFolder(folder); }

int collectWorkingFolder(WorkingFolder* folder, const Origin& origin, int code, std::wstring* message) {
    const std::wstring files = child(folder->folder, L"file");
    const std::wstring copyName = tar::relativeDiskPath(lastMemberPart(origin.member));
    std::vector<Result> results;
    std::vector<std::wstring> unknown;
    for (const plat::DirEntry& e : entriesOf(files)) {
        const std::wstring path = files + plat::kSep + e.name;
        if (e.name == copyName && !e.isDirectory && !e.isLink &&
            e.size == origin.size && tar::fileMark(path) == origin.mark)
            continue;   // the copy as it was opened
        // Only what is encrypted with the drive's key goes into the workspace.
        uint64_t length = 0;
        if (e.isDirectory || e.isLink || e.isSpecial || readStoredLength(path, &length) != HeaderFinding::ThisKey) {
            unknown.push_back(path);
            continue;
        }
        Result r;
        r.path = path;
        r.replaces = e.name == copyName;
        r.wanted = r.replaces ? origin.member
                              : memberFolderPart(origin.member) + tar::memberName(withoutEncryptedSuffix(e.name));
        results.push_back(r);
    }

    std::wstring said;
    bool keep = false;   // something is left that a later file manager finishes
    for (const Result& r : results) {
        std::string savedAs;
        std::wstring why;
        if (writeBack(origin, r, &savedAs, &why) != 0) {
            append(&said, formatWide(L"'%ls' could not be written into the workspace '%ls', which is as it was: "
                                     L"%ls. It is kept, encrypted, as '%ls'; the file manager saves it into the "
                                     L"workspace when it is next started",
                                     shownName(origin.member).c_str(), origin.archive.c_str(), why.c_str(),
                                     r.path.c_str()));
            keep = true;
            continue;
        }
        append(&said, savedText(origin, r, savedAs));
        plat::deleteFile(r.path);
    }
    if (!unknown.empty()) {
        std::wstring list;
        for (const std::wstring& path : unknown) list += (list.empty() ? L"'" : L", '") + path + L"'";
        append(&said, formatWide(L"the working folder holds what is no encrypted file of this drive's key and "
                                 L"is left as it is: %ls",
                                 list.c_str()));
        keep = true;
    }
    if (code > 0) {
        // The program may have left its plaintext working copy for its next
        // run, which keeps its changes here: the folder waits for them.
        const std::wstring temp = folder->folder.substr(0, folder->folder.find_last_of(plat::kSeparators));
        const std::wstring plain = temp + plat::kSep + copyName;
        if (results.empty() && plat::fileInfo(plain, nullptr)) {
            append(&said, formatWide(L"the program ended with code %d and left the working copy '%ls' with the "
                                     L"edits for its next run, which keeps them, encrypted, where the key drive "
                                     L"can encrypt; the file manager then saves them into the workspace",
                                     code, plain.c_str()));
            keep = true;
        } else if (results.empty()) {
            append(&said, formatWide(L"the program ended with code %d on '%ls'; the workspace is unchanged", code,
                                     shownName(origin.member).c_str()));
        } else {
            append(&said, formatWide(L"the program ended with code %d", code));
        }
    }
    if (keep) letGo(folder);
    else removeFolder(folder);
    *message = said;
    return keep || code > 0 ? 1 : 0;
}

void recoverWorkingFolders(std::wstring* message) {
    message->clear();
    std::wstring opener;
    if (!plat::getEnv(L"VKLIB_OPENER", &opener) || opener.empty()) return;
    const std::wstring temp = keyDriveTemp(opener);
    for (const plat::DirEntry& e : entriesOf(temp)) {
        if (!e.isDirectory || e.isLink || e.name.compare(0, std::wcslen(kPrefix), kPrefix) != 0) continue;
        WorkingFolder folder;
        folder.folder = temp + plat::kSep + e.name;
        // A folder whose lock is held belongs to a file manager at work.
        FILE* lock = plat::openFile(child(folder.folder, L"lock"), L"rb+");
        if (!lock && plat::fileInfo(child(folder.folder, L"lock"), nullptr)) continue;
        if (lock && plat::lockRange(lock, 0, 1, true, false) != 0) {
            std::fclose(lock);
            continue;
        }
        folder.lock = lock;
        Origin origin;
        if (!readOrigin(child(folder.folder, L"origin"), &origin)) {
            // Stopped before the copy was opened: nothing in it is new.
            removeFolder(&folder);
            continue;
        }
        const std::wstring copyName = tar::relativeDiskPath(lastMemberPart(origin.member));
        if (plat::fileInfo(temp + plat::kSep + copyName, nullptr)) {
            // The program's plaintext working copy is still there: its next
            // run keeps the edits in this folder first.
            letGo(&folder);
            continue;
        }
        std::wstring said;
        collectWorkingFolder(&folder, origin, -1, &said);
        if (!said.empty())
            append(message, formatWide(L"An earlier open of '%ls' in the workspace '%ls' was not finished: %ls",
                                       shownName(origin.member).c_str(), origin.archive.c_str(), said.c_str()));
    }
}

}  // namespace bkfm
