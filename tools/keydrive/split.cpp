// Splitting a key drive into partner drives.
//
// TARGET gets the same key and index, the program copies, the sibling
// programs and the desktop launchers that SOURCE carries, empty LOG and TEMP
// folders, and a usage record whose range is the upper part of SOURCE's
// unused pad; SOURCE's lastBlock is lowered to just below it. The order is
// what keeps the pad safe when the split is cut off at any moment:
//
//   1. everything of TARGET is written under temporary names and committed;
//   2. SOURCE's range is lowered (committed);
//   3. TARGET's index and usage record get their names, and its key file
//      last: a drive without SETTINGS/KEY.DAT cannot be used.
//
// So TARGET becomes usable only after SOURCE has given up its range; an
// interruption between 2 and 3 never leaves two usable drives with
// overlapping ranges, and the next split onto the same TARGET recognises
// the half-done split by TARGET's record, whose range begins just above
// SOURCE's, and finishes it with that range. The whole split holds SOURCE's
// usage record locked, and refuses to start while a running instance of the
// program holds the drive.
//
// A backup takes the same steps without 2: TARGET's usage record has no
// range, and SOURCE is only read.

#include "tools/keydrive/split.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "key/key.h"
#include "platform/platform.h"
#include "tools/keydrive/drive.h"
#include "tools/keydrive/filecopy.h"
#include "tools/keydrive/durable.h"
#include "tools/keydrive/padcheck.h"
#include "tools/keydrive/text.h"

namespace keydrive {

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMaxTerm = 1000000000;   // numerator and denominator of "a/b"
constexpr int kMaxDecimals = 6;

// Digits from text[*at] on, as a number not above max; false when there are
// none or too many.
bool readDigits(const std::wstring& text, size_t* at, uint64_t max, uint64_t* value, int* count) {
    *value = 0;
    *count = 0;
    while (*at < text.size() && text[*at] >= L'0' && text[*at] <= L'9') {
        *value = *value * 10 + uint64_t(text[*at] - L'0');
        if (*value > max) return false;
        ++*at;
        ++*count;
    }
    return true;
}

// Program files that a drive carries beside its key, as paths relative to
// the drive's folder, which exist on `folder` as files.
std::vector<std::wstring> programFilesOn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    for (const wchar_t* command : {L"Decrypt", L"Encrypt", L"Open", L"Status"}) {
        names.push_back(command);
        names.push_back(std::wstring(command) + L".exe");
    }
    for (const wchar_t* sibling : {L"bkgui", L"bkfm"}) {
        names.push_back(std::wstring(L"SETTINGS") + plat::kSep + sibling);
        names.push_back(std::wstring(L"SETTINGS") + plat::kSep + sibling + L".exe");
    }
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(folder), ec), end; !ec && it != end; it.increment(ec)) {
        std::wstring name = it->path().filename().wstring();
        const std::wstring suffix = L".desktop";
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    }
    std::vector<std::wstring> present;
    for (const std::wstring& name : names) {
        std::error_code statusError;
        if (fs::is_regular_file(fs::path(join(folder, name.c_str())), statusError)) present.push_back(name);
    }
    return present;
}

// Whether `inner` names a folder inside `outer` (not `outer` itself), links
// followed: TARGET's files there would land among SOURCE's own.
bool liesInside(const std::wstring& inner, const std::wstring& outer) {
    std::error_code ec;
    const fs::path a = fs::weakly_canonical(fs::absolute(fs::path(inner), ec), ec);
    if (ec) return false;
    const fs::path b = fs::weakly_canonical(fs::absolute(fs::path(outer), ec), ec);
    if (ec) return false;
    const fs::path relative = a.lexically_relative(b);
    return !relative.empty() && *relative.begin() != fs::path("..") && relative != fs::path(".");
}

class Splitter {
public:
    Splitter(const SplitOptions& options, SplitResult* result, std::wstring* error)
        : options_(options), result_(result), error_(error) {
        const std::wstring sourceSettings = join(options.source, L"SETTINGS");
        const std::wstring targetSettings = join(options.target, L"SETTINGS");
        sourceKey_ = join(sourceSettings, L"KEY.DAT");
        sourceIndex_ = join(sourceSettings, L"INDEX.DAT");
        sourceStatus_ = join(sourceSettings, L"STATUS.DAT");
        targetSettings_ = targetSettings;
        targetKey_ = join(targetSettings, L"KEY.DAT");
        targetIndex_ = join(targetSettings, L"INDEX.DAT");
        targetStatus_ = join(targetSettings, L"STATUS.DAT");
        sourceDigest_ = join(sourceSettings, L"KEYSUM.DAT");
        targetDigest_ = join(targetSettings, L"KEYSUM.DAT");
    }
    ~Splitter() { closeSource(); }

    int run();

private:
    int fail(const std::wstring& message) {
        *error_ = message;
        return 1;
    }
    bool stopsAfter(int step);
    void closeSource();
    int checkSourceKey();

    int inspectTarget();
    int openSource();
    int planRanges();
    int checkRoom();
    int writeTarget();
    int copyDurably(const std::wstring& from, const std::wstring& to, const wchar_t* what);
    int writeTargetRecord();
    int writeTargetDigest();
    bool cutShortRange(UsageRecord* range);
    bool isTargetRecord(const std::wstring& path) const {
        return path == targetStatus_ || path == targetStatus_ + L".tmp";
    }
    int commitTargetFolders();
    int lowerSource();
    int nameTargetFiles();
    void removeTemporaries();
    int failAfterLowering(const std::wstring& message);

    const SplitOptions& options_;
    SplitResult* result_;
    std::wstring* error_;
    std::wstring sourceKey_, sourceIndex_, sourceStatus_;
    std::wstring targetSettings_, targetKey_, targetIndex_, targetStatus_;
    std::wstring sourceDigest_, targetDigest_;
    bool finishing_ = false;               // finishing a split cut short: SOURCE is lowered already

    FILE* status_ = nullptr;   // SOURCE's usage record, locked while open
    bool recordLocked_ = false;
    uint64_t keyBytes_ = 0;
    uint64_t indexBytes_ = 0;
    UsageRecord before_;
    std::vector<std::wstring> programs_;   // relative to the drive's folder
    std::vector<std::wstring> leftovers_;  // TARGET's key files of an unfinished split or make
    std::vector<std::wstring> temporaries_;
    std::vector<std::wstring> named_;      // TARGET's key files that got their names
};

bool Splitter::stopsAfter(int step) {
    if (options_.stopAfterStep != step) return false;
    if (options_.exitAtStop) std::_Exit(kSplitStopped);
    closeSource();   // the locks end, as with a process that is killed
    return true;
}

void Splitter::closeSource() {
    if (status_ == nullptr) return;
    if (recordLocked_) plat::unlockRange(status_, 0, kStatusRecordLockLength);
    recordLocked_ = false;
    std::fclose(status_);   // ends the lock that held the drive
    status_ = nullptr;
}

// TARGET must not hold a key; key files there without a key are the
// leftovers of a split or make that did not finish and are replaced.
int Splitter::inspectTarget() {
    plat::FileInfo info;
    std::error_code ec;
    // A link to a folder is taken as the folder.
    if (plat::fileInfo(options_.target, &info) && !info.isDirectory &&
        !(info.isLink && fs::is_directory(fs::path(options_.target), ec)))
        return fail(format(L"'%ls' is not a folder", options_.target.c_str()));
    if (liesInside(options_.target, options_.source))
        return fail(format(L"'%ls' lies inside '%ls': the new drive must be a drive or folder of its own, "
                           L"outside the drive it is made from",
                           options_.target.c_str(), options_.source.c_str()));
    if (plat::fileInfo(targetKey_, nullptr))
        return fail(format(L"'%ls' holds a key already ('%ls' exists); a %ls never writes over a key",
                           options_.target.c_str(), targetKey_.c_str(), options_.backup ? L"backup" : L"split"));
    for (const std::wstring& path : {targetIndex_, targetStatus_, targetDigest_, targetKey_ + L".tmp",
                                     targetIndex_ + L".tmp", targetStatus_ + L".tmp", targetDigest_ + L".tmp"}) {
        if (plat::fileInfo(path, &info)) {
            if (info.isDirectory) return fail(format(L"'%ls' is a folder", path.c_str()));
            leftovers_.push_back(path);
        }
    }
    return 0;
}

int Splitter::openSource() {
    for (const std::wstring& path : {sourceKey_, sourceIndex_, sourceStatus_}) {
        if (!plat::fileInfo(path, nullptr))
            return fail(format(L"'%ls' is not a key drive: '%ls' is missing", options_.source.c_str(),
                               path.c_str()));
    }
    errno = 0;
    // A backup only reads SOURCE, which may go on working meanwhile.
    status_ = plat::openFile(sourceStatus_, options_.backup ? L"rb" : L"rb+");
    if (status_ == nullptr)
        return fail(format(L"cannot open '%ls'%ls: %ls", sourceStatus_.c_str(), options_.backup ? L"" : L" for writing",
                           errnoText().c_str()));
    std::setvbuf(status_, nullptr, _IONBF, 0);
    if (options_.backup) {
        if (readUsageRecord(status_, &before_) && isBackupRecord(before_))
            return fail(format(L"'%ls' is a backup key drive: a backup is made from a key drive that encrypts, "
                               L"never from a backup",
                               options_.source.c_str()));
        return checkSourceKey();
    }
    int inUse = plat::lockRange(status_, kStatusInUseOffset, 1, true, false);
    if (inUse == 1)
        return fail(format(L"'%ls' is in use: a running instance of the program (or the key drive tool) "
                           L"has its key store open; close it and try again",
                           options_.source.c_str()));
    if (inUse != 0 || plat::lockRange(status_, 0, kStatusRecordLockLength, true, true) != 0)
        return fail(format(L"cannot lock '%ls': %ls", sourceStatus_.c_str(),
                           plat::systemErrorMessage(plat::lastSystemError()).c_str()));
    recordLocked_ = true;

    if (!readUsageRecord(status_, &before_))
        return fail(format(L"'%ls' does not hold a whole usage record of 12 bytes; see 'velkin-keydrive check'",
                           sourceStatus_.c_str()));
    if (isBackupRecord(before_))
        return fail(format(L"'%ls' is a backup key drive: it has no range of its own to split. Split the drive "
                           L"that it backs up",
                           options_.source.c_str()));
    return checkSourceKey();
}

// The sizes of SOURCE's key and index, which must make a usable key.
int Splitter::checkSourceKey() {
    for (auto file : {std::make_pair(&sourceKey_, &keyBytes_), std::make_pair(&sourceIndex_, &indexBytes_)}) {
        std::error_code ec;
        *file.second = fs::file_size(fs::path(*file.first), ec);
        if (ec) return fail(format(L"cannot read the size of '%ls'", file.first->c_str()));
    }
    uint64_t blocks = keyBytes_ / kKeyBlockSize;
    if (blocks < 2 || blocks > kMaxKeyBlocks)
        return fail(format(L"'%ls' is no usable key: it holds %llu key blocks", sourceKey_.c_str(),
                           (unsigned long long)blocks));
    if (indexBytes_ < blocks * 10 * 4)
        return fail(format(L"'%ls' is too short for its key; see 'velkin-keydrive check'", sourceIndex_.c_str()));
    result_->keyBlocks = uint32_t(blocks);
    return 0;
}

int Splitter::planRanges() {
    const UsageRecord& r = before_;
    const uint32_t n = result_->keyBlocks;
    if (options_.backup) {
        result_->target = UsageRecord{kBackupHighWaterMark, kBackupFirstBlock, kBackupLastBlock};
        result_->source = r;
        return 0;
    }
    // A split cut short after SOURCE gave up TARGET's range is finished
    // with that range: splitting again would halve SOURCE's rest as well.
    UsageRecord cutShort;
    if (cutShortRange(&cutShort)) {
        finishing_ = true;
        result_->finishedCutShort = true;
        result_->target = cutShort;
        result_->source = r;
        return 0;
    }
    if (r.highWaterMark == 0 || r.firstBlock == 0 || r.highWaterMark < r.firstBlock ||
        uint64_t(r.highWaterMark) > uint64_t(lastUsableBlock(r, n)) + 1)
        return fail(format(L"the usage record of '%ls' is damaged (high water mark %u, first block %u, "
                           L"last block %u); see 'velkin-keydrive check'",
                           options_.source.c_str(), r.highWaterMark, r.firstBlock, r.lastBlock));
    const uint64_t unused = blocksLeft(r, n);
    const uint64_t share = unused * options_.share.numerator / options_.share.denominator;
    const uint64_t kept = unused - share;
    if (share < kMinShareBlocks || kept < kMinShareBlocks)
        return fail(format(L"'%ls' has too little unused pad to split: %ls unused; a share of %ls gives "
                           L"'%ls' %ls and leaves %ls, but each drive needs at least %ls",
                           options_.source.c_str(), blocksText(unused).c_str(), options_.share.text.c_str(),
                           options_.target.c_str(), blocksText(share).c_str(), blocksText(kept).c_str(),
                           blocksText(kMinShareBlocks).c_str()));
    const uint32_t last = lastUsableBlock(r, n);
    const uint32_t targetFirst = uint32_t(uint64_t(last) + 1 - share);
    result_->target = UsageRecord{targetFirst, targetFirst, last};
    result_->source = UsageRecord{r.highWaterMark, r.firstBlock, targetFirst - 1};
    return 0;
}

int Splitter::checkRoom() {
    programs_ = programFilesOn(options_.source);
    uint64_t needed = keyBytes_ + indexBytes_ + 12 + (padSpanCount(keyBytes_) + 2) * kPadDigestSize;
    for (const std::wstring& name : programs_) {
        std::error_code ec;
        needed += fs::file_size(fs::path(join(options_.source, name.c_str())), ec);
    }
    uint64_t freed = 0;
    for (const std::wstring& path : leftovers_) {
        std::error_code ec;
        uint64_t size = fs::file_size(fs::path(path), ec);
        if (!ec) freed += size;
    }
    uint64_t freeBytes = 0;
    bool fat = false;
    if (!plat::volumeSpace(options_.target, &freeBytes, &fat)) return 0;   // the writes will tell
    if (fat && keyBytes_ > kFatFileLimit)
        return fail(format(L"'%ls' lies on a FAT volume, which cannot hold the key file of %llu bytes",
                           options_.target.c_str(), (unsigned long long)keyBytes_));
    if (freed < needed && freeBytes < needed - freed)
        return fail(format(L"there is not enough room on '%ls': %llu bytes are needed, %llu are free",
                           options_.target.c_str(), (unsigned long long)needed,
                           (unsigned long long)(freeBytes + freed)));
    return 0;
}

int Splitter::copyDurably(const std::wstring& from, const std::wstring& to, const wchar_t* what) {
    temporaries_.push_back(to);
    FileCopy copy;
    copy.from = from;
    copy.to = to;
    copy.progress = consoleProgress(options_.showProgress);
    if (what != nullptr) copy.label = std::wstring(L"splitting: copying ") + what;
    return copyFileCommitted(copy, error_);
}

int Splitter::writeTargetRecord() {
    const std::wstring temp = targetStatus_ + L".tmp";
    if (finishing_) {
        // The record of the split cut short is TARGET's proof of its range:
        // it is never rewritten or removed, only brought back under its
        // temporary name for the renames that finish the split.
        if (!plat::fileInfo(temp, nullptr) && !plat::moveReplace(targetStatus_, temp))
            return fail(format(L"cannot rename '%ls' to '%ls': %ls", targetStatus_.c_str(), temp.c_str(),
                               plat::systemErrorMessage(plat::lastSystemError()).c_str()));
        return 0;
    }
    temporaries_.push_back(temp);
    errno = 0;
    FILE* f = plat::openFile(temp, L"wb");
    if (f == nullptr) return fail(format(L"cannot create '%ls': %ls", temp.c_str(), errnoText().c_str()));
    bool written = writeUsageRecord(f, result_->target);
    std::wstring reason = errnoText();
    if (std::fclose(f) != 0 && written) {
        written = false;
        reason = errnoText();
    }
    return written ? 0 : fail(format(L"cannot write '%ls': %ls", temp.c_str(), reason.c_str()));
}

// TARGET's folders, programs and key files under temporary names.
int Splitter::writeTarget() {
    for (const std::wstring& path : leftovers_) {
        if (finishing_ && isTargetRecord(path)) continue;
        if (plat::removeFile(path) != 0)
            return fail(format(L"cannot remove '%ls', left by a split or make that did not finish: %ls",
                               path.c_str(), errnoText().c_str()));
    }
    for (const std::wstring& folder : {options_.target, targetSettings_, join(options_.target, L"LOG"),
                                       join(options_.target, L"TEMP")}) {
        if (!plat::createDirectory(folder))
            return fail(format(L"cannot create the folder '%ls': %ls", folder.c_str(),
                               plat::systemErrorMessage(plat::lastSystemError()).c_str()));
    }
    keepFolderPrivate(targetSettings_);
    for (const std::wstring& name : programs_) {
        const std::wstring from = join(options_.source, name.c_str());
        const std::wstring to = join(options_.target, name.c_str());
        const std::wstring temp = to + L".tmp";
        if (copyDurably(from, temp, nullptr) != 0) return 1;
#ifndef _WIN32
        // The copies must stay executable.
        std::error_code ec;
        fs::permissions(fs::path(temp), fs::status(fs::path(from), ec).permissions(), ec);
        if (ec) return fail(format(L"cannot give '%ls' the permissions of '%ls'", temp.c_str(), from.c_str()));
#endif
        if (!plat::moveReplace(temp, to))
            return fail(format(L"cannot rename '%ls' to '%ls': %ls", temp.c_str(), to.c_str(),
                               plat::systemErrorMessage(plat::lastSystemError()).c_str()));
        temporaries_.pop_back();
    }
    if (stopsAfter(kStepProgramsCopied)) return kSplitStopped;
    // The key files are for the user alone.
    OwnerOnlyFiles ownerOnly;
    if (copyDurably(sourceKey_, targetKey_ + L".tmp", L"the key") != 0 || writeTargetDigest() != 0) return 1;
    if (stopsAfter(kStepKeyCopied)) return kSplitStopped;
    if (copyDurably(sourceIndex_, targetIndex_ + L".tmp", L"the index") != 0) return 1;
    if (stopsAfter(kStepIndexCopied)) return kSplitStopped;
    if (writeTargetRecord() != 0) return 1;
    if (stopsAfter(kStepRecordWritten)) return kSplitStopped;
    return 0;
}

// The digest of TARGET's key copy, checked against SOURCE's digest of its
// key where SOURCE keeps one: a decayed SOURCE, or a copy not written as it
// was read, makes no new drive.
int Splitter::writeTargetDigest() {
    PadDigest expected;
    std::wstring why;
    const int got = readPadDigest(sourceDigest_, &expected, &why);
    if (got == 1)
        result_->digestNote = format(L"'%ls' keeps no digest of its key file (it was made by an older "
                                     L"velkin-keydrive): the digest on '%ls' was made from the key as it is now.",
                                     options_.source.c_str(), options_.target.c_str());
    else if (got != 0)
        result_->digestNote = format(L"The digest that '%ls' keeps of its key file cannot be used (%ls): the "
                                     L"digest on '%ls' was made from the key as it is now. Check '%ls' with "
                                     L"'velkin-keydrive check'.",
                                     options_.source.c_str(), why.c_str(), options_.target.c_str(),
                                     options_.source.c_str());
    const std::wstring temp = targetDigest_ + L".tmp";
    temporaries_.push_back(temp);
    return writePadDigestFile(targetKey_ + L".tmp", temp, got == 0 ? &expected : nullptr,
                              consoleProgress(options_.showProgress), error_);
}

// TARGET's usage record left by a split cut short after SOURCE had given
// up TARGET's range: a range that begins just above SOURCE's last block and
// lies within the key, with nothing used of it.
bool Splitter::cutShortRange(UsageRecord* range) {
    if (leftovers_.empty()) return false;
    for (const std::wstring& path : {targetStatus_ + L".tmp", targetStatus_}) {
        FILE* f = plat::openFile(path, L"rb");
        if (f == nullptr) continue;
        UsageRecord r;
        const bool whole = readUsageRecord(f, &r) && std::fgetc(f) == EOF;
        std::fclose(f);
        if (whole && r.highWaterMark == r.firstBlock && uint64_t(r.firstBlock) == uint64_t(before_.lastBlock) + 1 &&
            r.lastBlock >= r.firstBlock && r.lastBlock < result_->keyBlocks) {
            *range = r;
            return true;
        }
    }
    return false;
}

// Once TARGET has its key: its folder's and SETTINGS' entries on the disk,
// or the user is told that they may not be.
int Splitter::commitTargetFolders() {
    auto sync = options_.syncFolder != nullptr ? options_.syncFolder : &syncFolder;
    for (const std::wstring& folder : {targetSettings_, options_.target}) {
        std::wstring why;
        if (!sync(folder, &why))
            return fail(format(L"'%ls' is made, but the entries of '%ls' could not be committed to the disk: %ls. "
                               L"Do not unplug the drive yet; check it with 'velkin-keydrive check %ls %ls'",
                               options_.target.c_str(), folder.c_str(), why.c_str(), options_.source.c_str(),
                               options_.target.c_str()));
    }
    return 0;
}

int Splitter::lowerSource() {
    if (writeUsageRecord(status_, result_->source)) return 0;
    std::wstring reason = errnoText();
    // The record may be half written: put the old one back.
    bool restored = writeUsageRecord(status_, before_);
    removeTemporaries();
    return fail(format(L"cannot lower the range of '%ls' in '%ls': %ls. %ls", options_.source.c_str(),
                       sourceStatus_.c_str(), reason.c_str(),
                       restored ? L"Its usage record is as it was; nothing was split."
                                : L"Its usage record may be damaged: run 'velkin-keydrive check' on it."));
}

void Splitter::removeTemporaries() {
    for (const std::wstring& path : temporaries_) plat::removeFile(path);
    temporaries_.clear();
}

// After SOURCE gave up TARGET's range and before TARGET has its key: take
// back what was made on TARGET and, when TARGET can no longer become usable,
// give SOURCE its range back.
int Splitter::failAfterLowering(const std::wstring& message) {
    // TARGET's usage record stays until SOURCE has its range back: with it,
    // the next split onto TARGET finishes this one.
    bool targetGone = true;
    std::vector<std::wstring> records;
    for (const std::vector<std::wstring>* paths : {&temporaries_, &named_}) {
        for (const std::wstring& path : *paths) {
            if (isTargetRecord(path)) {
                records.push_back(path);
            } else if (plat::removeFile(path) != 0 && plat::fileInfo(path, nullptr)) {
                targetGone = false;
            }
        }
    }
    temporaries_.clear();
    named_.clear();
    const bool giveBack = options_.backup || (!finishing_ && targetGone && writeUsageRecord(status_, before_));
    if (giveBack)
        for (const std::wstring& path : records) plat::removeFile(path);
    if (options_.backup)
        return fail(message + format(L". '%ls' is as it was; %ls", options_.source.c_str(),
                                     targetGone ? L"no backup was made." : L"remove what was made and try again."));
    if (giveBack)
        return fail(message + format(L". '%ls' has its range back; nothing was split.", options_.source.c_str()));
    const UsageRecord& lowered = result_->source;
    return fail(message + format(L". '%ls' keeps its lowered range, key blocks %u to %u; '%ls' is to get key "
                                 L"blocks %u to %u: split onto it again to finish the split.",
                                 options_.source.c_str(), lowered.firstBlock, lowered.lastBlock,
                                 options_.target.c_str(), result_->target.firstBlock, result_->target.lastBlock));
}

int Splitter::nameTargetFiles() {
    // 0: no stop of its own.
    const std::pair<const std::wstring*, int> names[] = {
        {&targetIndex_, 0}, {&targetDigest_, kStepIndexNamed}, {&targetStatus_, kStepRecordNamed}};
    for (const auto& name : names) {
        const std::wstring temp = *name.first + L".tmp";
        if (!plat::moveReplace(temp, *name.first))
            return failAfterLowering(format(L"cannot rename '%ls' to '%ls': %ls", temp.c_str(),
                                            name.first->c_str(),
                                            plat::systemErrorMessage(plat::lastSystemError()).c_str()));
        temporaries_.erase(std::find(temporaries_.begin(), temporaries_.end(), temp));
        named_.push_back(*name.first);
        if (name.second != 0 && stopsAfter(name.second)) return kSplitStopped;
    }
    // The key file last: from here on TARGET is a drive.
    const std::wstring temp = targetKey_ + L".tmp";
    if (!plat::moveNoReplace(temp, targetKey_)) {
        std::wstring reason = plat::systemErrorMessage(plat::lastSystemError());
        if (!plat::fileInfo(targetKey_, nullptr)) return failAfterLowering(format(
            L"cannot rename '%ls' to '%ls': %ls", temp.c_str(), targetKey_.c_str(), reason.c_str()));
        return fail(format(L"cannot rename '%ls' to '%ls': %ls. '%ls' keeps its lowered range; "
                           L"check both drives with 'velkin-keydrive check %ls %ls'",
                           temp.c_str(), targetKey_.c_str(), reason.c_str(), options_.source.c_str(),
                           options_.source.c_str(), options_.target.c_str()));
    }
    temporaries_.clear();
    if (stopsAfter(kStepKeyNamed)) return kSplitStopped;
    return 0;
}

int Splitter::run() {
    if (inspectTarget() != 0 || openSource() != 0 || planRanges() != 0 || checkRoom() != 0) return 1;
    result_->replacedLeftovers = !leftovers_.empty();
    int written = writeTarget();
    if (written == kSplitStopped) return written;
    if (written != 0) {
        removeTemporaries();
        *error_ += finishing_ ? format(L". Split onto '%ls' again to finish the split.", options_.target.c_str())
                              : format(L". '%ls' is as it was; nothing was %ls.", options_.source.c_str(),
                                       options_.backup ? L"made" : L"split");
        return 1;
    }
    // A backup and the finishing of a split cut short leave SOURCE's range
    // as it is.
    if (!options_.backup && !finishing_ && lowerSource() != 0) return 1;
    if (stopsAfter(kStepSourceLowered)) return kSplitStopped;
    int named = nameTargetFiles();
    if (named != 0) return named;
    closeSource();
    return commitTargetFolders();
}

}  // namespace

bool parseShare(const std::wstring& text, Share* share) {
    size_t at = 0;
    uint64_t numerator = 0, denominator = 1, whole = 0;
    int digits = 0;
    size_t slash = text.find(L'/');
    if (slash != std::wstring::npos) {
        if (!readDigits(text, &at, kMaxTerm, &numerator, &digits) || digits == 0 || at != slash) return false;
        ++at;
        if (!readDigits(text, &at, kMaxTerm, &denominator, &digits) || digits == 0 || at != text.size())
            return false;
    } else {
        if (!readDigits(text, &at, kMaxTerm, &whole, &digits)) return false;
        int wholeDigits = digits, decimals = 0;
        uint64_t fraction = 0;
        if (at < text.size() && text[at] == L'.') {
            ++at;
            if (!readDigits(text, &at, kMaxTerm, &fraction, &decimals) || decimals > kMaxDecimals) return false;
        }
        if (wholeDigits + decimals == 0) return false;
        for (int i = 0; i < decimals; ++i) denominator *= 10;
        numerator = whole * denominator + fraction;
        if (at < text.size() && text[at] == L'%') {
            denominator *= 100;
            ++at;
        }
        if (at != text.size()) return false;
    }
    if (numerator == 0 || numerator >= denominator) return false;
    share->numerator = numerator;
    share->denominator = denominator;
    share->text = text;
    return true;
}

int splitDrive(const SplitOptions& options, SplitResult* result, std::wstring* error) {
    Splitter splitter(options, result, error);
    return splitter.run();
}

void takeTestStop(SplitOptions* options) {
    std::wstring stop;
    if (plat::getEnv(L"VKLIB_TEST_SPLIT_STOP", &stop)) {
        options->stopAfterStep = std::wcstol(stop.c_str(), nullptr, 10);
        options->exitAtStop = true;
    }
}

}  // namespace keydrive
