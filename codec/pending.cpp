// The journal of work in progress (see pending.h).
//
// Files in SETTINGS/PENDING, named after the build ('w' for Windows, 'p'
// for POSIX, so that the two builds sharing a key drive never take over
// each other's records) and a random instance id:
//   <b>-<id>.lock       held locked by the running instance
//   <b>-<id>-<n>.rec    record n of that instance
//   <b>-<id>-<n>.new    a record being written; renamed over .rec when complete
//
// A record: the 8 bytes "VKPEND" 0 1, then little-endian 32-bit fields:
// build, kind, then the file identity (volume, index, creation time, size,
// modification time, each 64-bit), the number of paths, and each path
// as its length followed by its code units (32 bits each, so that names the
// system accepts but Unicode does not survive), then the end mark "END!".

#include "codec/pending.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "codec/expunge.h"
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

const uint8_t kMagic[8] = {'V', 'K', 'P', 'E', 'N', 'D', 0, 1};
constexpr uint32_t kEndMark = 0x21444E45;   // "END!"
constexpr std::size_t kLargestRecord = 1 << 20;
constexpr std::size_t kIdDigits = 16;

// This instance's place in the journal.
struct Owner {
    FILE* lock = nullptr;
    std::wstring folder;   // absolute, with its trailing separator
    std::wstring id;
    uint32_t nextTicket = 1;
    std::vector<uint32_t> open;
};
Owner owner;

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

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put64(std::vector<uint8_t>& out, uint64_t v) {
    put32(out, static_cast<uint32_t>(v));
    put32(out, static_cast<uint32_t>(v >> 32));
}

std::vector<uint8_t> encode(const PendingRecord& record) {
    std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
    put32(out, kBuildCode);
    put32(out, static_cast<uint32_t>(record.kind));
    put64(out, record.id.volume);
    put64(out, record.id.index);
    put64(out, static_cast<uint64_t>(record.id.created));
    put64(out, record.id.size);
    put64(out, static_cast<uint64_t>(record.id.modified));
    put32(out, static_cast<uint32_t>(record.paths.size()));
    for (const std::wstring& path : record.paths) {
        put32(out, static_cast<uint32_t>(path.size()));
        for (wchar_t c : path) put32(out, static_cast<uint32_t>(c));
    }
    put32(out, kEndMark);
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
};

bool decode(const std::vector<uint8_t>& data, PendingRecord* record) {
    if (data.size() < sizeof kMagic || std::memcmp(data.data(), kMagic, sizeof kMagic) != 0) return false;
    Reader in{data, sizeof kMagic};
    if (in.get32() != kBuildCode) return false;
    uint32_t kind = in.get32();
    if (kind < 1 || kind > 4) return false;
    record->kind = static_cast<PendingKind>(kind);
    record->id.volume = in.get64();
    record->id.index = in.get64();
    record->id.created = static_cast<int64_t>(in.get64());
    record->id.size = in.get64();
    record->id.modified = static_cast<int64_t>(in.get64());
    uint32_t count = in.get32();
    record->paths.clear();
    for (uint32_t i = 0; in.ok && i < count; ++i) {
        uint32_t length = in.get32();
        if (!in.ok || length > (data.size() - in.at) / 4) return false;
        std::wstring path;
        for (uint32_t k = 0; k < length; ++k) path += static_cast<wchar_t>(in.get32());
        record->paths.push_back(path);
    }
    return in.ok && in.get32() == kEndMark && in.ok && in.at == data.size();
}

// Takes a lock file of its own in the journal folder, once per run.
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
        FILE* f = plat::createNewFile(path);
        if (!f) {
            if (errno == EEXIST) continue;
            reportError(L"cannot record the work in progress in '%ls': %ls", path.c_str(),
                        stdErrorText());
            return 1;
        }
        // Another instance may have taken (and removed) the fresh file for
        // a dead one's between its creation and the lock: try another id.
        plat::FileId held, named;
        if (plat::lockRange(f, 0, 1, true, false) != 0 || !plat::streamIdentity(f, &held) ||
            !plat::fileIdentity(path, &named) || !plat::sameFileId(held, named)) {
            std::fclose(f);
            continue;
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

int writeRecord(uint32_t ticket, const PendingRecord& record) {
    const std::wstring fresh = recordPath(owner.folder, owner.id, ticket, L".new");
    const std::wstring final = recordPath(owner.folder, owner.id, ticket, L".rec");
    const std::vector<uint8_t> bytes = encode(record);
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

void removeDurably(const std::wstring& path) {
    if (plat::deleteFile(path)) plat::commitFolderOf(path);
}

void warn(const wchar_t* text) {
    logMessage(L"%ls", text);
    plat::messageBox(plat::BoxKind::Warning, caption, text);
}

// The file a record names, if it is still the one the record is about.
bool isRecordedFile(const std::wstring& path, const plat::FileId& recorded, bool wholeIdentity) {
    plat::FileId now;
    if (!plat::fileIdentity(path, &now) || !plat::sameFileId(now, recorded)) return false;
    return !wholeIdentity || (now.size == recorded.size && now.modified == recorded.modified);
}

// The temporary output a record names. A record is made before its output
// exists and learns the output's identity before anything is written into
// it: without an identity, only an empty file can be that output.
bool isRecordedOutput(const std::wstring& path, const plat::FileId& recorded) {
    if (recorded.volume != 0 || recorded.index != 0) return isRecordedFile(path, recorded, false);
    plat::FileInfo info;
    return plat::fileInfo(path, &info) && !info.isDirectory && !info.isLink && !info.isSpecial &&
           info.size == 0;
}

// The file that a record's unfinished work left, if it is still there.
std::wstring leftBehind(const PendingRecord& record) {
    if (record.paths.empty()) return std::wstring();
    if (record.kind == PendingKind::Erase) {
        for (std::size_t k = record.paths.size(); k-- > 1;)
            if (isRecordedFile(record.paths[k], record.id, false)) return record.paths[k];
        return isRecordedFile(record.paths[0], record.id, true) ? record.paths[0] : std::wstring();
    }
    if (record.kind == PendingKind::WorkingCopy)
        return plat::fileInfo(record.paths[0], nullptr) ? record.paths[0] : std::wstring();
    return record.kind == PendingKind::PlainOutput && isRecordedOutput(record.paths[0], record.id)
               ? record.paths[0]
               : std::wstring();
}

// Finishes the work of one record of a stopped run; 0 when nothing of it
// is left to do.
int finishRecord(const PendingRecord& record) {
    if (record.paths.empty()) return 0;
    const std::wstring& first = record.paths[0];
    switch (record.kind) {
    case PendingKind::Erase: {
        // The file stands under the last name it reached or, stopped before
        // the first rename, unchanged under its own name.
        const std::wstring left = leftBehind(record);
        if (left.empty()) return 0;
        if (left == first) {
            if (expungeFile(first.c_str()) != 0) {
                warn(formatText(L"Erasing '%ls' was interrupted, and it could not be erased now: %ls",
                                first.c_str(), lastErrorText));
                return 1;
            }
            logMessage(L"finished erasing '%ls', which an interrupted run had left", first.c_str());
            return 0;
        }
        if (wipeAndRemove(left, first.c_str()) != 0) {
            warn(formatText(L"Erasing '%ls' was interrupted. The file is left as '%ls' and could "
                            L"not be erased now: %ls",
                            first.c_str(), left.c_str(), lastErrorText));
            return 1;
        }
        logMessage(L"finished erasing '%ls', which an interrupted run had left as '%ls'",
                   first.c_str(), left.c_str());
        return 0;
    }
    case PendingKind::PlainOutput:
        if (!isRecordedOutput(first, record.id)) return 0;
        if (wipeAndRemove(first, nullptr) != 0) {
            warn(formatText(L"A decryption was interrupted. Its partial plaintext '%ls' could not be "
                            L"erased now: %ls",
                            first.c_str(), lastErrorText));
            return 1;
        }
        logMessage(L"erased '%ls', the partial plaintext of an interrupted decryption", first.c_str());
        return 0;
    case PendingKind::EncryptedOutput:
        if (!isRecordedOutput(first, record.id)) return 0;
        if (plat::removeFile(first) != 0) {
            warn(formatText(L"An encryption was interrupted. Its partial output '%ls' could not be "
                            L"removed: %ls",
                            first.c_str(), stdErrorText()));
            return 1;
        }
        plat::commitFolderOf(first);
        logMessage(L"removed '%ls', the partial output of an interrupted encryption", first.c_str());
        return 0;
    case PendingKind::WorkingCopy:
        return finishWorkingCopy(record);
    }
    return 0;
}

// A journal that cannot be written (a key drive made read-only): the work
// of a stopped run cannot be taken over, but where it left a plaintext is
// told. The lock file opened for reading takes a shared lock, which a
// running instance's lock excludes.
void tellUnfinished(const std::wstring& folder, const std::wstring& lock,
                    const std::vector<std::wstring>& names) {
    FILE* f = plat::openFile(lock, L"rb");
    if (!f) return;
    const bool ended = plat::lockRange(f, 0, 1, false, false) == 0;
    std::fclose(f);
    if (!ended) return;
    for (const std::wstring& name : names) {
        PendingRecord record;
        if (name.size() <= 4 || name.compare(name.size() - 4, 4, L".rec") != 0 ||
            !readPendingRecord(folder + name, &record))
            continue;
        const std::wstring left = leftBehind(record);
        if (left.empty()) continue;
        if (record.kind == PendingKind::Erase) {
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

// Splits "<b>-<id>..." into the id; false for names of other builds or
// other files.
bool idOf(const std::wstring& name, std::wstring* id) {
    if (name.size() < 2 + kIdDigits || name[0] != kBuildTag || name[1] != L'-') return false;
    *id = name.substr(2, kIdDigits);
    return id->find_first_not_of(L"0123456789abcdef") == std::wstring::npos;
}

// Takes over the records of one instance if it has ended.
void takeOver(const std::wstring& folder, const std::wstring& id,
              const std::vector<std::wstring>& names) {
    const std::wstring lock = lockPath(folder, id);
    errno = 0;
    FILE* f = plat::openFile(lock, L"rb+");
    // Records without a lock file: their instance had ended before its
    // files were cleared away.
    if (!f && errno == ENOENT) f = plat::createNewFile(lock);
    if (!f) {
        tellUnfinished(folder, lock, names);
        return;
    }
    plat::FileId held, named;
    if (plat::lockRange(f, 0, 1, true, false) != 0 || !plat::streamIdentity(f, &held) ||
        !plat::fileIdentity(lock, &named) || !plat::sameFileId(held, named)) {
        std::fclose(f);   // still running, or taken over by another instance
        return;
    }
    bool allDone = true;
    for (const std::wstring& name : names) {
        const std::wstring path = folder + name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, L".new") == 0) {
            plat::deleteFile(path);
            continue;
        }
        if (name.size() <= 4 || name.compare(name.size() - 4, 4, L".rec") != 0) continue;
        PendingRecord record;
        std::vector<uint8_t> data;
        if (!readWhole(path, &data) || !decode(data, &record)) {
            logMessage(L"cannot read the record of unfinished work '%ls'; it is left as it is",
                       path.c_str());
            allDone = false;
            continue;
        }
        if (finishRecord(record) == 0) removeDurably(path);
        else allDone = false;
    }
    std::fclose(f);
    if (allDone) removeDurably(lock);
}

}  // namespace

int beginPending(const PendingRecord& record, uint32_t* ticket) {
    if (ensureOwner() != 0) return 1;
    const uint32_t number = owner.nextTicket++;
    if (writeRecord(number, record) != 0) return 1;
    owner.open.push_back(number);
    *ticket = number;
    return 0;
}

int updatePending(uint32_t ticket, const PendingRecord& record) {
    if (!owner.lock) {
        reportError(L"cannot record the work in progress in '%ls': no record was begun",
                    kPendingFolder);
        return 1;
    }
    return writeRecord(ticket, record);
}

void endPending(uint32_t ticket) {
    if (!owner.lock) return;
    const std::wstring path = recordPath(owner.folder, owner.id, ticket, L".rec");
    // Not committed to the disk on its own: a record that outlives the work
    // it names, after a crash, finds nothing left to do (its files are gone
    // or no longer the ones recorded).
    if (!plat::deleteFile(path)) {
        logMessage(L"cannot remove the record of finished work '%ls': %ls", path.c_str(),
                   systemErrorText());
        return;
    }
    owner.open.erase(std::remove(owner.open.begin(), owner.open.end(), ticket), owner.open.end());
}

void recoverPending() {
    const std::wstring folder = journalFolder();
    plat::FileInfo info;
    if (!plat::fileInfo(folder, &info) || !info.isDirectory) return;
    // Every file of this build's records, by instance.
    std::vector<std::pair<std::wstring, std::vector<std::wstring>>> instances;
    plat::DirEntry entry;
    plat::DirHandle listing = plat::findFirst(folder, &entry);
    if (!listing) return;
    do {
        std::wstring id;
        if (entry.isDirectory || !idOf(entry.name, &id) || id == owner.id) continue;
        auto it = std::find_if(instances.begin(), instances.end(),
                               [&](const auto& i) { return i.first == id; });
        if (it == instances.end()) {
            instances.push_back({id, {}});
            it = instances.end() - 1;
        }
        if (entry.name != kBuildTag + std::wstring(L"-") + id + L".lock") it->second.push_back(entry.name);
    } while (plat::findNext(listing, &entry) == 1);
    plat::findClose(listing);

    for (auto& instance : instances) {
        std::sort(instance.second.begin(), instance.second.end());
        takeOver(folder, instance.first, instance.second);
    }
}

void closePending() {
    if (!owner.lock) return;
    FILE* f = owner.lock;
    owner.lock = nullptr;
    const std::wstring path = lockPath(owner.folder, owner.id);
    std::fclose(f);
    // With records left, the lock file tells the next run whose they are.
    if (owner.open.empty()) removeDurably(path);
}

bool readPendingRecord(const std::wstring& path, PendingRecord* record) {
    std::vector<uint8_t> data;
    return readWhole(path, &data) && decode(data, record);
}

std::wstring pendingRecordPathForTest(uint32_t ticket) {
    return recordPath(owner.folder, owner.id, ticket, L".rec");
}

void resetPendingForTest() {
    if (owner.lock) std::fclose(owner.lock);
    owner = Owner();
}
