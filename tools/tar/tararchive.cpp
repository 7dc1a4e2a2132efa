#include "tools/tar/tararchive.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "diag/error.h"
#include "diag/format.h"
#include "platform/platform.h"
#include "platform/utf8.h"

namespace tar {

const char kMarkerName[] = "!          !           !";

namespace {

constexpr std::size_t kCopyChunk = 1 << 20;

std::wstring errnoText() { return plat::stdErrorMessage(errno); }

// The last system error's text without the line break Windows ends it with.
std::wstring systemText() {
    std::wstring text = systemErrorText();
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

std::vector<std::string> partsOf(const std::string& name) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = name.find('/', start);
        parts.push_back(name.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return parts;
        start = slash + 1;
    }
}

bool comesFirst(const Planned& a, const Planned& b) {
    const bool aMarker = a.member.name == kMarkerName;
    const bool bMarker = b.member.name == kMarkerName;
    if (aMarker != bMarker) return aMarker;
    // std::string compares bytes as unsigned values.
    return partsOf(a.member.name) < partsOf(b.member.name);
}

// A name for the new archive beside the old one that no file holds yet.
bool freshTemporaryName(const std::wstring& archivePath, std::wstring* name) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        uint8_t random[4];
        if (!plat::cryptoRandom(random, sizeof random)) return false;
        std::wstring candidate =
            formatWide(L"%ls.%02x%02x%02x%02x.tmp", archivePath.c_str(), random[0], random[1],
                       random[2], random[3]);
        if (!plat::fileInfo(candidate, nullptr)) {
            *name = candidate;
            return true;
        }
    }
    return false;
}

// A stream that the writer and the checker read members' data from.
struct Source {
    FILE* file = nullptr;
    bool own = false;   // opened here for one member, closed after it
    ~Source() {
        if (own && file) std::fclose(file);
    }
};

// Opens the data of a planned member, positioned at its first byte.
bool openSource(const Planned& p, FILE* oldArchive, Source* source, std::wstring* error) {
    if (p.sourcePath.empty()) {
        source->file = oldArchive;
        if (!oldArchive || plat::seekFile(oldArchive, static_cast<int64_t>(p.member.dataOffset), SEEK_SET) != 0) {
            *error = formatWide(L"cannot read member '%ls' of the old archive: %ls",
                                utf8::toWide(p.member.name).c_str(), errnoText().c_str());
            return false;
        }
        return true;
    }
    source->file = plat::openFile(p.sourcePath, L"rbS");
    source->own = true;
    if (!source->file) {
        *error = formatWide(L"cannot read '%ls': %ls", p.sourcePath.c_str(), errnoText().c_str());
        return false;
    }
    return true;
}

std::wstring sourceText(const Planned& p) {
    return p.sourcePath.empty() ? L"member '" + utf8::toWide(p.member.name) + L"' of the old archive"
                                : L"'" + p.sourcePath + L"'";
}

// After its planned size, a file on disk must end: a file that grew or
// shrank while it was read was not archived whole.
bool endsHere(const Planned& p, FILE* f) {
    return !p.sourcePath.empty() ? std::fgetc(f) == EOF && !std::ferror(f) : true;
}

bool writeAll(FILE* out, const void* data, std::size_t n) {
    return n == 0 || std::fwrite(data, 1, n, out) == n;
}

int writeArchive(FILE* out, const std::wstring& tempPath, const std::vector<Planned>& plan,
                 FILE* oldArchive, std::wstring* error) {
    std::vector<uint8_t> buffer(kCopyChunk);
    const std::wstring writeFailure = L"cannot write '" + tempPath + L"': ";
    for (const Planned& p : plan) {
        std::vector<uint8_t> headers = encodeHeaders(p.member);
        if (!writeAll(out, headers.data(), headers.size())) {
            *error = writeFailure + errnoText();
            return 1;
        }
        if (p.member.kind == Kind::Folder) continue;
        Source source;
        if (!openSource(p, oldArchive, &source, error)) return 1;
        uint64_t left = p.member.size;
        while (left > 0) {
            std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(left, buffer.size()));
            std::size_t got = std::fread(buffer.data(), 1, want, source.file);
            if (got != want) {
                *error = std::ferror(source.file)
                             ? formatWide(L"cannot read %ls: %ls", sourceText(p).c_str(), errnoText().c_str())
                             : formatWide(L"%ls changed while it was archived: it became shorter",
                                          sourceText(p).c_str());
                return 1;
            }
            if (!writeAll(out, buffer.data(), got)) {
                *error = writeFailure + errnoText();
                return 1;
            }
            left -= got;
        }
        if (!endsHere(p, source.file)) {
            *error = formatWide(L"%ls changed while it was archived: it became longer", sourceText(p).c_str());
            return 1;
        }
        std::memset(buffer.data(), 0, kBlockSize);
        if (!writeAll(out, buffer.data(), static_cast<std::size_t>(paddingAfter(p.member.size)))) {
            *error = writeFailure + errnoText();
            return 1;
        }
    }
    std::memset(buffer.data(), 0, 2 * kBlockSize);
    if (!writeAll(out, buffer.data(), 2 * kBlockSize)) {
        *error = writeFailure + errnoText();
        return 1;
    }
    return 0;
}

// Reads the written archive back: the same members in the same order, and
// every member's data equal to its source, byte for byte.
int checkArchive(const std::wstring& tempPath, const std::vector<Planned>& plan, FILE* oldArchive,
                 std::wstring* error) {
    FILE* written = plat::openFile(tempPath, L"rbS");
    if (!written) {
        *error = formatWide(L"cannot read back '%ls': %ls", tempPath.c_str(), errnoText().c_str());
        return 1;
    }
    struct Closer {
        FILE* f;
        ~Closer() { std::fclose(f); }
    } closer{written};

    std::vector<Member> members;
    std::wstring why;
    if (readMembers(written, &members, &why) != 0) {
        *error = formatWide(L"the archive written to '%ls' does not read back: %ls", tempPath.c_str(),
                            why.c_str());
        return 1;
    }
    if (members.size() != plan.size()) {
        *error = formatWide(L"the archive written to '%ls' holds %u members instead of %u", tempPath.c_str(),
                            static_cast<unsigned>(members.size()), static_cast<unsigned>(plan.size()));
        return 1;
    }
    std::vector<uint8_t> mine(kCopyChunk), theirs(kCopyChunk);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const Planned& p = plan[i];
        const Member& m = members[i];
        if (m.name != p.member.name || m.kind != p.member.kind || m.size != p.member.size) {
            *error = formatWide(L"the archive written to '%ls' does not hold member '%ls' as written",
                                tempPath.c_str(), utf8::toWide(p.member.name).c_str());
            return 1;
        }
        if (m.kind == Kind::Folder) continue;
        Source source;
        if (!openSource(p, oldArchive, &source, error)) return 1;
        if (plat::seekFile(written, static_cast<int64_t>(m.dataOffset), SEEK_SET) != 0) {
            *error = formatWide(L"cannot read back '%ls': %ls", tempPath.c_str(), errnoText().c_str());
            return 1;
        }
        uint64_t left = m.size;
        while (left > 0) {
            std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(left, kCopyChunk));
            if (std::fread(mine.data(), 1, want, written) != want) {
                *error = formatWide(L"cannot read back '%ls': %ls", tempPath.c_str(), errnoText().c_str());
                return 1;
            }
            if (std::fread(theirs.data(), 1, want, source.file) != want ||
                std::memcmp(mine.data(), theirs.data(), want) != 0) {
                *error = formatWide(L"member '%ls' of the archive written to '%ls' differs from %ls",
                                    utf8::toWide(p.member.name).c_str(), tempPath.c_str(),
                                    sourceText(p).c_str());
                return 1;
            }
            left -= want;
        }
        if (!endsHere(p, source.file)) {
            *error = formatWide(L"%ls changed while it was archived", sourceText(p).c_str());
            return 1;
        }
    }
    return 0;
}

// The old archive, when members are kept from it: opened, and each kept
// member still found where the plan expects it.
int openOldArchive(const std::wstring& archivePath, const std::vector<Planned>& plan, FILE** old,
                   std::wstring* error) {
    *old = nullptr;
    bool needed = false;
    for (const Planned& p : plan) needed = needed || (p.sourcePath.empty() && p.member.kind == Kind::File);
    if (!needed) return 0;
    FILE* f = plat::openFile(archivePath, L"rb");
    if (!f) {
        *error = formatWide(L"cannot read '%ls': %ls", archivePath.c_str(), errnoText().c_str());
        return 1;
    }
    std::vector<Member> members;
    std::wstring why;
    if (readMembers(f, &members, &why) != 0) {
        std::fclose(f);
        *error = formatWide(L"cannot read '%ls': %ls", archivePath.c_str(), why.c_str());
        return 1;
    }
    for (const Planned& p : plan) {
        if (!p.sourcePath.empty() || p.member.kind != Kind::File) continue;
        bool found = false;
        for (const Member& m : members) {
            found = found || (m.name == p.member.name && m.dataOffset == p.member.dataOffset &&
                              m.size == p.member.size && m.kind == Kind::File);
        }
        if (!found) {
            std::fclose(f);
            *error = formatWide(L"'%ls' was changed by someone else meanwhile; nothing was written",
                                archivePath.c_str());
            return 1;
        }
    }
    *old = f;
    return 0;
}

}  // namespace

std::string memberName(const std::wstring& relativePath) {
    std::wstring name = relativePath;
    for (wchar_t& c : name)
        if (c == plat::kSep) c = L'/';
    return utf8::fromWide(name);
}

std::wstring relativeDiskPath(const std::string& memberName) {
    std::wstring path = utf8::toWide(memberName);
    for (wchar_t& c : path)
        if (c == L'/') c = plat::kSep;
    return path;
}

int scanFolder(const std::wstring& folder, const std::string& prefix, std::vector<Planned>* plan,
               std::vector<std::wstring>* skipped, std::wstring* error) {
    std::wstring base = folder;
    if (base.empty() || (base.back() != plat::kSep && base.back() != L'/')) base += plat::kSep;
    plat::DirEntry entry;
    plat::DirHandle listing = plat::findFirst(base, &entry);
    if (!listing) {
        *error = formatWide(L"cannot list the folder '%ls': %ls", folder.c_str(),
                            systemText().c_str());
        return 1;
    }
    int result = 0;
    int more = 1;
    for (; more == 1; more = plat::findNext(listing, &entry)) {
        if (entry.name == L"." || entry.name == L"..") continue;
        const std::wstring path = base + entry.name;
        if (entry.isLink || entry.isSpecial) {
            skipped->push_back(path);
            continue;
        }
        Planned p;
        p.member.name = prefix + memberName(entry.name);
        p.member.kind = entry.isDirectory ? Kind::Folder : Kind::File;
        p.member.size = entry.isDirectory ? 0 : entry.size;
        int64_t seconds = 0;
        if (plat::modifiedTime(path, &seconds)) p.member.modified = seconds;
        if (!entry.isDirectory) p.sourcePath = path;
        plan->push_back(p);
        if (entry.isDirectory && scanFolder(path, p.member.name + "/", plan, skipped, error) != 0) {
            result = 1;
            break;
        }
    }
    if (more < 0) {
        *error = formatWide(L"cannot list the folder '%ls': %ls", folder.c_str(),
                            systemText().c_str());
        result = 1;
    }
    plat::findClose(listing);
    return result;
}

bool isAtOrBelow(const std::string& name, const std::string& top) {
    return name == top || (name.size() > top.size() && name.compare(0, top.size(), top) == 0 &&
                           name[top.size()] == '/');
}

std::vector<Planned> mergeMembers(const std::vector<Member>& old, const std::vector<Planned>& added) {
    std::set<std::string> addedNames, addedFiles;
    for (const Planned& p : added) {
        addedNames.insert(p.member.name);
        if (p.member.kind == Kind::File) addedFiles.insert(p.member.name);
    }
    std::vector<Planned> merged = added;
    for (const Member& m : old) {
        bool replaced = addedNames.count(m.name) != 0;
        for (std::size_t slash = m.name.find('/'); !replaced && slash != std::string::npos;
             slash = m.name.find('/', slash + 1)) {
            replaced = addedFiles.count(m.name.substr(0, slash)) != 0;
        }
        if (!replaced) merged.push_back(Planned{m, std::wstring()});
    }
    return merged;
}

void orderMembers(std::vector<Planned>* plan) {
    std::stable_sort(plan->begin(), plan->end(), comesFirst);
}

int commitArchive(const std::wstring& archivePath, const std::vector<Planned>& plan,
                  std::wstring* error) {
    FILE* old = nullptr;
    if (openOldArchive(archivePath, plan, &old, error) != 0) return 1;

    std::wstring tempPath;
    if (!freshTemporaryName(archivePath, &tempPath)) {
        if (old) std::fclose(old);
        *error = formatWide(L"cannot find a free temporary name beside '%ls'", archivePath.c_str());
        return 1;
    }
    FILE* out = plat::openFile(tempPath, L"wb");
    if (!out) {
        if (old) std::fclose(old);
        *error = formatWide(L"cannot create '%ls': %ls", tempPath.c_str(), errnoText().c_str());
        return 1;
    }
    int failed = writeArchive(out, tempPath, plan, old, error);
    if (!failed && plat::commitFile(out) != 0) {
        *error = formatWide(L"cannot write '%ls': %ls", tempPath.c_str(), errnoText().c_str());
        failed = 1;
    }
    if (std::fclose(out) != 0 && !failed) {
        *error = formatWide(L"cannot write '%ls': %ls", tempPath.c_str(), errnoText().c_str());
        failed = 1;
    }
    if (!failed) failed = checkArchive(tempPath, plan, old, error);
    // The old archive is closed before it is replaced: Windows renames over
    // no open file.
    if (old) std::fclose(old);
    if (!failed && !plat::moveReplace(tempPath, archivePath)) {
        *error = formatWide(L"cannot rename '%ls' to '%ls': %ls", tempPath.c_str(), archivePath.c_str(),
                            systemText().c_str());
        failed = 1;
    }
    if (failed) plat::removeFile(tempPath);
    return failed;
}

}  // namespace tar
