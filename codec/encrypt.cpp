// Encryption of one plaintext file: masked header, chunks XORed with fresh
// key blocks, and a tail of key material that hides the exact length.

#include "codec/encrypt.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "codec/bufferedwrite.h"
#include "codec/codecrun.h"
#include "codec/format.h"
#include "diag/error.h"
#include "diag/log.h"
#include "digest/digestpath.h"
#include "digest/digestworker.h"
#include "key/key.h"
#include "platform/platform.h"

using namespace codec;

namespace {

wchar_t resultBuffer[kEncryptResultSize];

// Opens the source, builds the plain header in the run's header area and
// checks everything about the encryption that can be known before writing:
// the length, the stored name, the target path, and that no other file
// stands under the default encrypted name or the temporary name. 1 after
// reporting.
int prepareEncryption(CodecRun* run, const wchar_t* directoryPrefix, const wchar_t* sourcePath,
                      const wchar_t* explicitTarget, EncryptionNeeds* needs, const plat::FileId* expected) {
    // A digest path that this processor cannot run fails before anything.
    if (checkDigestPath() != 0) return 1;
    if (run->openSource(sourcePath, expected) != 0) return 1;
    if (run->sourceId.links > 1) {
        reportError(L"cannot encrypt '%ls': the file has %u names (hard links), and erasing its "
                    L"plaintext afterwards would destroy it under its other names as well; remove its "
                    L"other names first",
                    sourcePath, static_cast<unsigned>(run->sourceId.links));
        return 1;
    }

    uint8_t* work = run->header;
    std::memset(work, 0, kBlockSize);
    putU32(work + kVersionOffset, kFormatVersion);
    int64_t measured = -1;
    if (plat::seekFile(run->source, 0, SEEK_END) == 0) measured = plat::tellFile(run->source);
    if (measured < 0 || plat::seekFile(run->source, 0, SEEK_SET) != 0) {
        reportError(L"error reading file '%ls': %ls", sourcePath, stdErrorText());
        return 1;
    }
    const uint64_t n = static_cast<uint64_t>(measured);
    putU64(work + kPlainLengthOffset, n);

    const uint64_t m = chunkCount(n);
    if (m + 4 > 0xFFFFFFFFull) {
        reportError(L"cannot encrypt '%ls': the file is too large", sourcePath);
        return 1;
    }

    const std::wstring baseName = baseNameOf(sourcePath);
    if (!storeBaseName(baseName, work)) {
        reportError(L"cannot encrypt '%ls': its name does not fit the %u UTF-16 code units that "
                    L"an encrypted file can hold",
                    sourcePath, static_cast<unsigned>(kBaseNameUnits - 1));
        return 1;
    }
    // Decryption refuses a stored name that could name anything but a plain
    // file in its output folder. Where ':', '\' or control characters are
    // ordinary in file names, such a file must not be encrypted: its
    // plaintext would be erased for a file that never decrypts.
    std::wstring storedName;
    if (const wchar_t* problem = loadBaseName(work, &storedName)) {
        reportError(L"cannot encrypt '%ls': its name %ls, so it could not be decrypted", sourcePath,
                    problem);
        return 1;
    }

    std::wstring target;
    if (explicitTarget) {
        target = explicitTarget;
    } else {
        if (directoryPrefix) target = directoryPrefix;
        target += baseName;
        target += kEncryptedSuffix;
    }
    if (target.size() >= kEncryptResultSize) {
        reportError(L"cannot encrypt to '%ls': the path is longer than %u characters",
                    target.c_str(), static_cast<unsigned>(kEncryptResultSize - 1));
        return 1;
    }
    // A file under the default encrypted name is not this plaintext's to
    // replace: an older encrypted version, or anything named like it.
    if (!explicitTarget && plat::fileInfo(target, nullptr)) {
        reportError(L"cannot encrypt '%ls': '%ls' exists already; move it away or rename it first",
                    sourcePath, target.c_str());
        return 1;
    }
    needs->plainLength = n;
    needs->keyBlocks = static_cast<uint32_t>(m + 4);
    needs->largestSize = largestEncryptedSize(n);
    needs->target = target;
    return 0;
}

}  // namespace

int checkEncryption(const wchar_t* directoryPrefix, const wchar_t* sourcePath,
                    const wchar_t* explicitTarget, EncryptionNeeds* needs, const plat::FileId* source) {
    CodecRun run;
    return prepareEncryption(&run, directoryPrefix, sourcePath, explicitTarget, needs, source);
}

namespace {

// A name beside the target that is free: " (edited)" before the encrypted
// name's suffix (or at the end of a name without it), numbered when taken.
std::wstring besideName(const std::wstring& target) {
    const std::wstring suffix = kEncryptedSuffix;
    const bool suffixed = target.size() > suffix.size() &&
                          target.compare(target.size() - suffix.size(), suffix.size(), suffix) == 0;
    const std::wstring stem = suffixed ? target.substr(0, target.size() - suffix.size()) : target;
    for (int n = 1; n < 1000; ++n) {
        std::wstring name = stem + (n == 1 ? L" (edited)" : L" (edited " + std::to_wstring(n) + L")") +
                            (suffixed ? suffix : L"");
        if (!plat::fileInfo(name, nullptr)) return name;
    }
    return std::wstring();
}

int reportChanged(const wchar_t* sourcePath, uint64_t n) {
    reportError(L"cannot encrypt '%ls': the file changed while it was being encrypted (%llu "
                L"bytes when encryption began)",
                sourcePath, static_cast<unsigned long long>(n));
    return 1;
}

}  // namespace

int encryptFile(const wchar_t* directoryPrefix, const wchar_t* sourcePath,
                const wchar_t* explicitTarget, const wchar_t** resultPath, EncryptChecks* checks) {
    *resultPath = nullptr;
    CodecRun run;
    EncryptionNeeds needs;
    if (prepareEncryption(&run, directoryPrefix, sourcePath, explicitTarget, &needs,
                          checks ? checks->source : nullptr) != 0)
        return 1;
    uint8_t* work = run.work;
    uint8_t* header = run.header;
    const uint64_t n = needs.plainLength;
    const uint64_t m = chunkCount(n);
    const uint32_t reservation = needs.keyBlocks;
    const uint32_t divisor = static_cast<uint32_t>(m + 2);
    std::wmemcpy(resultBuffer, needs.target.c_str(), needs.target.size() + 1);

    // Everything that can be known is checked, and the output created,
    // before any key block is reserved: a write that cannot succeed costs
    // no key.
    if (checkRoom(L"encrypt", sourcePath, L"its encrypted file of up to", resultBuffer,
                  needs.largestSize) != 0)
        return 1;
    if (openKeyStore() != 0) return 1;
    if (run.beginOutput(resultBuffer, PendingKind::EncryptedOutput, checks ? checks->staged : nullptr) != 0)
        return 1;
    if (reserveKeyBlocks(reservation) != 0) return 1;

    run.beginPhase(L"Encrypting file\n%ls", sourcePath, L"Encrypting");
    // The header key block, copied aside; the digest key block goes into
    // the digest at once.
    const uint8_t* block = nextKeyBlock();
    if (!block) return 1;
    std::memcpy(run.keyCopy, block, kBlockSize);
    block = nextKeyBlock();
    if (!block) return 1;
    // The file is read once: each piece is digested on a second thread
    // while this one encrypts and writes it. A file of one piece gains
    // nothing from a thread.
    if (run.digester.begin(block, n > DigestWorker::kSlotSize) != 0) return 1;

    // The stored header needs the digest of the whole plaintext: its place
    // is held by zero bytes until the chunks are written, then it is put
    // there, in the temporary file that nobody else uses.
    std::memset(work, 0, kBlockSize);
    if (writeOutput(work, kBlockSize) != 0) {
        run.outputOpen = false;
        return 1;
    }
    bool headerDone = false;
    auto completeHeader = [&]() {
        run.digester.finish(header + kDigestOffset);
        xorBlock(header, run.keyCopy);
        headerDone = true;
    };

    // The work area holds the previous stored chunk: beyond the end of the
    // plaintext, the last chunk carries it (or, for a single chunk, the
    // stored header) as filler.
    uint64_t readTotal = 0;
    uint32_t i = 0;
    for (;;) {
        uint8_t* piece = run.digester.freeSlot();
        std::size_t got = 0;
        if (run.readSource(piece, DigestWorker::kSlotSize, &got) != 0) {
            reportError(L"error reading file '%ls': %ls", sourcePath, stdErrorText());
            return 1;
        }
        readTotal += got;
        // A source that grew since it was measured would need key blocks
        // beyond the reservation: stop before drawing one.
        if (readTotal > n) return reportChanged(sourcePath, n);
        run.digester.submit(piece, got);
        for (std::size_t at = 0; at < got; at += kBlockSize) {
            const std::size_t len = got - at < kBlockSize ? got - at : kBlockSize;
            std::memcpy(work, piece + at, len);
            if (len < kBlockSize && i == 0) {
                // (Finishing the digest wipes the piece, copied just before.)
                completeHeader();
                std::memcpy(work + len, header + len, kBlockSize - len);
            }
            block = nextKeyBlock();
            if (!block) return 1;
            xorBlock(work, block);
            if (writeOutput(work, kBlockSize) != 0) {
                run.outputOpen = false;
                return 1;
            }
            reportProgress(static_cast<double>(i) / static_cast<double>(divisor));
            ++i;
        }
        // A short read is the end of the file.
        if (got < DigestWorker::kSlotSize) break;
    }
    // A source written to while it is read would be encrypted partly old
    // and partly new, and then erased: its length and last write time must
    // not have moved.
    if (readTotal != n || run.sourceId.size != n || !run.sourceUnchanged()) return reportChanged(sourcePath, n);

    if (!headerDone) completeHeader();
    if (patchOutput(0, header, kBlockSize) != 0) {
        run.outputOpen = false;
        return 1;
    }

    // Tail: t bytes of key material, t from the tail-length block.
    block = nextKeyBlock();
    if (!block) return 1;
    const uint32_t t = getU32(block) & kTailMask;
    if (t != 0) {
        block = nextKeyBlock();
        if (!block) return 1;
        std::memcpy(work, block, kBlockSize);
        if (writeOutput(work, t) != 0) {
            run.outputOpen = false;
            return 1;
        }
    }

    const plat::FileId sourceRead = run.sourceId;
    run.closeSource();
    run.outputOpen = false;
    // The encrypted file takes the permission bits of the file it replaces,
    // or the plaintext's; where they are unknown it stays the owner's alone.
    plat::FileId replaced;
    const bool replacing = explicitTarget && plat::nameIdentity(explicitTarget, &replaced) &&
                           replaced.kind == plat::FileKind::File;
    const uint32_t mode = replacing ? replaced.mode : sourceRead.mode;
    setOutputPermissions(mode != 0 ? mode : 0600);
    if (finishOutput() != 0) return 1;
    // The open command writes over the file it started from on purpose,
    // and only while the target is still that file; otherwise nothing is
    // replaced. Either way the encrypted file is on the disk under its name
    // before the caller erases the plaintext.
    int committed = 0;
    if (!explicitTarget) {
        committed = commitOutputNoReplace();
    } else if (!checks || !checks->replaces) {
        committed = commitOutput();
    } else {
        committed = commitOutputOver(*checks->replaces);
        if (committed == 2) {
            const std::wstring beside = besideName(needs.target);
            committed = beside.empty() || beside.size() >= kEncryptResultSize ? 1 : commitOutputAs(beside);
            if (beside.empty()) {
                reportError(L"cannot encrypt '%ls': '%ls' changed meanwhile, and no free name was found "
                            L"beside it; the encrypted file is kept as '%ls'",
                            sourcePath, needs.target.c_str(), outputTempName());
            }
            if (committed == 0) {
                std::wmemcpy(resultBuffer, beside.c_str(), beside.size() + 1);
                checks->keptBeside = true;
            }
        }
    }
    run.settleOutput();
    if (committed != 0) return 1;
    if (checks) {
        checks->read = sourceRead;
        checks->written = committedIdentity();
    }

    *resultPath = resultBuffer;
    logMessage(L"encrypted '%ls' to '%ls'", sourcePath, resultBuffer);
    return 0;   // the destructor ends the progress phase
}
