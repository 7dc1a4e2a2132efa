// Clean-up of one encryption or decryption.

#include "codec/codecrun.h"

#include <cerrno>
#include <string>

#include "codec/bufferedwrite.h"
#include "codec/expunge.h"
#include "diag/error.h"
#include "key/key.h"
#include "platform/platform.h"
#include "platform/wipe.h"
#include "ui/progress.h"

namespace codec {

bool (*sourceReadHookForTest)(uint64_t bytesSoFar) = nullptr;

namespace {

uint64_t sourceBytesRead = 0;

}  // namespace

CodecRun::~CodecRun() {
    // The digest thread ends first: nothing of this run may go on running.
    digester.stop();
    closeSource();
    // An output finished but not put in place (kept on purpose, or given
    // up) is let go of too.
    if (outputOpen || outputBegun) abandonOutput();
    if (phaseOpen) progressEnd();
    discardPartial();
    wipeSecret(work, sizeof work);
    wipeSecret(header, sizeof header);
    wipeSecret(keyCopy, sizeof keyCopy);
    wipeSecret(digest, sizeof digest);
    wipeKeyMaterial();
}

int CodecRun::openSource(const wchar_t* path, const plat::FileId* expected) {
    errno = 0;
    source = plat::openNoFollow(path, false, &sourceId);
    if (!source) {
        if (errno == ELOOP) {
            reportError(L"cannot open file '%ls': it is a link now; links are not followed", path);
        } else {
            reportError(L"cannot open file '%ls': %ls", path, stdErrorText());
        }
        return 1;
    }
    if (expected && !plat::sameFileId(sourceId, *expected)) {
        reportError(L"cannot open file '%ls': another file was put under its name since it was "
                    L"found; it was left as it is",
                    path);
        closeSource();
        return 1;
    }
    std::setvbuf(source, nullptr, _IONBF, 0);
    sourceBytesRead = 0;
    return 0;
}

bool CodecRun::sourceUnchanged() {
    plat::FileId now;
    return source && plat::streamIdentity(source, &now) && plat::sameVersion(now, sourceId);
}

void CodecRun::closeSource() {
    if (!source) return;
    std::fclose(source);
    source = nullptr;
}

int CodecRun::readSource(uint8_t* into, std::size_t want, std::size_t* got) {
    errno = 0;
    *got = std::fread(into, 1, want, source);
    if (std::ferror(source)) return 1;
    sourceBytesRead += *got;
    if (sourceReadHookForTest && !sourceReadHookForTest(sourceBytesRead)) {
        errno = EIO;
        return 1;
    }
    return 0;
}

void CodecRun::beginPhase(const wchar_t* format, const wchar_t* argument, const wchar_t* title) {
    progressBegin(format, argument, title);
    phaseOpen = true;
}

void CodecRun::endPhase() {
    progressEnd();
    phaseOpen = false;
}

int CodecRun::beginOutput(const wchar_t* target, PendingKind kind, StagedOutput* staged) {
    if (staged) {
        // The batch ends the record of an output that was never opened.
        if (openStagedOutput(target, staged->temp, staged->id) != 0) return 1;
        staged->taken = true;
        ticket = staged->ticket;
        recorded = true;
        outputOpen = true;
        outputBegun = true;
        partial = true;
        partialKind = kind;
        partialPath = outputTempName();
        partialId = staged->id;
        return 0;
    }
    // Recorded before it is created, under the name it will have, so that
    // no run stopped at any moment leaves it unnamed; the record learns its
    // identity once it exists, before anything is written into it. A drawn
    // name that turns out taken is drawn again.
    PendingRecord record;
    record.kind = kind;
    for (int attempt = 0;; ++attempt) {
        const std::wstring temp = newTempName(target);
        if (temp.empty()) {
            reportError(L"cannot open a temporary file for '%ls': the system gives no random numbers",
                        target);
            return 1;
        }
        record.paths = {plat::absolutePath(temp), plat::absolutePath(target)};
        recordFolderOf(record.paths[1], &record);
        if ((recorded ? updatePending(ticket, record) : beginPending(record, &ticket)) != 0) return 1;
        recorded = true;
        errno = 0;
        if (openOutput(target, temp.c_str()) == 0) break;
        if (errno != EEXIST || attempt >= 7) {
            endPending(ticket);
            recorded = false;
            return 1;
        }
    }
    outputOpen = true;
    outputBegun = true;
    partial = true;
    partialKind = kind;
    partialPath = outputTempName();
    partialId = plat::FileId();
    if (!outputIdentity(&record.id)) {
        reportError(L"cannot open '%ls': %ls", partialPath.c_str(), systemErrorText());
        return 1;
    }
    partialId = record.id;
    return updatePending(ticket, record);
}

void CodecRun::settleOutput() {
    partial = false;
    if (recorded) endPending(ticket);
    recorded = false;
}

void CodecRun::discardPartial() {
    if (!partial) return;
    partial = false;
    const std::wstring reported = lastErrorText;
    int failed = 0;
    // Only the very file this run created goes: a name that holds another
    // by now is left as it is, and the record stays for the next run.
    const plat::FileId* created = partialId.index != 0 || partialId.volume != 0 ? &partialId : nullptr;
    if (partialKind == PendingKind::PlainOutput) {
        failed = wipeAndRemove(partialPath, nullptr, created);
    } else {
        errno = 0;
        const plat::HeldStep step = created ? plat::removeExpected(partialPath, *created, false)
                                            : (plat::removeFile(partialPath) == 0 ? plat::HeldStep::Done
                                                                                  : plat::HeldStep::Failed);
        if (step == plat::HeldStep::Elsewhere) {
            reportError(L"cannot remove '%ls': another file was put under that name; it was left as it is",
                        partialPath.c_str());
            failed = 1;
        } else if (step == plat::HeldStep::Failed) {
            reportError(L"cannot remove '%ls': %ls", partialPath.c_str(), stdErrorText());
            failed = 1;
        }
    }
    if (failed) {
        // The record stays, so that the next run tries again.
        const std::wstring cause = lastErrorText;
        reportError(L"%ls; the partial output '%ls' is left behind: %ls", reported.c_str(),
                    partialPath.c_str(), cause.c_str());
        return;
    }
    plat::commitFolderOf(partialPath);
    if (recorded) endPending(ticket);
    recorded = false;
}

int checkRoom(const wchar_t* action, const wchar_t* sourcePath, const wchar_t* what,
              const wchar_t* target, uint64_t need) {
    uint64_t freeBytes = 0;
    bool isFat = false;
    // A volume that does not tell (its folder may be missing) is not
    // refused here: creating the output, which comes next, says why it
    // cannot be written.
    if (!plat::volumeSpace(target, &freeBytes, &isFat)) return 0;
    if (isFat && need > 0xFFFFFFFFull) {
        reportError(L"cannot %ls '%ls': %ls %llu bytes would exceed the 4 GiB file size limit of "
                    L"the FAT volume of '%ls'",
                    action, sourcePath, what, static_cast<unsigned long long>(need), target);
        return 1;
    }
    if (need > freeBytes) {
        reportError(L"cannot %ls '%ls': %llu bytes are required on the volume of '%ls' but only "
                    L"%llu bytes are free",
                    action, sourcePath, static_cast<unsigned long long>(need), target,
                    static_cast<unsigned long long>(freeBytes));
        return 1;
    }
    return 0;
}

bool sourceBufferWipedForTest() { return digestSlotsWipedForTest(); }

}  // namespace codec
