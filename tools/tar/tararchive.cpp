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
    if (a.isCarried || b.isCarried) return !a.isCarried && b.isCarried;
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

// Where a planned entry's bytes begin in the old archive, and how many are
// copied: a member's data, or a carried entry whole.
uint64_t oldOffset(const Planned& p) { return p.isCarried ? p.carried.offset : p.member.dataOffset; }
uint64_t dataLength(const Planned& p) {
    return p.isCarried ? p.carried.length : p.member.kind == Kind::Folder ? 0 : p.member.size;
}

// Opens the data of a planned entry, positioned at its first byte.
bool openSource(const Planned& p, FILE* oldArchive, Source* source, std::wstring* error) {
    if (p.sourcePath.empty()) {
        source->file = oldArchive;
        if (!oldArchive || plat::seekFile(oldArchive, static_cast<int64_t>(oldOffset(p)), SEEK_SET) != 0) {
            *error = formatWide(L"cannot read member '%ls' of the old archive: %ls",
                                shownName(p.isCarried ? p.carried.name : p.member.name).c_str(),
                                errnoText().c_str());
            return false;
        }
        return true;
    }
    source->file = plat::openFile(p.sourcePath, L"rbS");
    source->own = true;
    if (!source->file) {
        *error = formatWide(L"cannot read '%ls': %ls", escapedText(p.sourcePath).c_str(), errnoText().c_str());
        return false;
    }
    return true;
}

std::wstring sourceText(const Planned& p) {
    return p.sourcePath.empty()
               ? L"member '" + shownName(p.isCarried ? p.carried.name : p.member.name) + L"' of the old archive"
               : L"'" + escapedText(p.sourcePath) + L"'";
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
        if (!p.isCarried) {
            std::vector<uint8_t> headers = encodeHeaders(p.member);
            if (!writeAll(out, headers.data(), headers.size())) {
                *error = writeFailure + errnoText();
                return 1;
            }
            if (p.member.kind == Kind::Folder) continue;
        }
        Source source;
        if (!openSource(p, oldArchive, &source, error)) return 1;
        uint64_t left = dataLength(p);
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
        if (p.isCarried) continue;   // its padding came with it
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

// Compares `length` bytes of the written archive at `offset` with the
// source; 0 when equal.
int compareBytes(FILE* written, uint64_t offset, uint64_t length, const Planned& p, FILE* oldArchive,
                 const std::wstring& tempPath, std::wstring* error) {
    Source source;
    if (!openSource(p, oldArchive, &source, error)) return 1;
    if (plat::seekFile(written, static_cast<int64_t>(offset), SEEK_SET) != 0) {
        *error = formatWide(L"cannot read back '%ls': %ls", tempPath.c_str(), errnoText().c_str());
        return 1;
    }
    std::vector<uint8_t> mine(kCopyChunk), theirs(kCopyChunk);
    for (uint64_t left = length; left > 0;) {
        std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(left, kCopyChunk));
        if (std::fread(mine.data(), 1, want, written) != want) {
            *error = formatWide(L"cannot read back '%ls': %ls", tempPath.c_str(), errnoText().c_str());
            return 1;
        }
        if (std::fread(theirs.data(), 1, want, source.file) != want ||
            std::memcmp(mine.data(), theirs.data(), want) != 0) {
            *error = formatWide(L"%ls differs from what the archive written to '%ls' holds",
                                sourceText(p).c_str(), tempPath.c_str());
            return 1;
        }
        left -= want;
    }
    if (!endsHere(p, source.file)) {
        *error = formatWide(L"%ls changed while it was archived", sourceText(p).c_str());
        return 1;
    }
    return 0;
}

// Reads the written archive back: the same members in the same order, and
// every member's data equal to its source, byte for byte; the carried
// entries likewise.
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
    std::vector<Refused> refused;
    std::wstring why;
    if (readMembers(written, &members, &why, &refused) != 0) {
        *error = formatWide(L"the archive written to '%ls' does not read back: %ls", tempPath.c_str(),
                            why.c_str());
        return 1;
    }
    std::size_t carried = 0;
    for (const Planned& p : plan) carried += p.isCarried ? 1 : 0;
    if (members.size() != plan.size() - carried || refused.size() != carried) {
        *error = formatWide(L"the archive written to '%ls' holds %u members instead of %u", tempPath.c_str(),
                            static_cast<unsigned>(members.size() + refused.size()),
                            static_cast<unsigned>(plan.size()));
        return 1;
    }
    std::size_t member = 0, entry = 0;
    for (const Planned& p : plan) {
        if (p.isCarried) {
            const Refused& r = refused[entry++];
            if (r.length != p.carried.length ||
                compareBytes(written, r.offset, r.length, p, oldArchive, tempPath, error) != 0) {
                if (r.length != p.carried.length)
                    *error = formatWide(L"the archive written to '%ls' does not hold the entry '%ls' as it was",
                                        tempPath.c_str(), shownName(p.carried.name).c_str());
                return 1;
            }
            continue;
        }
        const Member& m = members[member++];
        if (m.name != p.member.name || m.kind != p.member.kind || m.size != p.member.size) {
            *error = formatWide(L"the archive written to '%ls' does not hold member '%ls' as written",
                                tempPath.c_str(), shownName(p.member.name).c_str());
            return 1;
        }
        if (m.kind == Kind::Folder) continue;
        if (compareBytes(written, m.dataOffset, m.size, p, oldArchive, tempPath, error) != 0) return 1;
    }
    return 0;
}

// The old archive, when members are kept from it: opened, and each kept
// member (and carried entry) still found where the plan expects it.
int openOldArchive(const std::wstring& archivePath, const std::vector<Planned>& plan, FILE** old,
                   std::wstring* error) {
    *old = nullptr;
    bool needed = false;
    for (const Planned& p : plan)
        needed = needed || p.isCarried || (p.sourcePath.empty() && p.member.kind == Kind::File);
    if (!needed) return 0;
    FILE* f = plat::openFile(archivePath, L"rb");
    if (!f) {
        *error = formatWide(L"cannot read '%ls': %ls", archivePath.c_str(), errnoText().c_str());
        return 1;
    }
    std::vector<Member> members;
    std::vector<Refused> refused;
    std::wstring why;
    if (readMembers(f, &members, &why, &refused) != 0) {
        std::fclose(f);
        *error = formatWide(L"cannot read '%ls': %ls", archivePath.c_str(), why.c_str());
        return 1;
    }
    std::set<std::pair<std::string, std::pair<uint64_t, uint64_t>>> files;
    std::set<std::pair<uint64_t, uint64_t>> entries;
    for (const Member& m : members)
        if (m.kind == Kind::File) files.insert({m.name, {m.dataOffset, m.size}});
    for (const Refused& r : refused) entries.insert({r.offset, r.length});
    for (const Planned& p : plan) {
        bool found = true;
        if (p.isCarried) found = entries.count({p.carried.offset, p.carried.length}) != 0;
        else if (p.sourcePath.empty() && p.member.kind == Kind::File)
            found = files.count({p.member.name, {p.member.dataOffset, p.member.size}}) != 0;
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

// ---------------------------------------------------------------- the lock

std::wstring lockPathOf(const std::wstring& archivePath) { return archivePath + L".lock"; }

// Makes the lock file when it is missing; false when it can be made neither.
bool ensureLockFile(const std::wstring& path, std::wstring* error) {
    errno = 0;
    FILE* f = plat::createNewFile(path);
    if (f) {
        std::fclose(f);
        return true;
    }
    if (errno == EEXIST) return true;
    *error = formatWide(L"cannot make the workspace's lock file '%ls': %ls", path.c_str(), errnoText().c_str());
    return false;
}

// ---------------------------------------------------------------- changes

// The first bytes of a member's data, which tell one version of it from another.
constexpr std::size_t kMarkBytes = 32;

// The members at and below a name, with what tells their versions apart, in
// a form that compares as a whole.
std::vector<std::string> versionsAt(const Snapshot& s, const std::string& top, bool below) {
    std::vector<std::string> found;
    for (std::size_t i = 0; i < s.members.size(); ++i) {
        const Member& m = s.members[i];
        if (below ? !isAtOrBelow(m.name, top) : m.name != top) continue;
        found.push_back(m.name + '\0' + (m.kind == Kind::Folder ? "d" : "f") + '\0' +
                        std::to_string(m.size) + '\0' + std::to_string(m.modified) + '\0' + s.marks[i]);
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The first name the change touches that others changed meanwhile; empty
// when there is none.
std::string changedMeanwhile(const Snapshot& base, const Snapshot& now, const Change& change) {
    std::vector<std::string> tops = change.removed;
    for (const Planned& p : change.added) tops.push_back(p.member.name);
    for (const std::string& top : tops) {
        if (versionsAt(base, top, true) != versionsAt(now, top, true)) return top;
        // A folder a new member needs must not have become a file.
        for (std::size_t slash = top.find('/'); slash != std::string::npos; slash = top.find('/', slash + 1)) {
            const std::string folder = top.substr(0, slash);
            for (const Member& m : now.members)
                if (m.name == folder && m.kind == Kind::File) return folder;
        }
    }
    return std::string();
}

bool sameArchiveFile(const plat::FileId& a, const plat::FileId& b) {
    return plat::sameFileId(a, b) && a.size == b.size && a.modified == b.modified;
}

}  // namespace

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

std::vector<Planned> mergeMembers(const std::vector<Member>& old, const std::vector<Planned>& added,
                                  const std::vector<Refused>& refused) {
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
        if (!replaced) {
            Planned kept;
            kept.member = m;
            merged.push_back(kept);
        }
    }
    for (const Refused& r : refused) {
        Planned p;
        p.isCarried = true;
        p.carried = r;
        merged.push_back(p);
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

int lockWorkspace(const std::wstring& archivePath, bool exclusive, WorkspaceLock* lock, std::wstring* error) {
    *lock = WorkspaceLock();
    const std::wstring path = lockPathOf(archivePath);
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::wstring why;
        if (!ensureLockFile(path, &why)) {
            if (exclusive) {
                *error = why;
                return 1;
            }
            return 0;   // nobody can change the archive there either
        }
        errno = 0;
        // Read and write, so that the last holder can take it whole and
        // remove it; a reader that may not write reads.
        FILE* f = plat::openFile(path, L"rb+");
        if (!f && !exclusive && errno != ENOENT) f = plat::openFile(path, L"rb");
        if (!f) {
            if (errno == ENOENT) continue;   // removed by its last holder just now
            if (!exclusive) return 0;
            *error = formatWide(L"cannot open the workspace's lock file '%ls': %ls", path.c_str(),
                                errnoText().c_str());
            return 1;
        }
        if (plat::lockRange(f, 0, 1, exclusive, true) != 0) {
            std::fclose(f);
            *error = formatWide(L"cannot lock the workspace's lock file '%ls': %ls", path.c_str(),
                                systemText().c_str());
            return 1;
        }
        // The holder before may have removed the file while this one waited:
        // the lock counts only on the file that has the name.
        plat::FileId held, named;
        if (plat::streamIdentity(f, &held) && plat::fileIdentity(path, &named) && plat::sameFileId(held, named)) {
            lock->file = f;
            lock->path = path;
            lock->exclusive = exclusive;
            return 0;
        }
        std::fclose(f);
    }
    *error = formatWide(L"cannot lock the workspace's lock file '%ls': it keeps being replaced", path.c_str());
    return 1;
}

void unlockWorkspace(WorkspaceLock* lock) {
    if (!lock->file) return;
    // The last holder removes the file, and only while it is empty (a file
    // of that name that holds anything is not the lock's).
    plat::FileId held;
    const bool empty = plat::streamIdentity(lock->file, &held) && held.size == 0;
    if (plat::kSep == L'/') {
        // Removed while held alone: a waiter then finds the name gone and
        // starts afresh.
        if (empty && (lock->exclusive || plat::lockRange(lock->file, 0, 1, true, false) == 0))
            plat::deleteFile(lock->path);
        std::fclose(lock->file);
    } else {
        // Windows removes no file that another has open: a holder or a
        // waiter keeps it.
        std::fclose(lock->file);
        if (empty) plat::deleteFile(lock->path);
    }
    *lock = WorkspaceLock();
}

int readSnapshot(const std::wstring& archivePath, Snapshot* snapshot, std::wstring* error) {
    *snapshot = Snapshot();
    FILE* f = plat::openFile(archivePath, L"rb");
    if (!f) {
        *error = formatWide(L"cannot open the workspace '%ls': %ls", archivePath.c_str(), errnoText().c_str());
        return 1;
    }
    std::wstring why;
    int failed = 0;
    if (!plat::streamIdentity(f, &snapshot->id)) {
        why = systemText();
        failed = 1;
    }
    if (!failed) failed = readMembers(f, &snapshot->members, &why, &snapshot->refused);
    for (std::size_t i = 0; !failed && i < snapshot->members.size(); ++i) {
        const Member& m = snapshot->members[i];
        std::string mark(static_cast<std::size_t>(std::min<uint64_t>(m.size, kMarkBytes)), '\0');
        if (m.kind == Kind::File && !mark.empty() &&
            (plat::seekFile(f, static_cast<int64_t>(m.dataOffset), SEEK_SET) != 0 ||
             std::fread(&mark[0], 1, mark.size(), f) != mark.size())) {
            why = errnoText();
            failed = 1;
        }
        snapshot->marks.push_back(mark);
    }
    std::fclose(f);
    if (failed) *error = formatWide(L"cannot read the workspace '%ls': %ls", archivePath.c_str(), why.c_str());
    return failed;
}

int readWorkspace(const std::wstring& archivePath, Snapshot* snapshot, std::wstring* error) {
    WorkspaceLock lock;
    if (lockWorkspace(archivePath, false, &lock, error) != 0) return 1;
    const int failed = readSnapshot(archivePath, snapshot, error);
    unlockWorkspace(&lock);
    return failed;
}

std::string fileMark(const std::wstring& path) {
    std::string mark(kMarkBytes, '\0');
    FILE* f = plat::openFile(path, L"rb");
    if (!f) return std::string();
    mark.resize(std::fread(&mark[0], 1, mark.size(), f));
    std::fclose(f);
    return mark;
}

ChangeOutcome changeWorkspace(const std::wstring& archivePath, const Snapshot& base, const Change& change,
                              std::wstring* error, Snapshot* now) {
    WorkspaceLock lock;
    if (lockWorkspace(archivePath, true, &lock, error) != 0) return ChangeOutcome::Failed;
    Snapshot current;
    ChangeOutcome outcome = ChangeOutcome::Done;
    if (readSnapshot(archivePath, &current, error) != 0) {
        outcome = ChangeOutcome::Failed;
    } else {
        // Unchanged since it was read, or changed only where this change
        // does not reach: the change goes on top of the archive as it is.
        const std::string touched =
            sameArchiveFile(base.id, current.id) ? std::string() : changedMeanwhile(base, current, change);
        if (!touched.empty()) {
            *error = formatWide(L"'%ls' in the workspace was changed by someone else meanwhile",
                                shownName(touched).c_str());
            outcome = ChangeOutcome::Conflict;
        } else {
            std::vector<Member> kept;
            for (const Member& m : current.members) {
                bool removed = false;
                for (const std::string& r : change.removed) removed = removed || isAtOrBelow(m.name, r);
                if (!removed) kept.push_back(m);
            }
            std::vector<Planned> plan = mergeMembers(kept, change.added, current.refused);
            orderMembers(&plan);
            if (commitArchive(archivePath, plan, error) != 0) outcome = ChangeOutcome::Failed;
        }
    }
    unlockWorkspace(&lock);
    if (now) *now = std::move(current);
    return outcome;
}

}  // namespace tar

