#include "tools/bkfm/workspacefile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "diag/format.h"
#include "platform/platform.h"
#include "platform/utf8.h"
#include "tools/tar/tararchive.h"

namespace bkfm {

namespace {

constexpr std::size_t kChunk = 1 << 20;

bool isSeparator(wchar_t c) {
    return c == plat::kSep || c == L'/';
}

std::wstring errnoText() { return plat::stdErrorMessage(errno); }

std::wstring wide(const std::string& name) { return utf8::toWide(name); }

std::wstring withoutTrailingSeparators(std::wstring path) {
    while (path.size() > 1 && isSeparator(path.back())) path.pop_back();
    return path;
}

// The program changes into its own folder when it starts: it is given
// paths that do not depend on the current folder.
std::wstring absolutePath(const std::wstring& path) {
    if (plat::kSep == L'/') return !path.empty() && path[0] == L'/' ? path : plat::currentDir() + L"/" + path;
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) return path;
    if (path.size() >= 3 && path[1] == L':' && isSeparator(path[2])) return path;
    const std::wstring here = plat::currentDir();
    if (!path.empty() && isSeparator(path[0])) return here.substr(0, 2) + path;
    return withoutTrailingSeparators(here) + L"\\" + path;
}

std::wstring lastPart(const std::wstring& path) {
    std::size_t cut = path.find_last_of(plat::kSep == L'/' ? L"/" : L"\\/");
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::wstring folderPart(const std::wstring& path) {
    std::size_t cut = path.find_last_of(plat::kSep == L'/' ? L"/" : L"\\/");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

std::string lastMemberPart(const std::string& name) {
    std::size_t cut = name.rfind('/');
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

std::wstring randomHex() {
    uint8_t bytes[4] = {};
    plat::cryptoRandom(bytes, sizeof bytes);
    return formatWide(L"%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3]);
}

int readArchive(const std::wstring& archive, std::vector<tar::Member>* members, std::wstring* message) {
    FILE* f = plat::openFile(archive, L"rb");
    if (!f) {
        *message = formatWide(L"cannot open the workspace '%ls': %ls", archive.c_str(), errnoText().c_str());
        return 1;
    }
    std::wstring why;
    int failed = tar::readMembers(f, members, &why);
    std::fclose(f);
    if (failed) *message = formatWide(L"cannot read the workspace '%ls': %ls", archive.c_str(), why.c_str());
    return failed;
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
    if (!m) *message = formatWide(L"the workspace holds no member '%ls'", wide(name).c_str());
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

// The program, the archive's members and the member a user named, for an
// action that has the program work on the member; nullptr after saying why
// not.
const tar::Member* memberForOpener(const std::wstring& archive, const std::string& name, std::wstring* opener,
                                   std::vector<tar::Member>* members, std::wstring* message) {
    if (openerPath(opener, message) != 0 || readArchive(archive, members, message) != 0) return nullptr;
    return userMember(*members, name, message);
}

// Runs the program and says what failed when it did not end with 0.
int runOpenerOrSay(const std::wstring& opener, const wchar_t* option, const std::wstring& path,
                   const wchar_t* verb, const wchar_t* consequence, std::wstring* message) {
    const int code = runOpener(opener, option, path);
    if (code == 0) return 0;
    *message = formatWide(L"the program could not %ls '%ls' (it ended with code %d); %ls", verb, path.c_str(),
                          code, consequence);
    return 1;
}

// Copies a member's data into a new file.
int copyMemberTo(const std::wstring& archive, const tar::Member& member, const std::wstring& target,
                 std::wstring* message) {
    FILE* in = plat::openFile(archive, L"rb");
    if (!in) {
        *message = formatWide(L"cannot open the workspace '%ls': %ls", archive.c_str(), errnoText().c_str());
        return 1;
    }
    FILE* out = plat::openFile(target, L"wb");
    if (!out) {
        *message = formatWide(L"cannot create '%ls': %ls", target.c_str(), errnoText().c_str());
        std::fclose(in);
        return 1;
    }
    int failed = plat::seekFile(in, static_cast<int64_t>(member.dataOffset), SEEK_SET) != 0;
    std::vector<char> buffer(kChunk);
    for (uint64_t left = member.size; !failed && left > 0;) {
        std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(left, kChunk));
        if (std::fread(buffer.data(), 1, want, in) != want) {
            *message = formatWide(L"cannot read member '%ls' of the workspace: %ls", wide(member.name).c_str(),
                                  errnoText().c_str());
            failed = 2;
        } else if (std::fwrite(buffer.data(), 1, want, out) != want) {
            failed = 1;
        }
        left -= want;
    }
    if (plat::commitFile(out) != 0 && !failed) failed = 1;
    if (std::fclose(out) != 0 && !failed) failed = 1;
    std::fclose(in);
    if (failed == 1) *message = formatWide(L"cannot write '%ls': %ls", target.c_str(), errnoText().c_str());
    if (failed) plat::removeFile(target);
    return failed ? 1 : 0;
}

// Whether a file holds exactly a member's data.
bool equalsMember(const std::wstring& archive, const tar::Member& member, const std::wstring& file) {
    plat::FileInfo info;
    if (!plat::fileInfo(file, &info) || info.size != member.size) return false;
    FILE* a = plat::openFile(archive, L"rb");
    FILE* b = plat::openFile(file, L"rb");
    bool same = a && b && plat::seekFile(a, static_cast<int64_t>(member.dataOffset), SEEK_SET) == 0;
    std::vector<char> x(kChunk), y(kChunk);
    for (uint64_t left = member.size; same && left > 0;) {
        std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(left, kChunk));
        same = std::fread(x.data(), 1, want, a) == want && std::fread(y.data(), 1, want, b) == want &&
               std::memcmp(x.data(), y.data(), want) == 0;
        left -= want;
    }
    if (a) std::fclose(a);
    if (b) std::fclose(b);
    return same;
}

// A fresh folder of its own in the key drive's TEMP folder, beside the
// program's working copies.
int makeWorkingFolder(const std::wstring& opener, std::wstring* folder, std::wstring* message) {
    const std::wstring temp = folderPart(absolutePath(opener)) + L"TEMP";
    plat::FileInfo info;
    if (!plat::fileInfo(temp, &info) || !info.isDirectory) {
        *message = formatWide(L"the key drive's folder '%ls' is missing", temp.c_str());
        return 1;
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::wstring candidate = temp + plat::kSep + L"workspace-" + randomHex();
        if (plat::fileInfo(candidate, nullptr)) continue;
        if (plat::createDirectory(candidate)) {
            *folder = candidate;
            return 0;
        }
        break;
    }
    *message = formatWide(L"cannot create a working folder in '%ls'", temp.c_str());
    return 1;
}

// A name part that every build can store as a file name.
bool storablePart(const std::wstring& part) {
    if (part.empty() || part == L"." || part == L"..") return false;
    for (wchar_t c : part) {
        if (c < 0x20 || c == L'/') return false;
        if (plat::kSep == L'\\' && std::wcschr(L"<>:\"\\|?*", c)) return false;
    }
    if (plat::kSep == L'\\' && (part.back() == L'.' || part.back() == L' ')) return false;
    return true;
}

bool storableName(const std::string& name) {
    std::wstring text = wide(name);
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = text.find(L'/', start);
        if (!storablePart(text.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start)))
            return false;
        if (slash == std::wstring::npos) return true;
        start = slash + 1;
    }
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
    for (const std::wstring& p : paths) text += (text.empty() ? L"'" : L", '") + p + L"'";
    return text;
}

}  // namespace

std::wstring archivePath(const std::wstring& given) {
    std::wstring path = given;
    if (plat::kSep == L'\\') {
        while (path.size() > 1 && (path.back() == L'.' || path.back() == L' ')) path.pop_back();
    }
    return absolutePath(path);
}

int listMembers(const std::wstring& archive, std::vector<tar::Member>* members, std::wstring* message) {
    std::vector<tar::Member> all;
    if (readArchive(archive, &all, message) != 0) return 1;
    members->clear();
    for (const tar::Member& m : all)
        if (m.name != tar::kMarkerName) members->push_back(m);
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

std::wstring describeMember(const tar::Member& member) {
    std::wstring size = member.kind == tar::Kind::Folder
                            ? std::wstring(L"<folder>")
                            : std::to_wstring(static_cast<unsigned long long>(member.size));
    return formatWide(L"%12ls  %ls  %ls%ls", size.c_str(), memberDate(member.modified).c_str(),
                      wide(member.name).c_str(),
                      member.kind == tar::Kind::Folder ? L"/" : L"");
}

std::string memberNameFrom(const std::wstring& text) {
    std::wstring name = text;
    for (wchar_t& c : name)
        if (isSeparator(c)) c = L'/';
    while (!name.empty() && name.back() == L'/') name.pop_back();
    return utf8::fromWide(name);
}

int openMember(const std::wstring& archive, const std::string& name, std::wstring* message) {
    std::wstring opener;
    std::vector<tar::Member> members;
    const tar::Member* found = memberForOpener(archive, name, &opener, &members, message);
    if (!found) return 1;
    const tar::Member member = *found;
    if (member.kind != tar::Kind::File) {
        *message = formatWide(L"'%ls' is a folder: open the files in it", wide(name).c_str());
        return 1;
    }
    if (!storablePart(wide(lastMemberPart(name)))) {
        *message = formatWide(L"'%ls' has a name that cannot be a file name here", wide(name).c_str());
        return 1;
    }

    std::wstring folder;
    if (makeWorkingFolder(opener, &folder, message) != 0) return 1;
    const std::wstring working = folder + plat::kSep + wide(lastMemberPart(name));
    if (copyMemberTo(archive, member, working, message) != 0) {
        plat::removeDirectory(folder);
        return 1;
    }

    const int code = runOpener(opener, L"-o", working);

    plat::FileInfo info;
    if (!plat::fileInfo(working, &info) || info.isDirectory) {
        *message = formatWide(L"the working file '%ls' of '%ls' is gone after the program ended with "
                              L"code %d; the workspace is unchanged",
                              working.c_str(), wide(name).c_str(), code);
        return 1;
    }
    if (equalsMember(archive, member, working)) {
        removeWritten({working}, {folder}, nullptr);
        if (code != 0) {
            *message = formatWide(L"the program ended with code %d on '%ls'; the workspace is unchanged",
                                  code, wide(name).c_str());
            return 1;
        }
        *message = formatWide(L"'%ls' is unchanged", wide(name).c_str());
        return 0;
    }

    // The program has put a new encrypted version in the working file's place.
    tar::Planned changed;
    changed.member.name = member.name;
    changed.member.kind = tar::Kind::File;
    changed.member.size = info.size;
    int64_t seconds = static_cast<int64_t>(std::time(nullptr));
    plat::modifiedTime(working, &seconds);
    changed.member.modified = seconds;
    changed.sourcePath = working;
    std::vector<tar::Planned> plan = tar::mergeMembers(members, {changed});
    tar::orderMembers(&plan);
    std::wstring why;
    if (tar::commitArchive(archive, plan, &why) != 0) {
        *message = formatWide(L"the changed '%ls' could not be written into the workspace, which is as it "
                              L"was: %ls. The changed version, encrypted, is kept in '%ls'",
                              wide(name).c_str(), why.c_str(), working.c_str());
        return 1;
    }
    removeWritten({working}, {folder}, nullptr);
    *message = formatWide(L"'%ls' was changed and is saved in the workspace", wide(name).c_str());
    if (code != 0) {
        *message += formatWide(L"; the program ended with code %d", code);
        return 1;
    }
    return 0;
}

int addPath(const std::wstring& archive, const std::wstring& given, std::wstring* message) {
    std::wstring opener;
    if (openerPath(&opener, message) != 0) return 1;
    const std::wstring path = absolutePath(withoutTrailingSeparators(given));
    plat::FileInfo info;
    if (!plat::fileInfo(path, &info)) {
        *message = formatWide(L"'%ls' does not exist", path.c_str());
        return 1;
    }
    if (info.isLink || info.isSpecial) {
        *message = formatWide(L"'%ls' is a link or special file, which a workspace does not hold", path.c_str());
        return 1;
    }
    const std::string name = tar::memberName(lastPart(path));
    if (name.empty() || name == "." || name == "..") {
        *message = formatWide(L"'%ls' has no name to keep in the workspace", path.c_str());
        return 1;
    }
    if (name == tar::kMarkerName) {
        *message = formatWide(L"'%ls' has the name of the workspace's marker file", path.c_str());
        return 1;
    }
    if (path == archive || (info.isDirectory && archive.compare(0, path.size() + 1, path + plat::kSep) == 0)) {
        *message = formatWide(L"'%ls' holds the workspace itself", path.c_str());
        return 1;
    }
    std::vector<tar::Member> members;
    if (readArchive(archive, &members, message) != 0) return 1;
    for (const tar::Member& m : members) {
        if (tar::isAtOrBelow(m.name, name)) {
            *message = formatWide(L"the workspace holds '%ls' already; remove it first, or rename '%ls'",
                                  wide(name).c_str(), path.c_str());
            return 1;
        }
    }

    // The program encrypts under the same names and erases the plaintext.
    if (runOpenerOrSay(opener, L"-e", path, L"encrypt", L"nothing was added to the workspace", message) != 0)
        return 1;

    std::vector<tar::Planned> added;
    std::vector<std::wstring> skipped;
    tar::Planned top;
    top.member.name = name;
    int64_t seconds = 0;
    if (plat::modifiedTime(path, &seconds)) top.member.modified = seconds;
    if (!plat::fileInfo(path, &info)) {
        *message = formatWide(L"'%ls' is gone after the program encrypted it", path.c_str());
        return 1;
    }
    top.member.kind = info.isDirectory ? tar::Kind::Folder : tar::Kind::File;
    top.member.size = info.isDirectory ? 0 : info.size;
    if (!info.isDirectory) top.sourcePath = path;
    added.push_back(top);
    std::wstring why;
    if (info.isDirectory && tar::scanFolder(path, name + "/", &added, &skipped, &why) != 0) {
        *message = formatWide(L"nothing was added to the workspace: %ls; the encrypted files stay in '%ls'",
                              why.c_str(), path.c_str());
        return 1;
    }
    std::vector<tar::Planned> plan = tar::mergeMembers(members, added);
    tar::orderMembers(&plan);
    if (tar::commitArchive(archive, plan, &why) != 0) {
        *message = formatWide(L"nothing was added to the workspace, which is as it was: %ls. The encrypted "
                              L"files stay in '%ls'",
                              why.c_str(), path.c_str());
        return 1;
    }

    // The encrypted copy now lives in the workspace.
    std::vector<std::wstring> files, folders, left;
    for (const tar::Planned& p : added) {
        if (p.member.kind == tar::Kind::File) files.push_back(p.sourcePath);
    }
    if (info.isDirectory) {
        folders.push_back(path);
        for (const tar::Planned& p : added)
            if (p.member.kind == tar::Kind::Folder && p.member.name != name)
                folders.push_back(path + plat::kSep +
                                  tar::relativeDiskPath(p.member.name.substr(name.size() + 1)));
    }
    removeWritten(files, folders, &left);
    *message = formatWide(L"'%ls' was added to the workspace", wide(name).c_str());
    if (!skipped.empty())
        *message += L"; links and special files were left out: " + joinedPaths(skipped);
    if (!left.empty())
        *message += L"; these encrypted copies could not be removed: " + joinedPaths(left);
    return 0;
}

int extractMember(const std::wstring& archive, const std::string& name, const std::wstring& folderGiven,
                  std::wstring* message) {
    std::wstring opener;
    std::vector<tar::Member> members;
    const tar::Member* found = memberForOpener(archive, name, &opener, &members, message);
    if (!found) return 1;

    const std::wstring folder = absolutePath(withoutTrailingSeparators(folderGiven));
    plat::FileInfo info;
    if (!plat::fileInfo(folder, &info) || !info.isDirectory) {
        *message = formatWide(L"'%ls' is not a folder", folder.c_str());
        return 1;
    }
    // The member and everything below it, under the member's own last name.
    const std::string top = found->name;
    const std::size_t cut = top.size() - lastMemberPart(top).size();
    std::vector<tar::Member> chosen;
    for (const tar::Member& m : members)
        if (tar::isAtOrBelow(m.name, top) && (m.name != top || &m == found))
            chosen.push_back(m);
    for (const tar::Member& m : chosen) {
        if (!storableName(m.name.substr(cut))) {
            *message = formatWide(L"'%ls' has a name that cannot be a file name here; nothing was extracted",
                                  wide(m.name).c_str());
            return 1;
        }
    }
    const std::wstring target = folder + plat::kSep + tar::relativeDiskPath(top.substr(cut));
    if (plat::fileInfo(target, nullptr)) {
        *message = formatWide(L"'%ls' exists already; nothing was extracted", target.c_str());
        return 1;
    }

    std::vector<std::wstring> files, folders;
    for (const tar::Member& m : chosen) {
        const std::wstring path = folder + plat::kSep + tar::relativeDiskPath(m.name.substr(cut));
        int failed = 0;
        if (m.kind == tar::Kind::Folder) {
            failed = !plat::createDirectory(path);
            if (failed) *message = formatWide(L"cannot create the folder '%ls'", path.c_str());
            else folders.push_back(path);
        } else if (plat::fileInfo(path, nullptr)) {
            *message = formatWide(L"'%ls' exists already", path.c_str());
            failed = 1;
        } else {
            failed = copyMemberTo(archive, m, path, message);
            if (!failed) files.push_back(path);
        }
        if (failed) {
            removeWritten(files, folders, nullptr);
            *message += L"; nothing was extracted";
            return 1;
        }
    }

    if (runOpenerOrSay(opener, L"-d", target, L"decrypt", L"what was extracted stays there", message) != 0)
        return 1;
    *message = formatWide(L"'%ls' was extracted to '%ls'", wide(name).c_str(), target.c_str());
    return 0;
}

int removeMember(const std::wstring& archive, const std::string& name, std::wstring* message) {
    std::vector<tar::Member> members;
    if (readArchive(archive, &members, message) != 0) return 1;
    if (!userMember(members, name, message)) return 1;
    std::vector<tar::Planned> plan;
    for (const tar::Member& m : members)
        if (!tar::isAtOrBelow(m.name, name)) plan.push_back(tar::Planned{m, std::wstring()});
    std::wstring why;
    if (tar::commitArchive(archive, plan, &why) != 0) {
        *message = formatWide(L"'%ls' was not removed; the workspace is as it was: %ls", wide(name).c_str(),
                              why.c_str());
        return 1;
    }
    *message = formatWide(L"'%ls' was removed from the workspace", wide(name).c_str());
    return 0;
}

}  // namespace bkfm
