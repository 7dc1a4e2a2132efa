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
#include "digest/filedigest.h"
#include "key/key.h"
#include "platform/platform.h"

using namespace codec;

namespace {

wchar_t resultBuffer[kEncryptResultSize];

// Opens the source, builds the plain header in the run's work area and
// checks everything about the encryption that can be known before writing:
// the length, the stored name, the target path, and that no other file
// stands under the default encrypted name or the temporary name. 1 after
// reporting.
int prepareEncryption(CodecRun* run, const wchar_t* directoryPrefix, const wchar_t* sourcePath,
                      const wchar_t* explicitTarget, EncryptionNeeds* needs) {
    if (run->openSource(sourcePath) != 0) return 1;

    uint8_t* work = run->work;
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
    if (checkOutputFree(target.c_str()) != 0) return 1;
    needs->plainLength = n;
    needs->keyBlocks = static_cast<uint32_t>(m + 4);
    needs->largestSize = largestEncryptedSize(n);
    needs->target = target;
    return 0;
}

}  // namespace

int checkEncryption(const wchar_t* directoryPrefix, const wchar_t* sourcePath,
                    const wchar_t* explicitTarget, EncryptionNeeds* needs) {
    CodecRun run;
    return prepareEncryption(&run, directoryPrefix, sourcePath, explicitTarget, needs);
}

int encryptFile(const wchar_t* directoryPrefix, const wchar_t* sourcePath,
                const wchar_t* explicitTarget, const wchar_t** resultPath) {
    *resultPath = nullptr;
    CodecRun run;
    EncryptionNeeds needs;
    if (prepareEncryption(&run, directoryPrefix, sourcePath, explicitTarget, &needs) != 0) return 1;
    uint8_t* work = run.work;
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
    if (run.beginOutput(resultBuffer, PendingKind::EncryptedOutput) != 0) return 1;
    if (reserveKeyBlocks(reservation) != 0) return 1;

    // Header key block and keyed digest of the plaintext.
    run.beginPhase(L"Scanning file\n%ls", sourcePath, L"Encrypting");
    const uint8_t* block = nextKeyBlock();
    if (!block) return 1;
    std::memcpy(run.keyCopy, block, kBlockSize);
    block = nextKeyBlock();
    if (!block) return 1;
    if (digestFile(sourcePath, block, work + kDigestOffset) != 0) return 1;
    run.endPhase();

    xorBlock(work, run.keyCopy);
    if (writeOutput(work, kBlockSize) != 0) {
        run.outputOpen = false;
        return 1;
    }

    if (plat::seekFile(run.source, 0, SEEK_SET) != 0) {
        reportError(L"error reading file '%ls': %ls", sourcePath, stdErrorText());
        return 1;
    }
    run.beginPhase(L"Encrypting file\n%ls", sourcePath, L"Encrypting");
    // The work area is not cleared between chunks: beyond the end of the
    // plaintext, the last chunk carries the previous stored chunk (or the
    // stored header) as filler.
    uint64_t readTotal = 0;
    for (uint32_t i = 0;; ++i) {
        std::size_t got = std::fread(work, 1, kBlockSize, run.source);
        if (std::ferror(run.source)) {
            reportError(L"error reading file '%ls': %ls", sourcePath, stdErrorText());
            return 1;
        }
        if (got == 0) break;
        readTotal += got;
        // A source that grew since it was measured would need key blocks
        // beyond the reservation: stop before drawing one.
        if (i >= m || readTotal > n) break;
        block = nextKeyBlock();
        if (!block) return 1;
        xorBlock(work, block);
        if (writeOutput(work, kBlockSize) != 0) {
            run.outputOpen = false;
            return 1;
        }
        reportProgress(static_cast<double>(i) / static_cast<double>(divisor));
    }
    if (readTotal != n) {
        reportError(L"cannot encrypt '%ls': the file changed while it was being encrypted (%llu "
                    L"bytes when encryption began)",
                    sourcePath, static_cast<unsigned long long>(n));
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

    run.closeSource();
    run.outputOpen = false;
    if (finishOutput() != 0) return 1;
    // The open command writes over the file it started from on purpose;
    // otherwise nothing is replaced. Either way the encrypted file is on
    // the disk under its name before the caller erases the plaintext.
    if ((explicitTarget ? commitOutput() : commitOutputNoReplace()) != 0) return 1;
    run.settleOutput();

    *resultPath = resultBuffer;
    logMessage(L"encrypted '%ls' to '%ls'", sourcePath, resultBuffer);
    return 0;   // the destructor ends the progress phase
}
