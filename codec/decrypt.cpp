// Recognising files of this key, and decryption with the tamper check.
//
// The decrypted file is finished under "<target>.tmp" and checked against
// the stored digest before it replaces anything: a file that fails the check
// never takes the place of an existing file (possibly the encrypted file
// itself), and its unverified content stays under the temporary name.

#include "codec/decrypt.h"

#include <cerrno>
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
#include "digest/filedigest.h"
#include "key/key.h"
#include "key/paddigest.h"
#include "platform/platform.h"
#include "platform/wipe.h"

using namespace codec;

namespace {

wchar_t resultBuffer[kDecryptResultSize];

constexpr std::size_t kProbeSize = 2048;

// Opens the file as the run's source and reads its stored header into the
// run's work area; 1 after reporting.
int readStoredHeader(CodecRun* run, const wchar_t* path, const plat::FileId* expected = nullptr) {
    if (run->openSource(path, expected) != 0) return 1;
    if (std::fread(run->work, kBlockSize, 1, run->source) != 1) {
        // A short file leaves errno untouched; name the cause instead.
        const wchar_t* cause = std::ferror(run->source) ? stdErrorText() : L"the file is too short";
        reportError(L"error reading header from file '%ls': %ls", path, cause);
        return 1;
    }
    return 0;
}

// The version and the stored base name of a decoded header; 1 after
// reporting when the file cannot be decrypted.
int checkHeader(const uint8_t* header, const wchar_t* sourcePath, std::wstring* baseName) {
    uint32_t version = getU32(header + kVersionOffset);
    if (version != kFormatVersion) {
        reportError(L"file '%ls' has version %u and cannot be decrypted with version %u",
                    sourcePath, static_cast<unsigned>(version),
                    static_cast<unsigned>(kFormatVersion));
        return 1;
    }
    // The stored name can be altered without the key (the header is only
    // XOR-masked): it must name a plain file inside the output folder.
    if (const wchar_t* problem = loadBaseName(header, baseName)) {
        reportError(L"file '%ls' cannot be decrypted: the name stored in it %ls", sourcePath,
                    problem);
        return 1;
    }
    return 0;
}

}  // namespace

int probeFile(const wchar_t* path, int32_t* isEncrypted, int32_t* isArchive) {
    // A key store that cannot be used is a failure, not "not encrypted
    // with this key": taken for the latter, a decryption would do nothing
    // and report success.
    if (openKeyStore() != 0) return 1;
    errno = 0;
    FILE* f = plat::openNoFollow(path, false, nullptr);
    if (!f) {
        if (errno == ELOOP) {
            reportError(L"cannot open file '%ls': it is a link; links are not followed", path);
        } else {
            reportError(L"cannot open file '%ls': %ls", path, stdErrorText());
        }
        return 1;
    }
    uint8_t probe[kProbeSize];
    std::size_t got = std::fread(probe, 1, kProbeSize, f);
    std::fclose(f);

    int found = got >= kBlockSize ? lookUpKeyBlock(probe) : 1;
    if (found == 1 && got >= kArchiveHeaderOffset + kBlockSize) {
        found = lookUpKeyBlock(probe + kArchiveHeaderOffset);
        if (found == 0) found = 3;   // an archive
    }
    if (found == 2) return 1;
    const bool encrypted = found == 0;
    const bool archive = found == 3;

    logMessage(L"file '%ls' is %lsencrypted and is %lsan archive", path,
               encrypted ? L"" : L"not ", archive ? L"" : L"not ");
    *isEncrypted = encrypted ? -1 : 0;
    *isArchive = archive ? -1 : 0;
    return 0;
}

int readStoredName(const wchar_t* path, std::wstring* name) {
    CodecRun run;
    if (readStoredHeader(&run, path) != 0) return 1;
    uint8_t* header = run.work;
    std::memcpy(run.keyCopy, header, kBlockSize);   // the stored header, to find its block again
    if (findKeyBlock(run.keyCopy) != 0) {
        reportError(L"file '%ls' is not encrypted with the key in the drive", path);
        return 1;
    }
    const uint8_t* block = nextKeyBlock();
    if (!block) return 1;
    xorBlock(header, block);
    // Back on the header key block, where the probe left the cursor for the
    // decryption that follows.
    findKeyBlock(run.keyCopy);
    return checkHeader(header, path, name);
}

namespace {

// Reads and decodes the header of a file that a probe found encrypted (the
// cursor on its header key block) into the run's work area, and checks
// everything about its output that can be known before writing: the stored
// name, the output path, and that no file but the encrypted file itself
// stands under the output name or its temporary name. 1 after reporting.
int prepareDecryption(CodecRun* run, const wchar_t* sourcePath, const wchar_t* outputDirectory,
                      std::wstring* baseName, DecryptionNeeds* needs,
                      const plat::FileId* expected = nullptr) {
    // A digest path that this processor cannot run fails before anything.
    if (checkDigestPath() != 0) return 1;
    if (readStoredHeader(run, sourcePath, expected) != 0) return 1;
    uint8_t* work = run->work;
    std::memcpy(run->keyCopy, work, kBlockSize);   // the stored header, to find its block again
    const uint8_t* block = nextKeyBlock();
    if (!block) return 1;
    xorBlock(work, block);

    if (checkHeader(work, sourcePath, baseName) != 0) return 1;
    std::wstring outputPath = outputDirectory ? outputDirectory : L"";
    outputPath += *baseName;
    if (outputPath.size() >= kDecryptResultSize) {
        reportError(L"file '%ls' cannot be decrypted: the path '%ls' is longer than %u characters",
                    sourcePath, outputPath.c_str(), static_cast<unsigned>(kDecryptResultSize - 1));
        return 1;
    }
    // The plaintext replaces no file but the encrypted file itself (when
    // its stored name is its own name, by any spelling).
    needs->replacesSource = plat::sameFile(outputPath, sourcePath);
    if (!needs->replacesSource && plat::fileInfo(outputPath, nullptr)) {
        reportError(L"file '%ls' cannot be decrypted: '%ls' exists already; move it away or rename "
                    L"it first",
                    sourcePath, outputPath.c_str());
        return 1;
    }
    needs->output = outputPath;
    needs->plainLength = getU64(work + kPlainLengthOffset);
    return 0;
}

}  // namespace

namespace {

// Decodes the header in the run's work area (cursor on its header key
// block) and compares the whole encrypted file with the plaintext file:
// stored name, length, digest and every byte. 0 when they agree.
int compareWithPlaintext(CodecRun* run, const wchar_t* encryptedPath, const wchar_t* plainPath,
                         const std::wstring& plainName, plat::FileId* plainRead) {
    uint8_t* work = run->work;
    const uint8_t* block = nextKeyBlock();
    if (!block) return 1;
    xorBlock(work, block);
    std::wstring name;
    if (checkHeader(work, encryptedPath, &name) != 0 || name != plainName) return 1;
    const uint64_t plainLength = getU64(work + kPlainLengthOffset);
    std::memcpy(run->digest, work + kDigestOffset, kDigestSize);
    block = nextKeyBlock();
    if (!block) return 1;
    std::memcpy(run->keyCopy, block, kBlockSize);

    plat::FileId plainId;
    FILE* plain = plat::openNoFollow(plainPath, false, &plainId);
    if (!plain) return 1;
    std::setvbuf(plain, nullptr, _IONBF, 0);
    int differs = 0;
    int64_t size = -1;
    if (plat::seekFile(plain, 0, SEEK_END) == 0) size = plat::tellFile(plain);
    if (size < 0 || static_cast<uint64_t>(size) != plainLength || plat::seekFile(plain, 0, SEEK_SET) != 0)
        differs = 1;
    // One pass over both files in large pieces: the body is decrypted in
    // the digest's slots, compared with the plaintext file, and digested
    // on a second thread.
    if (!differs && run->digester.begin(run->keyCopy, plainLength > DigestWorker::kSlotSize) != 0)
        differs = 1;
    constexpr std::size_t kCompareSize = 64 * 1024;
    uint8_t expected[kCompareSize];
    const uint64_t bodyLength = chunkCount(plainLength) * kBlockSize;
    for (uint64_t done = 0; !differs && done < plainLength;) {
        uint8_t* piece = run->digester.freeSlot();
        const uint64_t left = bodyLength - done;
        const std::size_t want =
            left < DigestWorker::kSlotSize ? static_cast<std::size_t>(left) : DigestWorker::kSlotSize;
        const std::size_t plainWant = plainLength - done < want ? static_cast<std::size_t>(plainLength - done) : want;
        std::size_t got = 0;
        if (run->readSource(piece, want, &got) != 0 || got < plainWant) {
            differs = 1;
            break;
        }
        for (std::size_t at = 0; at < got; at += kBlockSize) {
            block = nextKeyBlock();
            if (!block) {
                differs = 1;
                break;
            }
            xorBlock(piece + at, block, got - at < kBlockSize ? got - at : kBlockSize);
        }
        run->digester.submit(piece, differs ? 0 : plainWant);
        for (std::size_t at = 0; !differs && at < plainWant; at += kCompareSize) {
            const std::size_t n = plainWant - at < kCompareSize ? plainWant - at : kCompareSize;
            differs = std::fread(expected, 1, n, plain) != n || std::memcmp(piece + at, expected, n) != 0;
        }
        done += plainWant;
    }
    // Compared with the version that was opened, from its first byte to
    // its last.
    plat::FileId plainNow;
    if (!plat::streamIdentity(plain, &plainNow) || !plat::sameVersion(plainNow, plainId)) differs = 1;
    std::fclose(plain);
    wipeSecret(expected, sizeof expected);
    if (differs) return 1;
    if (plainRead) *plainRead = plainId;
    // The bytes agree; the stored digest must vouch for them too.
    run->digester.finish(work);
    return std::memcmp(work, run->digest, kDigestSize) != 0;
}

}  // namespace

int verifyEncryptedCopy(const wchar_t* encryptedPath, const wchar_t* plainPath, const wchar_t* plainName,
                        plat::FileId* plainRead, plat::FileId* encryptedRead) {
    CodecRun run;
    if (readStoredHeader(&run, encryptedPath) != 0) return 1;
    uint8_t stored[kBlockSize];
    std::memcpy(stored, run.work, kBlockSize);
    const std::wstring name = plainName ? std::wstring(plainName) : baseNameOf(plainPath);
    int differs = compareWithPlaintext(&run, encryptedPath, plainPath, name, plainRead);
    if (!differs && !run.sourceUnchanged()) differs = 1;
    if (!differs && encryptedRead) *encryptedRead = run.sourceId;
    // Back on the header key block, where the probe left the cursor.
    findKeyBlock(stored);
    return differs;
}

int checkDecryption(const wchar_t* sourcePath, const wchar_t* outputDirectory, DecryptionNeeds* needs) {
    CodecRun run;
    std::wstring baseName;
    const int failed = prepareDecryption(&run, sourcePath, outputDirectory, &baseName, needs);
    // Back on the header key block, where the probe left the cursor.
    if (failed == 0) findKeyBlock(run.keyCopy);
    return failed;
}

int decryptFile(const wchar_t* sourcePath, const wchar_t* outputDirectory,
                const wchar_t** resultPath, DecryptChecks* checks) {
    CodecRun run;
    // probeFile left the cursor on the header key block: the first block of
    // the writer's reservation.
    const uint32_t headerBlock = keyCursor();

    std::wstring baseName;
    DecryptionNeeds needs;
    if (prepareDecryption(&run, sourcePath, outputDirectory, &baseName, &needs,
                          checks ? checks->source : nullptr) != 0)
        return 1;
    uint8_t* work = run.work;
    std::wmemcpy(resultBuffer, needs.output.c_str(), needs.output.size() + 1);
    const uint64_t plainLength = needs.plainLength;
    if (checkRoom(L"decrypt", sourcePath, L"its plaintext of", resultBuffer, plainLength) != 0) return 1;
    std::memcpy(run.digest, work + kDigestOffset, kDigestSize);

    const uint8_t* block = nextKeyBlock();
    if (!block) return 1;
    std::memcpy(run.keyCopy, block, kBlockSize);

    if (run.beginOutput(resultBuffer, PendingKind::PlainOutput, checks ? checks->staged : nullptr) != 0) return 1;

    run.beginPhase(L"Decrypting file\n%ls", baseName.c_str(), L"Decrypting");

    // The plaintext is digested on a second thread as it is produced, so
    // that the finished output need not be read back for the tamper check.
    if (run.digester.begin(run.keyCopy, plainLength > DigestWorker::kSlotSize) != 0) return 1;

    // One key block per chunk of the plaintext, as the writer drew them.
    // The tail and anything appended after it are never read: they hold no
    // plaintext, and drawing for them would run past the writer's
    // reservation.
    const uint64_t chunks = chunkCount(plainLength);
    uint64_t written = 0;
    uint64_t i = 0;   // chunks drawn
    for (; i < chunks;) {
        uint8_t* piece = run.digester.freeSlot();
        const uint64_t left = (chunks - i) * kBlockSize;
        const std::size_t want =
            left < DigestWorker::kSlotSize ? static_cast<std::size_t>(left) : DigestWorker::kSlotSize;
        std::size_t got = 0;
        if (run.readSource(piece, want, &got) != 0) {
            reportError(L"error reading file '%ls': %ls", sourcePath, stdErrorText());
            return 1;
        }
        // Each piece of up to 1024 bytes costs one key block. Never more
        // than was read becomes plaintext: a truncated file must not yield
        // bytes that are only key material over an earlier piece.
        const uint64_t before = written;
        for (std::size_t at = 0; at < got; at += kBlockSize, ++i) {
            const std::size_t len = got - at < kBlockSize ? got - at : kBlockSize;
            block = nextKeyBlock();
            if (!block) return 1;
            xorBlock(piece + at, block, len);
            const uint64_t end = before + at + len;
            written = end < plainLength ? end : plainLength;
            reportProgress(static_cast<double>(written) / (static_cast<double>(plainLength) + 1.0));
        }
        const std::size_t plain = static_cast<std::size_t>(written - before);
        run.digester.submit(piece, plain);
        if (writeOutput(piece, static_cast<uint32_t>(plain)) != 0) {
            run.outputOpen = false;
            return 1;
        }
        if (got < want) break;   // a truncated file: the check below fails it
    }

    // A source written to while it was read yields a plaintext partly of one
    // version and partly of another: the check below would fail it, but
    // the message should say why.
    const bool sourceChanged = !run.sourceUnchanged();
    const plat::FileId sourceRead = run.sourceId;
    run.closeSource();
    run.outputOpen = false;
    // The plaintext takes the encrypted file's permission bits once in
    // place; where they are unknown it stays the owner's alone.
    setOutputPermissions(sourceRead.mode != 0 ? sourceRead.mode : 0600);
    // The output is committed to the disk while the digest of its last
    // pieces is completed.
    if (finishOutput() != 0) return 1;
    const wchar_t* tempPath = outputTempName();
    logMessage(L"decrypted '%ls' from '%ls'", resultBuffer, sourcePath);

    // Tamper check of the complete output, before it replaces anything.
    // A file shorter than its stored length has lost part of its body (or
    // had its length altered): it fails like a changed body.
    // The unverified copy is kept on purpose, and named.
    uint8_t* computed = run.work;
    run.digester.finish(computed);
    if (written != plainLength || std::memcmp(computed, run.digest, kDigestSize) != 0) {
        if (sourceChanged) {
            reportError(L"'%ls' changed while it was being decrypted, digest check failed; the "
                        L"unverified copy was kept as '%ls'",
                        sourcePath, tempPath);
        } else {
            reportError(L"'%ls' may have been tampered with, digest check failed; the unverified copy "
                        L"was kept as '%ls'",
                        sourcePath, tempPath);
            // The fault may lie in the key drive's blocks rather than in the file.
            notePadDecay(headerBlock, i + 2);
        }
        run.settleOutput();
        return 1;
    }
    // A verified plaintext that cannot be put in place stays complete
    // under its temporary name, which the message names. Its own name
    // (the encrypted file's, when the stored name is that) is replaced
    // only while it holds the version that was read.
    int committed = needs.replacesSource ? commitOutputOver(sourceRead) : commitOutputNoReplace();
    if (committed == 2) {
        reportError(L"'%ls' changed while it was being decrypted; its plaintext was not put in its "
                    L"place and was kept as '%ls'",
                    sourcePath, tempPath);
        committed = 1;
    }
    run.settleOutput();
    if (committed != 0) return 1;
    if (checks) {
        checks->read = sourceRead;
        checks->written = committedIdentity();
    }

    *resultPath = resultBuffer;
    run.endPhase();
    // The writer reserved chunks + 4 blocks from the header key block on;
    // none of them may be handed out again by this drive. The outcome does
    // not change the result.
    raiseHighWaterMarkPast(headerBlock, chunks + 4);
    return 0;
}
