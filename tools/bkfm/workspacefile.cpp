#include "tools/bkfm/workspacefile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "diag/format.h"
#include "platform/platform.h"
#include "platform/utf8.h"
#include "tools/bkfm/membernames.h"
#include "tools/bkfm/workingfolder.h"
#include "tools/tar/tararchive.h"
#include "workspace/memberheader.h"

namespace bkfm {

namespace {

constexpr std::size_t kChunk = 1 << 20;

// The folder the user's relative paths are given in (prepareProcess).
std::wstring callerFolder;

bool isSeparator(wchar_t c) {
    return c == plat::kSep || c == L'/';
}

std::wstring errnoText() { return plat::stdErrorMessage(errno); }

std::wstring shown(const std::wstring& text) { return tar::escapedText(text); }

std::wstring withoutTrailingSeparators(std::wstring path) {
    while (path.size() > 1 && isSeparator(path.back())) path.pop_back();
    return path;
}

// A path the user gave, absolute against the folder it was given in: the
// program works in the key drive's folder, and the program it starts in its
// own.
std::wstring absolutePath(const std::wstring& path) {
    const std::wstring here = callerFolder.empty() ? plat::currentDir() : callerFolder;
    if (plat::kSep == L'/') return !path.empty() && path[0] == L'/' ? path : here + L"/" + path;
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) return path;
    if (path.size() >= 3 && path[1] == L':' && isSeparator(path[2])) return path;
    if (!path.empty() && isSeparator(path[0])) return here.substr(0, 2) + path;
    return withoutTrailingSeparators(here) + L"\\" + path;
}

std::wstring lastPart(const std::wstring& path) {
    std::size_t cut = path.find_last_of(plat::kSeparators);
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

const tar::Member* findMember(const std::vector<tar::Member>& members, const std::string& name) {
    // The last of equal names is the one a tar reader extracts last, so the one that counts.
    for (auto m = members.rbegin(); m != members.rend(); ++m)
        if (m->name == name) return &*m;
    return nullptr;
}

// Finds a member a user named; refuses the marker file, which is no file of
// the user's and keeps the archive recognisable as a workspace.
const tar::Member* userMember(const std::vector<tar::Member>& members, const std::string& name,
                              std::wstring* message) {
    if (name == tar::kMarkerName) {
        *message = L"the marker file belongs to the workspace itself and cannot be opened, "
                   L"extracted or removed";
        return nullptr;
    }
    const tar::Member* m = findMember(members, name);
    if (!m) *message = formatWide(L"the workspace holds no member '%ls'", shownName(name).c_str());
    return m;
}

// The program that started the file manager, for the actions on members.
int openerPath(std::wstring* opener, std::wstring* message) {
    if (!plat::getEnv(L"VKLIB_OPENER", opener) || opener->empty()) {
        *message = L"VKLIB_OPENER is not set: open the workspace with the key drive's Open program, "
                   L"which starts the file manager with it";
        return 1;
    }
    return 0;
}

// Runs the program on one path with a command letter: -o, -e or -d.
int runOpener(const std::wstring& opener, const wchar_t* option, const std::wstring& path) {
    return plat::runChildAndWait(opener, {option, plat::childArgument(path)});
}

// Runs the program and says what failed when it did not end with 0.
int runOpenerOrSay(const std::wstring& opener, const wchar_t* option, const std::wstring& path,
                   const wchar_t* verb, const wchar_t* consequence, std::wstring* message) {
    const int code = runOpener(opener, option, path);
    if (code == 0) return 0;
    *message = formatWide(L"the program could not %ls '%ls' (it ended with code %d); %ls", verb,
                          shown(path).c_str(), code, consequence);
    return 1;
}

// The archive read under the workspace's shared lock, which stays held
// while members' data is read from it (Windows cannot replace a file that
// is open), until let go; never while the program runs or a change is made.
struct Reading {
    tar::WorkspaceLock lock;
    tar::Snapshot snapshot;
    FILE* archive = nullptr;
    ~Reading() { letGo(); }
    void letGo() {
        if (archive) std::fclose(archive);
        archive = nullptr;
        tar::unlockWorkspace(&lock);
    }
};
int startReading(const std::wstring& archive, Reading* reading, std::wstring* message) {
    if (tar::lockWorkspace(archive, false, &reading->lock, message) != 0) return 1;
    if (tar::readSnapshot(archive, &reading->snapshot, message) != 0) return 1;
    reading->archive = plat::openFile(archive, L"rb");
    if (!reading->archive) {
        *message = formatWide(L"cannot open the workspace '%ls': %ls", archive.c_str(), errnoText().c_str());
        return 1;
    }
    return 0;
}

// Copies members' data into new files; *written gets the files made.
struct Copy {
    tar::Member member;
    std::wstring target;
};
int copyMembers(const Reading& reading, const std::vector<Copy>& copies, std::vector<std::wstring>* written,
                std::wstring* message) {
    FILE* in = reading.archive;
    std::vector<char> buffer(kChunk);
    for (const Copy& c : copies) {
        FILE* out = plat::createNewFile(c.target);
        if (!out) {
            *message = formatWide(L"cannot create '%ls': %ls", shown(c.target).c_str(), errnoText().c_str());
            return 1;
        }
        written->push_back(c.target);
        int failed = plat::seekFile(in, static_cast<int64_t>(c.member.dataOffset), SEEK_SET) != 0;
        for (uint64_t left = c.member.size; !failed && left > 0;) {
            std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(left, kChunk));
            if (std::fread(buffer.data(), 1, want, in) != want || std::fwrite(buffer.data(), 1, want, out) != want)
                failed = 1;
            left -= want;
        }
        if (plat::commitFile(out) != 0) failed = 1;
        if (std::fclose(out) != 0) failed = 1;
        if (failed) {
            *message = formatWide(L"cannot copy member '%ls' of the workspace to '%ls': %ls",
                                  shownName(c.member.name).c_str(), shown(c.target).c_str(), errnoText().c_str());
            return 1;
        }
    }
    return 0;
}

// Removes files and folders that this file manager wrote or added, deepest
// first; the paths of what could not be removed go to *left.
void removeWritten(const std::vector<std::wstring>& files, const std::vector<std::wstring>& folders,
                   std::vector<std::wstring>* left) {
    for (const std::wstring& f : files)
        if (!plat::deleteFile(f) && left) left->push_back(f);
    for (auto d = folders.rbegin(); d != folders.rend(); ++d)
        if (!plat::removeDirectory(*d) && left) left->push_back(*d);
}

std::wstring joinedPaths(const std::vector<std::wstring>& paths) {
    std::wstring text;
    for (const std::wstring& p : paths) text += (text.empty() ? L"'" : L", '") + shown(p) + L"'";
    return text;
}

// Whether a member's data is an encrypted file of the drive's key; its
// plaintext's length then.
bool thisKeyMember(FILE* archive, const tar::Member& m, uint64_t* length) {
    return archive && m.kind == tar::Kind::File &&
           readStoredLength(archive, m.dataOffset, m.size, length) == HeaderFinding::ThisKey;
}

}  // namespace

void prepareProcess() {
    callerFolder = plat::currentDir();
    std::wstring opener;
    if (plat::getEnv(L"VKLIB_OPENER", &opener) && !opener.empty()) {
        const std::wstring program = plat::absolutePath(opener);
        const std::size_t cut = program.find_last_of(plat::kSeparators);
        if (cut != std::wstring::npos) plat::setCurrentDir(program.substr(0, cut + 1));
    }
}

std::wstring archivePath(const std::wstring& given) {
    std::wstring path = given;
    if (plat::kSep == L'\\') {
        while (path.size() > 1 && (path.back() == L'.' || path.back() == L' ')) path.pop_back();
    }
    path = absolutePath(path);
    // A workspace reached through a link is changed where it is: the
    // replacement goes over the link's target, not over the link.
    plat::FileInfo info;
    std::wstring target;
    if (plat::fileInfo(path, &info) && info.isLink && plat::finalPath(path, &target)) return target;
    return path;
}

std::wstring shownName(const std::string& name) { return tar::shownName(name); }

int listMembers(const std::wstring& archive, std::vector<Entry>* entries, std::wstring* message) {
    Reading reading;
    message->clear();
    if (startReading(archive, &reading, message) != 0) return 1;
    entries->clear();
    for (const tar::Member& m : reading.snapshot.members) {
        if (m.name == tar::kMarkerName) continue;
        Entry e;
        e.member = m;
        uint64_t length = 0;
        e.thisKey = thisKeyMember(reading.archive, m, &length);
        e.shownSize = e.thisKey ? length : m.size;
        entries->push_back(e);
    }
    if (!reading.snapshot.refused.empty()) {
        std::wstring names;
        for (const tar::Refused& r : reading.snapshot.refused)
            names += (names.empty() ? L"'" : L", '") + shownName(r.name) + L"...'";
        *message = formatWide(L"the workspace holds entries whose names hold a NUL byte and cannot be used; they "
                              L"are kept as they are but not listed: %ls",
                              names.c_str());
    }
    return 0;
}

std::wstring memberDate(int64_t seconds) {
    std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local = {};
#ifdef _WIN32
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    wchar_t date[32] = L"";
    std::wcsftime(date, 32, L"%Y-%m-%d %H:%M", &local);
    return date;
}

std::wstring sizeText(const Entry& entry) {
    return entry.member.kind == tar::Kind::Folder ? std::wstring(L"<folder>")
                                                  : std::to_wstring(static_cast<unsigned long long>(entry.shownSize));
}

std::wstring describeMember(const Entry& entry) {
    return formatWide(L"%12ls  %ls  %ls%ls", sizeText(entry).c_str(), memberDate(entry.member.modified).c_str(),
                      shownName(entry.member.name).c_str(), entry.member.kind == tar::Kind::Folder ? L"/" : L"");
}

std::string memberNameFrom(const std::wstring& text) {
    std::wstring name = text;
    for (wchar_t& c : name)
        if (isSeparator(c)) c = L'/';
    while (!name.empty() && name.back() == L'/') name.pop_back();
    return plat::kSep == L'/' ? utf8::pathFromWide(name) : utf8::fromWide(name);
}

bool findTypedMember(const std::vector<Entry>& entries, const std::wstring& text, std::string* name) {
    const std::string exact = memberNameFrom(text);
    for (const Entry& e : entries) {
        if (e.member.name == exact) {
            *name = exact;
            return true;
        }
    }
    std::wstring typed = text;
    while (!typed.empty() && isSeparator(typed.back())) typed.pop_back();
    int found = 0;
    for (const Entry& e : entries) {
        // As shown, with '/' between folders, or on Windows with '\'.
        const std::wstring shownAs = shownName(e.member.name);
        std::wstring withBackslashes = shownAs;
        std::replace(withBackslashes.begin(), withBackslashes.end(), L'/', L'\\');
        if (typed == shownAs || (plat::kSep == L'\\' && typed == withBackslashes)) {
            *name = e.member.name;
            ++found;
        }
    }
    return found == 1;
}

int openMember(const std::wstring& archive, const std::string& name, std::wstring* message) {
    std::wstring opener;
    if (openerPath(&opener, message) != 0) return 1;
    Reading reading;
    if (startReading(archive, &reading, message) != 0) return 1;
    const tar::Snapshot& snapshot = reading.snapshot;
    const tar::Member* found = userMember(snapshot.members, name, message);
    if (!found) return 1;
    const tar::Member member = *found;
    if (member.kind != tar::Kind::File) {
        *message = formatWide(L"'%ls' is a folder: open the files in it", shownName(name).c_str());
        return 1;
    }
    std::wstring why;
    if (!storablePart(tar::relativeDiskPath(lastMemberPart(name)), &why)) {
        *message = formatWide(L"'%ls' cannot be opened here: %ls", shownName(name).c_str(), why.c_str());
        return 1;
    }

    Origin origin;
    origin.archive = archive;
    origin.member = name;
    origin.size = member.size;
    for (std::size_t i = 0; i < snapshot.members.size(); ++i)
        if (&snapshot.members[i] == found) origin.mark = snapshot.marks[i];
    uint64_t length = 0;
    origin.thisKey = thisKeyMember(reading.archive, member, &length);

    WorkingFolder folder;
    if (makeWorkingFolder(opener, origin, &folder, message) != 0) return 1;
    std::vector<std::wstring> written;
    if (copyMembers(reading, {Copy{member, folder.file}}, &written, message) != 0) {
        discardWorkingFolder(&folder);
        return 1;
    }
    // The program may take long: nothing is held while it runs.
    reading.letGo();
    const int code = runOpener(opener, L"-o", folder.file);
    const int failed = collectWorkingFolder(&folder, origin, code, message);
    if (message->empty()) *message = formatWide(L"'%ls' is unchanged", shownName(name).c_str());
    return failed;
}

int addPath(const std::wstring& archive, const std::wstring& given, std::wstring* message) {
    std::wstring opener;
    if (openerPath(&opener, message) != 0) return 1;
    const std::wstring path = absolutePath(withoutTrailingSeparators(given));
    plat::FileInfo info;
    if (!plat::fileInfo(path, &info)) {
        *message = formatWide(L"'%ls' does not exist", shown(path).c_str());
        return 1;
    }
    if (info.isLink || info.isSpecial) {
        *message = formatWide(L"'%ls' is a link or special file, which a workspace does not hold", shown(path).c_str());
        return 1;
    }
    const std::string name = tar::memberName(lastPart(path));
    if (name.empty() || name == "." || name == "..") {
        *message = formatWide(L"'%ls' has no name to keep in the workspace", shown(path).c_str());
        return 1;
    }
    if (name == tar::kMarkerName) {
        *message = formatWide(L"'%ls' has the name of the workspace's marker file", shown(path).c_str());
        return 1;
    }
    if (path == archive || (info.isDirectory && archive.compare(0, path.size() + 1, path + plat::kSep) == 0)) {
        *message = formatWide(L"'%ls' holds the workspace itself", shown(path).c_str());
        return 1;
    }
    tar::Snapshot base;
    if (tar::readWorkspace(archive, &base, message) != 0) return 1;
    for (const tar::Member& m : base.members) {
        if (tar::isAtOrBelow(m.name, name)) {
            *message = formatWide(L"the workspace holds '%ls' already; remove it first, or rename '%ls'",
                                  shownName(name).c_str(), shown(path).c_str());
            return 1;
        }
    }

    // The program encrypts under the same names and erases the plaintext.
    if (runOpenerOrSay(opener, L"-e", path, L"encrypt", L"nothing was added to the workspace", message) != 0)
        return 1;

    tar::Change change;
    std::vector<std::wstring> skipped;
    tar::Planned top;
    top.member.name = name;
    int64_t seconds = 0;
    if (plat::modifiedTime(path, &seconds)) top.member.modified = seconds;
    if (!plat::fileInfo(path, &info)) {
        *message = formatWide(L"'%ls' is gone after the program encrypted it", shown(path).c_str());
        return 1;
    }
    top.member.kind = info.isDirectory ? tar::Kind::Folder : tar::Kind::File;
    top.member.size = info.isDirectory ? 0 : info.size;
    if (!info.isDirectory) top.sourcePath = path;
    change.added.push_back(top);
    std::wstring why;
    if (info.isDirectory && tar::scanFolder(path, name + "/", &change.added, &skipped, &why) != 0) {
        *message = formatWide(L"nothing was added to the workspace: %ls; the encrypted files stay in '%ls'",
                              why.c_str(), shown(path).c_str());
        return 1;
    }
    // Only encrypted files of the drive's key go in: a file saved there
    // after the program encrypted the folder stays out, as it is.
    for (auto p = change.added.begin(); p != change.added.end();) {
        uint64_t length = 0;
        if (p->member.kind == tar::Kind::File && readStoredLength(p->sourcePath, &length) != HeaderFinding::ThisKey) {
            skipped.push_back(p->sourcePath);
            p = change.added.erase(p);
        } else {
            ++p;
        }
    }
    if (change.added.empty()) {
        *message = formatWide(L"'%ls' is no encrypted file of this drive's key; nothing was added", shown(path).c_str());
        return 1;
    }

    switch (tar::changeWorkspace(archive, base, change, &why)) {
        case tar::ChangeOutcome::Done:
            break;
        case tar::ChangeOutcome::Conflict:
            *message = formatWide(L"nothing was added: %ls. Your files stay, encrypted, in '%ls': rename them, "
                                  L"or remove what is in the way, and add them again",
                                  why.c_str(), shown(path).c_str());
            return 1;
        case tar::ChangeOutcome::Failed:
            *message = formatWide(L"nothing was added to the workspace, which is as it was: %ls. The encrypted "
                                  L"files stay in '%ls'; add them again once that is mended",
                                  why.c_str(), shown(path).c_str());
            return 1;
    }

    // The encrypted copy now lives in the workspace. A file that changed
    // since it was archived is not the one the workspace holds: it stays.
    std::vector<std::wstring> files, folders, left;
    for (const tar::Planned& p : change.added) {
        if (p.member.kind != tar::Kind::File) continue;
        plat::FileInfo now;
        int64_t modified = 0;
        if (plat::fileInfo(p.sourcePath, &now) && now.size == p.member.size &&
            plat::modifiedTime(p.sourcePath, &modified) && modified == p.member.modified)
            files.push_back(p.sourcePath);
        else
            left.push_back(p.sourcePath);
    }
    if (info.isDirectory) {
        folders.push_back(path);
        for (const tar::Planned& p : change.added)
            if (p.member.kind == tar::Kind::Folder && p.member.name != name)
                folders.push_back(path + plat::kSep + tar::relativeDiskPath(p.member.name.substr(name.size() + 1)));
    }
    removeWritten(files, folders, &left);
    *message = formatWide(L"'%ls' was added to the workspace", shownName(name).c_str());
    if (!skipped.empty())
        *message += L"; left out, as they are no encrypted files of this drive's key, links or special files: " +
                    joinedPaths(skipped);
    if (!left.empty()) *message += L"; these could not be removed: " + joinedPaths(left);
    return 0;
}

int extractMember(const std::wstring& archive, const std::string& name, const std::wstring& folderGiven,
                  std::wstring* message) {
    std::wstring opener;
    if (openerPath(&opener, message) != 0) return 1;
    Reading reading;
    if (startReading(archive, &reading, message) != 0) return 1;
    const tar::Snapshot& snapshot = reading.snapshot;
    const tar::Member* found = userMember(snapshot.members, name, message);
    if (!found) return 1;

    const std::wstring folder = absolutePath(withoutTrailingSeparators(folderGiven));
    plat::FileInfo info;
    if (!plat::fileInfo(folder, &info) || !info.isDirectory) {
        *message = formatWide(L"'%ls' is not a folder", shown(folder).c_str());
        return 1;
    }
    // The member and everything below it, under the member's own last name.
    const std::string top = found->name;
    const std::size_t cut = top.size() - lastMemberPart(top).size();
    std::vector<tar::Member> chosen;
    for (const tar::Member& m : snapshot.members)
        if (tar::isAtOrBelow(m.name, top) && (m.name != top || &m == found)) chosen.push_back(m);
    for (const tar::Member& m : chosen) {
        std::wstring why;
        if (!storableName(m.name.substr(cut), &why)) {
            *message = formatWide(L"'%ls' cannot be extracted here: %ls; nothing was extracted",
                                  shownName(m.name).c_str(), why.c_str());
            return 1;
        }
    }
    const std::wstring target = folder + plat::kSep + tar::relativeDiskPath(top.substr(cut));
    if (plat::fileInfo(target, nullptr)) {
        *message = formatWide(L"'%ls' exists already; nothing was extracted", shown(target).c_str());
        return 1;
    }

    std::vector<std::wstring> folders;
    std::vector<Copy> copies;
    for (const tar::Member& m : chosen) {
        const std::wstring path = folder + plat::kSep + tar::relativeDiskPath(m.name.substr(cut));
        if (m.kind == tar::Kind::File) {
            copies.push_back(Copy{m, path});
            continue;
        }
        if (plat::fileInfo(path, nullptr) || !plat::createDirectory(path)) {
            *message = formatWide(L"cannot create the folder '%ls'; nothing was extracted", shown(path).c_str());
            removeWritten({}, folders, nullptr);
            return 1;
        }
        folders.push_back(path);
    }
    std::vector<std::wstring> files;
    if (copyMembers(reading, copies, &files, message) != 0) {
        removeWritten(files, folders, nullptr);
        *message += L"; nothing was extracted";
        return 1;
    }
    reading.letGo();

    if (runOpenerOrSay(opener, L"-d", target, L"decrypt", L"what was extracted stays there", message) != 0)
        return 1;
    *message = formatWide(L"'%ls' was extracted to '%ls'", shownName(name).c_str(), shown(target).c_str());
    return 0;
}

int removeMember(const std::wstring& archive, const std::string& name, std::wstring* message) {
    tar::Snapshot base;
    if (tar::readWorkspace(archive, &base, message) != 0) return 1;
    if (!userMember(base.members, name, message)) return 1;
    tar::Change change;
    change.removed.push_back(name);
    std::wstring why;
    switch (tar::changeWorkspace(archive, base, change, &why)) {
        case tar::ChangeOutcome::Done:
            *message = formatWide(L"'%ls' was removed from the workspace", shownName(name).c_str());
            return 0;
        case tar::ChangeOutcome::Conflict:
            *message = formatWide(L"nothing was removed: %ls", why.c_str());
            return 1;
        case tar::ChangeOutcome::Failed:
            break;
    }
    *message = formatWide(L"'%ls' was not removed; the workspace is as it was: %ls", shownName(name).c_str(),
                          why.c_str());
    return 1;
}

}  // namespace bkfm
