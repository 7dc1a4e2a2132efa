// The journal of work in progress (see pending.h).
//
// Files in SETTINGS/PENDING, named after the build ('w' for Windows, 'p'
// for POSIX, so that the two builds sharing a key drive never take over
// each other's records) and a random instance id:
//   <b>-<id>.lock          held locked by the running instance; made as
//   <b>-<id>.lock.locking  and locked before it takes its name
//   <b>-<id>-<n>.rec       record file n of that instance
//   <b>-<id>-<n>.new       a record file being written; renamed over .rec
//
// A record file: the 8 bytes "VKPEND" 0 2 and the build (32 bits), then one
// or more records, each: the kind, the file identity (volume, index,
// creation time, size, modification time, each 64-bit), the counterpart's
// identity and the folder's (the same five each), the number of paths, each path as its length
// followed by its code units (32 bits each, so that names the system
// accepts but Unicode does not survive), the counterpart's path the same
// way, and the end mark "END!". All numbers are little-endian. Files of
// the first format ("VKPEND" 0 1: one record without counterpart) are
// still read.
//
// Work on one file has a record file of its own. Work on a batch of files
// (a dropped folder) gathers the records of the whole batch in one record
// file, written and committed once for all of them; a record of the batch
// whose work is done stays in it until the last of the batch is done, and
// the file then goes at once. Recovery reads the two alike; a record that
// outlived its work finds nothing left to do (its files are gone or no
// longer the ones recorded).

#include "codec/pending.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "codec/bufferedwrite.h"
#include "codec/decrypt.h"
#include "codec/expunge.h"
#include "codec/format.h"
#include "codec/workingcopy.h"
#include "diag/error.h"
#include "diag/format.h"
#include "diag/log.h"
#include "drive/layout.h"
#include "drive/util.h"
#include "platform/platform.h"

namespace {

#ifdef _WIN32
constexpr wchar_t kBuildTag = L'w';
constexpr uint32_t kBuildCode = 1;
#else
constexpr wchar_t kBuildTag = L'p';
constexpr uint32_t kBuildCode = 2;
#endif

const uint8_t kMagic[6] = {'V', 'K', 'P', 'E', 'N', 'D'};
constexpr uint8_t kFirstFormat = 1;
constexpr uint8_t kFormat = 2;
constexpr uint32_t kEndMark = 0x21444E45;   // "END!"
constexpr std::size_t kLargestRecord = 1 << 20;
constexpr std::size_t kIdDigits = 16;

// This instance's place in the journal.
struct Owner {
    FILE* lock = nullptr;
    std::wstring folder;   // absolute, with its trailing separator
    std::wstring id;
    uint32_t nextTicket = 1;
    // The records not yet ended, each with its ticket and the record file
    // that holds it (numbered after the first ticket it held).
    struct Entry {
        uint32_t ticket;
        uint32_t file;
        PendingRecord record;
        bool ended;   // done, and its file not yet removed
    };
    std::vector<Entry> open;
};
Owner owner;

std::vector<RecoveredErase> recovered;

std::wstring journalFolder() {
    std::wstring folder = plat::absolutePath(kPendingFolder);
    if (folder.empty() || folder.back() != plat::kSep) folder += plat::kSep;
    return folder;
}

std::wstring lockPath(const std::wstring& folder, const std::wstring& id) {
    return folder + kBuildTag + L"-" + id + L".lock";
}

std::wstring recordPath(const std::wstring& folder, const std::wstring& id, uint32_t ticket,
                        const wchar_t* extension) {
    return folder + kBuildTag + L"-" + id + L"-" + std::to_wstring(ticket) + extension;
}

bool endsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::wstring randomId() {
    uint8_t bytes[kIdDigits / 2];
    if (!plat::cryptoRandom(bytes, sizeof bytes)) return std::wstring();
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring id;
    for (uint8_t b : bytes) {
        id += digits[b >> 4];
        id += digits[b & 15];
    }
    return id;
}

// ------------------------------------------------------------ the format

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put64(std::vector<uint8_t>& out, uint64_t v) {
    put32(out, static_cast<uint32_t>(v));
    put32(out, static_cast<uint32_t>(v >> 32));
}
void putId(std::vector<uint8_t>& out, const plat::FileId& id) {
    put64(out, id.volume);
    put64(out, id.index);
    put64(out, static_cast<uint64_t>(id.created));
    put64(out, id.size);
    put64(out, static_cast<uint64_t>(id.modified));
}
void putPath(std::vector<uint8_t>& out, const std::wstring& path) {
    put32(out, static_cast<uint32_t>(path.size()));
    for (wchar_t c : path) put32(out, static_cast<uint32_t>(c));
}

void encodeRecord(std::vector<uint8_t>& out, const PendingRecord& record) {
    put32(out, static_cast<uint32_t>(record.kind));
    putId(out, record.id);
    putId(out, record.counterpartId);
    putId(out, record.folderId);
    put32(out, static_cast<uint32_t>(record.paths.size()));
    for (const std::wstring& path : record.paths) putPath(out, path);
    putPath(out, record.counterpart);
    put32(out, kEndMark);
}

std::vector<uint8_t> encode(const std::vector<const PendingRecord*>& records) {
    std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
    out.push_back(0);
    out.push_back(kFormat);
    put32(out, kBuildCode);
    for (const PendingRecord* record : records) encodeRecord(out, *record);
    return out;
}

struct Reader {
    const std::vector<uint8_t>& data;
    std::size_t at = 0;
    bool ok = true;
    uint32_t get32() {
        if (data.size() - at < 4) {
            ok = false;
            return 0;
        }
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(data[at + i]) << (8 * i);
        at += 4;
        return v;
    }
    uint64_t get64() {
        uint64_t low = get32();
        return low | static_cast<uint64_t>(get32()) << 32;
    }
    plat::FileId getId() {
        plat::FileId id;
        id.volume = get64();
        id.index = get64();
        id.created = static_cast<int64_t>(get64());
        id.size = get64();
        id.modified = static_cast<int64_t>(get64());
        return id;
    }
    bool getPath(std::wstring* path) {
        const uint32_t length = get32();
        if (!ok || length > (data.size() - at) / 4) return ok = false;
        path->clear();
        for (uint32_t k = 0; k < length; ++k) *path += static_cast<wchar_t>(get32());
        return ok;
    }
};

bool knownKind(uint32_t kind) { return kind >= 1 && kind <= 6; }

bool decodeRecord(Reader& in, uint8_t format, PendingRecord* record) {
    const uint32_t kind = in.get32();
    if (!in.ok || !knownKind(kind) || (format == kFirstFormat && kind > 4)) return false;
    record->kind = static_cast<PendingKind>(kind);
    record->id = in.getId();
    record->counterpartId = format == kFirstFormat ? plat::FileId() : in.getId();
    record->folderId = format == kFirstFormat ? plat::FileId() : in.getId();
    const uint32_t count = in.get32();
    record->paths.clear();
    for (uint32_t i = 0; in.ok && i < count; ++i) {
        std::wstring path;
        if (!in.getPath(&path)) return false;
        record->paths.push_back(path);
    }
    record->counterpart.clear();
    if (format != kFirstFormat && !in.getPath(&record->counterpart)) return false;
    return in.ok && in.get32() == kEndMark && in.ok;
}

bool decode(const std::vector<uint8_t>& data, std::vector<PendingRecord>* records) {
    if (data.size() < 8 || std::memcmp(data.data(), kMagic, sizeof kMagic) != 0 || data[6] != 0 ||
        (data[7] != kFirstFormat && data[7] != kFormat))
        return false;
    const uint8_t format = data[7];
    Reader in{data, 8};
    if (in.get32() != kBuildCode) return false;
    records->clear();
    do {
        PendingRecord record;
        if (!decodeRecord(in, format, &record)) return false;
        records->push_back(record);
    } while (format != kFirstFormat && in.at < data.size());
    return in.at == data.size();
}

bool readWhole(const std::wstring& path, std::vector<uint8_t>* data) {
    FILE* f = plat::openFile(path, L"rb");
    if (!f) return false;
    data->clear();
    uint8_t chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0 && data->size() <= kLargestRecord)
        data->insert(data->end(), chunk, chunk + got);
    bool ok = !std::ferror(f) && data->size() <= kLargestRecord;
    std::fclose(f);
    return ok;
}

bool readRecords(const std::wstring& path, std::vector<PendingRecord>* records) {
    std::vector<uint8_t> data;
    return readWhole(path, &data) && decode(data, records);
}

// ------------------------------------------------------------ writing

// Takes a lock file of its own in the journal folder, once per run. It is
// locked before it appears under its name, so no other run can take it for
// the lock of an instance that has ended.
int ensureOwner() {
    const std::wstring folder = journalFolder();
    if (owner.lock && owner.folder == folder) return 0;
    if (owner.lock) resetPendingForTest();
    if (!plat::createDirectory(folder)) {
        reportError(L"cannot record the work in progress in '%ls': %ls", kPendingFolder,
                    systemErrorText());
        return 1;
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::wstring id = randomId();
        if (id.empty()) {
            reportError(L"cannot record the work in progress in '%ls': the system gives no random "
                        L"numbers",
                        kPendingFolder);
            return 1;
        }
        const std::wstring path = lockPath(folder, id);
        errno = 0;
        FILE* f = plat::createLockedFile(path);
        if (!f) {
            if (errno == EEXIST) continue;
            reportError(L"cannot record the work in progress in '%ls': %ls", path.c_str(),
                        stdErrorText());
            return 1;
        }
        owner.lock = f;
        owner.folder = folder;
        owner.id = id;
        owner.nextTicket = 1;
        owner.open.clear();
        return 0;
    }
    reportError(L"cannot record the work in progress in '%ls': no lock file of its own could be "
                L"made",
                kPendingFolder);
    return 1;
}

// Writes record file `file` anew with every open record it holds, and
// commits it.
int writeRecordFile(uint32_t file) {
    const std::wstring fresh = recordPath(owner.folder, owner.id, file, L".new");
    const std::wstring final = recordPath(owner.folder, owner.id, file, L".rec");
    std::vector<const PendingRecord*> records;
    for (const Owner::Entry& entry : owner.open)
        if (entry.file == file && !entry.ended) records.push_back(&entry.record);
    const std::vector<uint8_t> bytes = encode(records);
    errno = 0;
    FILE* f = plat::openFile(fresh, L"wb");
    if (!f) {
        reportError(L"cannot record the work in progress in '%ls': %ls", fresh.c_str(),
                    stdErrorText());
        return 1;
    }
    bool written = std::fwrite(bytes.data(), bytes.size(), 1, f) == 1 && plat::commitFile(f) == 0;
    std::wstring cause = written ? L"" : stdErrorText();
    if (std::fclose(f) != 0 && written) {
        written = false;
        cause = stdErrorText();
    }
    if (!written) {
        plat::removeFile(fresh);
        reportError(L"cannot record the work in progress in '%ls': %ls", fresh.c_str(), cause.c_str());
        return 1;
    }
    if (!plat::moveReplace(fresh, final)) {
        std::wstring reason = systemErrorText();
        plat::removeFile(fresh);
        reportError(L"cannot record the work in progress in '%ls': %ls", final.c_str(), reason.c_str());
        return 1;
    }
    return 0;
}

void removeDurably(const std::wstring& path) {
    if (plat::deleteFile(path)) plat::commitFolderOf(path);
}

// ------------------------------------------------------------ finding the files again

std::vector<std::wstring>* warningsForTest = nullptr;

void warn(const std::wstring& text) {
    logMessage(L"%ls", text.c_str());
    if (warningsForTest) warningsForTest->push_back(text);
    else plat::messageBox(plat::BoxKind::Warning, caption, text);
}

std::wstring folderOf(const std::wstring& path) {
    std::size_t at = path.find_last_of(plat::kSeparators);
    return at == std::wstring::npos ? std::wstring() : path.substr(0, at + 1);
}

std::wstring nameOf(const std::wstring& path) { return path.substr(folderOf(path).size()); }

bool isFolder(const std::wstring& path) {
    plat::FileInfo info;
    return plat::fileInfo(path, &info) && info.isDirectory && !info.isLink;
}

// The same file whatever volume number its drive has now: a removable drive
// plugged in again may come back as another device.
bool sameFileAnyVolume(const plat::FileId& a, const plat::FileId& b) {
    return a.index == b.index && (a.created == 0 || b.created == 0 || a.created == b.created);
}

// Where a record's folder stands now: the folder it names, or the same path
// on another drive (a drive that got another letter), when it is the very
// folder recorded (whatever the device number of its drive now). Empty
// when it cannot be reached now: a drive not plugged in leaves nothing, or
// an empty folder where it is mounted, under that path.
std::wstring reachFolder(const std::wstring& recordedFolder, const plat::FileId& recorded) {
    if (recordedFolder.empty()) return std::wstring();
    auto isRecorded = [&](const std::wstring& folder) {
        plat::FileId now;
        return isFolder(folder) &&
               ((recorded.index == 0 && recorded.volume == 0) ||
                (plat::fileIdentity(folder, &now) && sameFileAnyVolume(now, recorded)));
    };
    if (isRecorded(recordedFolder)) return recordedFolder;
    for (const std::wstring& elsewhere : plat::samePathOnOtherDrives(recordedFolder))
        if (isRecorded(elsewhere)) return elsewhere;
    return std::wstring();
}

// A recorded path moved into the folder where the record's files stand now.
std::wstring movedTo(const std::wstring& folder, const std::wstring& recorded) {
    return folder + nameOf(recorded);
}

// ------------------------------------------------------------ erases

bool isErase(PendingKind kind) {
    return kind == PendingKind::Erase || kind == PendingKind::ErasePlaintext ||
           kind == PendingKind::EraseEncrypted;
}

// The names have the forms the program gives them, all in one folder: the
// random names of the file, and the counterpart beside it.
bool eraseConsistent(const PendingRecord& record) {
    if (record.paths.size() != 4 || record.paths[0].empty() || nameOf(record.paths[0]).empty()) return false;
    for (std::size_t i = 1; i < 4; ++i)
        if (!isRandomNameFor(record.paths[i], record.paths[0])) return false;
    if (record.kind == PendingKind::Erase) return true;
    const std::wstring& other = record.counterpart;
    return !other.empty() && folderOf(other) == folderOf(record.paths[0]) && !nameOf(other).empty() &&
           other != record.paths[0] && !isRandomNameFor(other, record.paths[0]);
}

// Where an erase's file stands now, held open for writing.
struct Found {
    bool reachable = false;    // its folder can be reached
    std::wstring folder;       // where the folder stands now
    std::wstring path;         // empty: no name holds the file (the erase was done)
    std::size_t step = 0;      // 0 its own name, 1 to 3 random name k
    FILE* file = nullptr;
};

// The erase's file under the last name it reached, or, stopped before the
// first rename, unchanged under its own name.
Found findErased(const PendingRecord& record) {
    Found found;
    found.folder = reachFolder(folderOf(record.paths[0]), record.folderId);
    found.reachable = !found.folder.empty();
    if (!found.reachable) return found;
    for (std::size_t k = record.paths.size(); k-- > 0;) {
        const std::wstring path = movedTo(found.folder, record.paths[k]);
        plat::FileId now;
        if (!plat::nameIdentity(path, &now) || now.kind != plat::FileKind::File ||
            !sameFileAnyVolume(now, record.id))
            continue;
        // Under its own name only the very version recorded: a file saved
        // there since is the user's.
        if (k == 0 && (now.size != record.id.size || now.modified != record.id.modified)) continue;
        plat::FileId held;
        FILE* f = plat::openNoFollow(path, true, &held);
        if (!f) {
            // There, but it cannot be opened for erasing now.
            found.path = path;
            found.step = k;
            return found;
        }
        if (!sameFileAnyVolume(held, record.id)) {
            std::fclose(f);
            continue;
        }
        found.path = path;
        found.step = k;
        found.file = f;
        return found;
    }
    return found;
}

// The counterpart holds the data of the file being erased: compared in
// full where the file still holds it; once the passes have begun, the
// counterpart must be the very file recorded, unchanged.
bool counterpartConfirmed(const PendingRecord& record, const Found& found, bool passesBegun) {
    if (record.kind == PendingKind::Erase) return false;
    const std::wstring counterpart = movedTo(found.folder, record.counterpart);
    plat::FileId now;
    if (!plat::nameIdentity(counterpart, &now) || now.kind != plat::FileKind::File) return false;
    const bool plaintextErase = record.kind == PendingKind::ErasePlaintext;
    const std::wstring& encrypted = plaintextErase ? counterpart : found.path;
    const std::wstring& plain = plaintextErase ? found.path : counterpart;
    const std::wstring plainName = nameOf(plaintextErase ? record.paths[0] : record.counterpart);
    if (passesBegun) {
        return sameFileAnyVolume(now, record.counterpartId) && now.size == record.counterpartId.size &&
               now.modified == record.counterpartId.modified;
    }
    int32_t isEncrypted = 0, isArchive = 0;
    return probeFile(encrypted.c_str(), &isEncrypted, &isArchive) == 0 && isEncrypted &&
           verifyEncryptedCopy(encrypted.c_str(), plain.c_str(), plainName.c_str()) == 0;
}

// Passes, then removal, of a found file through its handle.
int wipeFound(const Found& found, const std::wstring& shown) {
    plat::FileId held;
    if (!plat::streamIdentity(found.file, &held)) return 1;
    std::fclose(found.file);
    return wipeAndRemove(found.path, shown.c_str(), &held);
}

const wchar_t* counterpartWord(PendingKind kind) {
    return kind == PendingKind::ErasePlaintext ? L"its encrypted copy" : L"its plaintext";
}

// The erase is not finished: the file is kept, back under its own name
// where that is free, and the user told.
void keepUnconfirmed(const PendingRecord& record, const Found& found, bool passesBegun) {
    const std::wstring& original = record.paths[0];
    const std::wstring own = movedTo(found.folder, original);
    std::wstring why = record.kind == PendingKind::Erase
                           ? std::wstring(L"no copy of its data in another form is known")
                           : formatWide(L"%ls '%ls' is gone or no longer holds the same data",
                                        counterpartWord(record.kind),
                                        movedTo(found.folder, record.counterpart).c_str());
    if (passesBegun) {
        warn(formatWide(L"Erasing '%ls' was interrupted after it had begun to overwrite the file, and %ls. "
                        L"What is left of the file is kept as '%ls'.",
                        original.c_str(), why.c_str(), found.path.c_str()));
        return;
    }
    if (found.step == 0) {
        warn(formatWide(L"An interrupted run was about to erase '%ls', but %ls, so the file was not "
                        L"erased: it is kept as it is.",
                        original.c_str(), why.c_str()));
        return;
    }
    if (found.file && plat::renameHeld(found.file, found.path, own) == plat::HeldStep::Done) {
        warn(formatWide(L"An interrupted run was erasing '%ls', but %ls, so the file was not erased: it "
                        L"is back under its own name '%ls'.",
                        original.c_str(), why.c_str(), own.c_str()));
        return;
    }
    warn(formatWide(L"An interrupted run was erasing '%ls', but %ls, so the file was not erased. Its "
                    L"own name is taken; the file is kept as '%ls'.",
                    original.c_str(), why.c_str(), found.path.c_str()));
}

enum class Outcome { Done, Keep };

// Where the file of an erase that cannot be reached was left.
std::wstring whereLeft(const PendingRecord& record) {
    std::wstring names;
    for (std::size_t i = 1; i < record.paths.size(); ++i) names += L"\n" + nameOf(record.paths[i]);
    return formatWide(L"'%ls' was being erased when a run was interrupted, and its folder cannot be "
                      L"reached now (is its drive connected?). The file stands in '%ls', under its own "
                      L"name or one of these:%ls\nThe next run that reaches it finishes the work; the "
                      L"record stays in '%ls' until then.",
                      record.paths[0].c_str(), folderOf(record.paths[0]).c_str(), names.c_str(),
                      kPendingFolder);
}

Outcome finishErase(const PendingRecord& record) {
    Found found = findErased(record);
    if (!found.reachable) {
        warn(whereLeft(record));
        return Outcome::Keep;
    }
    if (found.path.empty()) {
        logMessage(L"nothing is left of '%ls', which an interrupted run was erasing", record.paths[0].c_str());
        return Outcome::Done;
    }
    const std::wstring& original = record.paths[0];
    if (!found.file) {
        warn(formatText(L"Erasing '%ls' was interrupted. The file is left as '%ls' and cannot be opened "
                        L"now: %ls",
                        original.c_str(), found.path.c_str(), stdErrorText()));
        return Outcome::Keep;
    }
    const bool passesBegun = found.step == 3 && holdsOverwriteData(found.file, found.path);
    if (!counterpartConfirmed(record, found, passesBegun)) {
        keepUnconfirmed(record, found, passesBegun);
        std::fclose(found.file);
        return Outcome::Done;
    }
    int failed = 0;
    if (found.step == 0) {
        // Stopped before the first rename: the whole erase, its names too.
        plat::FileId held;
        plat::streamIdentity(found.file, &held);
        std::fclose(found.file);
        failed = eraseFile(eraseOrderFor(
            found.path, held,
            record.kind == PendingKind::ErasePlaintext ? EraseRole::Plaintext : EraseRole::Encrypted,
            movedTo(found.folder, record.counterpart)));
    } else {
        failed = wipeFound(found, original);
    }
    if (failed) {
        warn(formatText(L"Erasing '%ls' was interrupted, and it could not be finished now: %ls",
                        original.c_str(), lastErrorText));
        return Outcome::Keep;
    }
    logMessage(L"finished erasing '%ls', which an interrupted run had left as '%ls'", original.c_str(),
               found.path.c_str());
    recovered.push_back({record.kind, original, movedTo(found.folder, record.counterpart)});
    return Outcome::Done;
}

std::wstring eraseLeftBehind(const PendingRecord& record) {
    Found found = findErased(record);
    if (found.file) std::fclose(found.file);
    return found.path;
}

// ------------------------------------------------------------ outputs

// The temporary name has the form the program gives it, beside its target.
bool outputConsistent(const PendingRecord& record) {
    return record.paths.size() == 2 &&
           (isTempNameOf(record.paths[0], record.paths[1]) || record.paths[0] == record.paths[1] + L".tmp");
}

// The temporary output a record names, where it stands now. A record is
// made before its output exists and learns the output's identity before
// anything is written into it: without an identity, only an empty file
// under the recorded name (its own, drawn at random) can be that output.
Found findOutput(const PendingRecord& record) {
    Found found;
    found.folder = reachFolder(folderOf(record.paths[0]), record.folderId);
    found.reachable = !found.folder.empty();
    if (!found.reachable) return found;
    const std::wstring path = movedTo(found.folder, record.paths[0]);
    plat::FileId now;
    if (!plat::nameIdentity(path, &now) || now.kind != plat::FileKind::File) return found;
    const bool identified = record.id.volume != 0 || record.id.index != 0;
    if (identified ? !sameFileAnyVolume(now, record.id) : now.size != 0) return found;
    found.path = path;
    return found;
}

Outcome finishOutput(const PendingRecord& record) {
    const bool plaintext = record.kind == PendingKind::PlainOutput;
    Found found = findOutput(record);
    if (!found.reachable) {
        // A partial encrypted file holds nothing to protect; a partial
        // plaintext must be found.
        if (plaintext) {
            warn(formatWide(L"A decryption was interrupted, and the folder of its partial plaintext '%ls' "
                            L"cannot be reached now (is its drive connected?). The next run that reaches "
                            L"it erases it; the record stays in '%ls' until then.",
                            record.paths[0].c_str(), kPendingFolder));
        } else {
            logMessage(L"the partial output '%ls' of an interrupted encryption cannot be reached now",
                       record.paths[0].c_str());
        }
        return Outcome::Keep;
    }
    if (found.path.empty()) return Outcome::Done;
    plat::FileId held;
    plat::nameIdentity(found.path, &held);
    if (plaintext) {
        if (wipeAndRemove(found.path, nullptr, &held) != 0) {
            warn(formatText(L"A decryption was interrupted. Its partial plaintext '%ls' could not be "
                            L"erased now: %ls",
                            found.path.c_str(), lastErrorText));
            return Outcome::Keep;
        }
        logMessage(L"erased '%ls', the partial plaintext of an interrupted decryption", found.path.c_str());
        return Outcome::Done;
    }
    errno = 0;
    const plat::HeldStep step = plat::removeExpected(found.path, held, false);
    const std::wstring cause = stdErrorText();
    if (step == plat::HeldStep::Failed) {
        warn(formatText(L"An encryption was interrupted. Its partial output '%ls' could not be "
                        L"removed: %ls",
                        found.path.c_str(), cause.c_str()));
        return Outcome::Keep;
    }
    logMessage(L"removed '%ls', the partial output of an interrupted encryption", found.path.c_str());
    return Outcome::Done;
}

std::wstring outputLeftBehind(const PendingRecord& record) {
    return record.kind == PendingKind::PlainOutput ? findOutput(record).path : std::wstring();
}

// ------------------------------------------------------------ working copies

// A working copy is found by its name in the key drive's TEMP folder (see
// workingcopy.h): a record is consistent when it names a copy and the
// encrypted file it came from.
bool workingCopyConsistent(const PendingRecord& record) {
    return record.paths.size() == 2 && !nameOf(record.paths[0]).empty() && !record.paths[1].empty();
}

Outcome finishWorkingCopyRecord(const PendingRecord& record) {
    return finishWorkingCopy(record) == 0 ? Outcome::Done : Outcome::Keep;
}

std::wstring workingCopyLeftBehind(const PendingRecord& record) {
    const std::wstring copy = workingCopyPath(record);
    return !copy.empty() && plat::fileInfo(copy, nullptr) ? copy : std::wstring();
}

// ------------------------------------------------------------ the kinds

// What each kind of record needs: whether a record is one this program
// could have written, how its work is finished, and where it left a
// plaintext (for the warning when the journal cannot be written).
struct KindHandler {
    PendingKind kind;
    bool (*consistent)(const PendingRecord&);
    Outcome (*finish)(const PendingRecord&);
    std::wstring (*leftBehind)(const PendingRecord&);
};

const KindHandler kHandlers[] = {
    {PendingKind::Erase, eraseConsistent, finishErase, eraseLeftBehind},
    {PendingKind::ErasePlaintext, eraseConsistent, finishErase, eraseLeftBehind},
    {PendingKind::EraseEncrypted, eraseConsistent, finishErase, eraseLeftBehind},
    {PendingKind::PlainOutput, outputConsistent, finishOutput, outputLeftBehind},
    {PendingKind::EncryptedOutput, outputConsistent, finishOutput, outputLeftBehind},
    {PendingKind::WorkingCopy, workingCopyConsistent, finishWorkingCopyRecord, workingCopyLeftBehind},
};

const KindHandler* handlerOf(PendingKind kind) {
    for (const KindHandler& handler : kHandlers)
        if (handler.kind == kind) return &handler;
    return nullptr;
}

// Finishes the work of one record of a stopped run where the record is
// consistent; Done when the record can go.
Outcome finishRecord(const std::wstring& file, const PendingRecord& record) {
    const KindHandler* handler = handlerOf(record.kind);
    if (!handler || !handler->consistent(record)) {
        warn(formatWide(L"The record of unfinished work '%ls' names files that this program would not "
                        L"have named so (it may have been changed). Nothing it names was touched; "
                        L"remove the record once you have checked those files.",
                        file.c_str()));
        return Outcome::Keep;
    }
    return handler->finish(record);
}

// ------------------------------------------------------------ taking over

// A journal that cannot be written (a key drive made read-only): the work
// of a stopped run cannot be taken over, but where it left a plaintext is
// told. The lock file opened for reading takes a shared lock, which a
// running instance's lock excludes; records without a lock file are a
// stopped run's (an instance makes its lock file before its records).
void tellUnfinished(const std::wstring& folder, const std::wstring& lock,
                    const std::vector<std::wstring>& names, bool lockGone) {
    if (!lockGone) {
        FILE* f = plat::openFile(lock, L"rb");
        if (!f) return;
        const bool ended = plat::lockRange(f, 0, 1, false, false) == 0;
        std::fclose(f);
        if (!ended) return;
    }
    for (const std::wstring& name : names) {
        std::vector<PendingRecord> records;
        if (!endsWith(name, L".rec") || !readRecords(folder + name, &records)) continue;
        for (const PendingRecord& record : records) {
            const KindHandler* handler = handlerOf(record.kind);
            if (!handler || !handler->consistent(record)) continue;
            const std::wstring left = handler->leftBehind(record);
            if (left.empty()) continue;
            if (isErase(record.kind)) {
                warn(formatText(L"Erasing '%ls' was interrupted. The file is left as '%ls' and cannot be "
                                L"erased while '%ls' cannot be written",
                                record.paths[0].c_str(), left.c_str(), kPendingFolder));
            } else {
                warn(formatText(record.kind == PendingKind::WorkingCopy
                                    ? L"An Open was interrupted. Its working copy '%ls' cannot be erased "
                                      L"while '%ls' cannot be written"
                                    : L"A decryption was interrupted. Its partial plaintext '%ls' cannot be "
                                      L"erased while '%ls' cannot be written",
                                left.c_str(), kPendingFolder));
            }
        }
    }
}

// Splits "<b>-<id>..." into the id; false for names of other builds or
// other files.
bool idOf(const std::wstring& name, std::wstring* id) {
    if (name.size() < 2 + kIdDigits || name[0] != kBuildTag || name[1] != L'-') return false;
    *id = name.substr(2, kIdDigits);
    return id->find_first_not_of(L"0123456789abcdef") == std::wstring::npos;
}

// The lock of an instance, held by this run; nullptr when the instance is
// running, or another run has taken its records over.
FILE* takeLock(const std::wstring& lock, const std::vector<std::wstring>& names, const std::wstring& folder) {
    errno = 0;
    FILE* f = plat::openLockFile(lock);
    if (f) {
        if (plat::lockRange(f, 0, 1, true, false) != 0) {
            std::fclose(f);   // still running, or taken over by another run
            return nullptr;
        }
    } else if (errno == ENOENT) {
        // Records without a lock file: an instance makes its lock file
        // before its first record, so this one has ended.
        errno = 0;
        f = plat::createLockedFile(lock);
        if (!f) {
            // Taken meanwhile by another run, which deals with the records.
            if (errno != EEXIST) tellUnfinished(folder, lock, names, true);
            return nullptr;
        }
    } else {
        tellUnfinished(folder, lock, names, false);
        return nullptr;
    }
    plat::FileId held, named;
    if (!plat::streamIdentity(f, &held) || !plat::nameIdentity(lock, &named) || !plat::sameFileId(held, named)) {
        std::fclose(f);   // removed by the run that took it over before
        return nullptr;
    }
    return f;
}

// Takes over the records of one instance if it has ended.
void takeOver(const std::wstring& folder, const std::wstring& id, const std::vector<std::wstring>& names) {
    const std::wstring lock = lockPath(folder, id);
    FILE* f = takeLock(lock, names, folder);
    if (!f) return;
    bool allDone = true;
    for (const std::wstring& name : names) {
        const std::wstring path = folder + name;
        if (endsWith(name, L".new")) {
            plat::deleteFile(path);
            continue;
        }
        if (!endsWith(name, L".rec")) continue;
        std::vector<PendingRecord> records;
        if (!readRecords(path, &records)) {
            logMessage(L"cannot read the record of unfinished work '%ls'; it is left as it is", path.c_str());
            allDone = false;
            continue;
        }
        bool fileDone = true;
        for (const PendingRecord& record : records)
            if (finishRecord(path, record) != Outcome::Done) fileDone = false;
        if (fileDone) removeDurably(path);
        else allDone = false;
    }
    // Removed while still locked: no other run can take the lock of an
    // instance whose file is gone.
    if (allDone) removeDurably(lock);
    std::fclose(f);
}

// A lock file that was never put under its name (its run was stopped in
// between) and that nobody holds is removed while locked.
void clearStaleLocking(const std::wstring& path) {
    FILE* f = plat::openLockFile(path);
    if (!f) return;
    if (plat::lockRange(f, 0, 1, true, false) == 0) plat::deleteFile(path);
    std::fclose(f);
}

}  // namespace

void recordFolderOf(const std::wstring& path, PendingRecord* record) {
    const std::wstring folder = folderOf(path);
    if (!plat::fileIdentity(folder.empty() ? std::wstring(L".") : folder, &record->folderId))
        record->folderId = plat::FileId();
}

namespace {

Owner::Entry* entryOf(uint32_t ticket) {
    for (Owner::Entry& entry : owner.open)
        if (entry.ticket == ticket && !entry.ended) return &entry;
    return nullptr;
}

// The records for these tickets are written anew, each record file once.
int rewriteFilesOf(const std::vector<uint32_t>& tickets) {
    std::vector<uint32_t> files;
    for (uint32_t ticket : tickets) {
        const Owner::Entry* entry = entryOf(ticket);
        if (entry && std::find(files.begin(), files.end(), entry->file) == files.end())
            files.push_back(entry->file);
    }
    for (uint32_t file : files)
        if (writeRecordFile(file) != 0) return 1;
    return 0;
}

int requireOwner() {
    if (owner.lock) return 0;
    reportError(L"cannot record the work in progress in '%ls': no record was begun", kPendingFolder);
    return 1;
}

}  // namespace

int beginPending(const PendingRecord& record, uint32_t* ticket) {
    std::vector<uint32_t> tickets;
    if (beginPendingBatch({record}, &tickets) != 0) return 1;
    *ticket = tickets[0];
    return 0;
}

int beginPendingBatch(const std::vector<PendingRecord>& records, std::vector<uint32_t>* tickets) {
    tickets->clear();
    if (ensureOwner() != 0) return 1;
    const uint32_t file = owner.nextTicket;
    for (const PendingRecord& record : records) {
        const uint32_t number = owner.nextTicket++;
        owner.open.push_back({number, file, record, false});
        tickets->push_back(number);
    }
    if (records.empty()) return 0;
    if (writeRecordFile(file) != 0) {
        owner.open.erase(std::remove_if(owner.open.begin(), owner.open.end(),
                                        [&](const Owner::Entry& e) { return e.file == file; }),
                         owner.open.end());
        tickets->clear();
        return 1;
    }
    return 0;
}

int updatePending(uint32_t ticket, const PendingRecord& record) {
    return updatePendingBatch({ticket}, {record});
}

int updatePendingBatch(const std::vector<uint32_t>& tickets, const std::vector<PendingRecord>& records) {
    if (requireOwner() != 0) return 1;
    // What the disk holds stays what memory holds when the write fails.
    std::vector<PendingRecord> before;
    for (std::size_t i = 0; i < tickets.size() && i < records.size(); ++i) {
        Owner::Entry* entry = entryOf(tickets[i]);
        if (!entry) {
            reportError(L"cannot record the work in progress in '%ls': no record was begun",
                        kPendingFolder);
            return 1;
        }
        before.push_back(entry->record);
        entry->record = records[i];
    }
    if (rewriteFilesOf(tickets) == 0) return 0;
    for (std::size_t i = 0; i < before.size(); ++i) entryOf(tickets[i])->record = before[i];
    return 1;
}

void endPending(uint32_t ticket) {
    if (!owner.lock) return;
    Owner::Entry* entry = entryOf(ticket);
    if (!entry) return;
    entry->ended = true;
    const uint32_t file = entry->file;
    for (const Owner::Entry& other : owner.open)
        if (other.file == file && !other.ended) return;   // the batch goes on
    const std::wstring path = recordPath(owner.folder, owner.id, file, L".rec");
    // Not committed to the disk on its own: a record that outlives the work
    // it names, after a crash, finds nothing left to do (its files are gone
    // or no longer the ones recorded).
    if (!plat::deleteFile(path)) {
        logMessage(L"cannot remove the record of finished work '%ls': %ls", path.c_str(),
                   systemErrorText());
        return;
    }
    owner.open.erase(std::remove_if(owner.open.begin(), owner.open.end(),
                                    [&](const Owner::Entry& e) { return e.file == file; }),
                     owner.open.end());
}

void recoverPending() {
    const std::wstring folder = journalFolder();
    if (!isFolder(folder)) return;
    // Every file of this build's records, by instance.
    std::vector<std::pair<std::wstring, std::vector<std::wstring>>> instances;
    std::vector<std::wstring> locking;
    plat::DirEntry entry;
    plat::DirHandle listing = plat::findFirst(folder, &entry);
    if (!listing) return;
    do {
        std::wstring id;
        if (entry.isDirectory || !idOf(entry.name, &id) || id == owner.id) continue;
        if (endsWith(entry.name, plat::kLockingSuffix)) {
            locking.push_back(folder + entry.name);
            continue;
        }
        auto it = std::find_if(instances.begin(), instances.end(),
                               [&](const auto& i) { return i.first == id; });
        if (it == instances.end()) {
            instances.push_back({id, {}});
            it = instances.end() - 1;
        }
        if (entry.name != kBuildTag + std::wstring(L"-") + id + L".lock") it->second.push_back(entry.name);
    } while (plat::findNext(listing, &entry) == 1);
    plat::findClose(listing);

    for (const std::wstring& path : locking) clearStaleLocking(path);
    for (auto& instance : instances) {
        std::sort(instance.second.begin(), instance.second.end());
        takeOver(folder, instance.first, instance.second);
    }
}

const std::vector<RecoveredErase>& recoveredErases() { return recovered; }

void closePending() {
    if (!owner.lock) return;
    FILE* f = owner.lock;
    owner.lock = nullptr;
    const std::wstring path = lockPath(owner.folder, owner.id);
    // With records left, the lock file tells the next run whose they are;
    // without, it goes while still locked.
    if (owner.open.empty()) removeDurably(path);
    std::fclose(f);
}

bool readPendingRecord(const std::wstring& path, PendingRecord* record) {
    std::vector<PendingRecord> records;
    if (!readRecords(path, &records) || records.empty()) return false;
    *record = records[0];
    return true;
}

bool readPendingRecords(const std::wstring& path, std::vector<PendingRecord>* records) {
    return readRecords(path, records);
}

std::wstring pendingRecordPathForTest(uint32_t ticket) {
    for (const Owner::Entry& entry : owner.open)
        if (entry.ticket == ticket) return recordPath(owner.folder, owner.id, entry.file, L".rec");
    return recordPath(owner.folder, owner.id, ticket, L".rec");
}

void setPendingWarningsForTest(std::vector<std::wstring>* sink) { warningsForTest = sink; }

void resetPendingForTest() {
    if (owner.lock) std::fclose(owner.lock);
    owner = Owner();
    recovered.clear();
}
