// The codec's single output file. Data gathers in a 1 MiB buffer and reaches
// the temporary file in whole-buffer writes; when complete, the temporary
// file is committed to the disk (a step at a time while it is written, see
// backgroundcommit.h) and then replaces the target in one step, so the
// target never holds a partial file. The buffer is wiped whenever an output
// ends, successfully or not, because it held plaintext.
//
// The temporary file has a name of its own, created exclusively: whatever
// another run, or anything else, keeps beside the target is never touched.
// It stays open until it is in place, so that the rename can be checked to
// move the very file that was written.

#include "codec/bufferedwrite.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "codec/backgroundcommit.h"
#include "diag/error.h"
#include "platform/platform.h"
#include "platform/wipe.h"

namespace {

constexpr std::size_t kNameSize = 1024;
constexpr int kNameAttempts = 8;
constexpr uint32_t kPrivateMode = 0600;

enum class OutputState { Idle, Open, Finished };

struct Output {
    wchar_t target[kNameSize];
    wchar_t temp[kNameSize];
    FILE* stream;
    uint32_t fill;
    uint64_t flushed;   // bytes handed to the stream
    OutputState state;
    plat::FileId created;   // the temporary file as created
    uint32_t mode;          // permission bits once in place; 0: stays private
    plat::FileId committed;
    bool staged;            // made ahead by a batch, which commits its folder
};

Output out = {{0}, {0}, nullptr, 0, 0, OutputState::Idle, {}, 0, {}, false};
// Commits the output a step at a time while it is being written.
BackgroundCommit committer;
uint8_t buffer[kOutputBufferSize];

void wipeBuffer() {
    wipeSecret(buffer, sizeof buffer);
    out.fill = 0;
}

int notOpen() {
    reportError(L"cannot write '%ls': no output file is open", out.temp);
    return 1;
}

void closeStream() {
    if (out.stream) std::fclose(out.stream);
    out.stream = nullptr;
}

// The output just opened (staged ahead by a batch, or not) starts empty.
void startWriting(bool staged) {
    // The buffer above does the gathering; the stream's own would only copy.
    std::setvbuf(out.stream, nullptr, _IONBF, 0);
    committer.begin(out.stream);
    out.fill = 0;
    out.flushed = 0;
    out.mode = 0;
    out.staged = staged;
    out.state = OutputState::Open;
}

bool isHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

}  // namespace

std::wstring newTempName(const wchar_t* target) {
    uint8_t random[4];
    if (!plat::cryptoRandom(random, sizeof random)) return std::wstring();
    wchar_t digits[16];
    std::swprintf(digits, 16, L".%02x%02x%02x%02x.tmp", random[0], random[1], random[2], random[3]);
    return std::wstring(target) + digits;
}

bool isTempNameOf(const std::wstring& name, const std::wstring& target) {
    if (name.size() != target.size() + kTempSuffixLength || name.compare(0, target.size(), target) != 0)
        return false;
    const std::wstring suffix = name.substr(target.size());
    if (suffix[0] != L'.' || suffix.compare(9, 4, L".tmp") != 0) return false;
    for (std::size_t i = 1; i < 9; ++i)
        if (!isHexDigit(suffix[i])) return false;
    return true;
}

// The stream is closed, the temporary file stays on the disk under its name
// (the callers keep what was written), the buffer is wiped.
void abandonOutput() {
    // The thread uses the stream: it ends first. The failure is already
    // being reported.
    committer.end();
    closeStream();
    out.state = OutputState::Idle;
    wipeBuffer();
}

int openOutput(const wchar_t* path, const wchar_t* tempName) {
    if (out.stream) abandonOutput();   // a failed earlier output
    out.state = OutputState::Idle;
    std::size_t length = std::wcslen(path);
    if (length > kOutputPathMax) {
        reportError(L"cannot open '%ls.tmp': the path is longer than %u characters", path,
                    static_cast<unsigned>(kOutputPathMax));
        return 1;
    }
    std::wmemcpy(out.target, path, length + 1);
    // Created anew, never truncated nor replaced: a name that is taken is
    // drawn again when it was drawn here, and refused when given.
    for (int attempt = 0;; ++attempt) {
        const std::wstring temp = tempName ? std::wstring(tempName) : newTempName(path);
        if (temp.empty() || temp.size() >= kNameSize) {
            reportError(L"cannot open a temporary file for '%ls': %ls", path,
                        temp.empty() ? L"the system gives no random numbers" : L"the path is too long");
            return 1;
        }
        std::wmemcpy(out.temp, temp.c_str(), temp.size() + 1);
        errno = 0;
        out.stream = plat::createNewFile(out.temp);
        if (out.stream || errno != EEXIST || tempName || attempt + 1 >= kNameAttempts) break;
    }
    if (!out.stream) {
        if (errno == EEXIST) {
            reportError(L"cannot open '%ls': a file of that name exists already; move it away or remove it",
                        out.temp);
        } else {
            reportError(L"cannot open '%ls': %ls", out.temp, stdErrorText());
        }
        return 1;
    }
    if (!plat::streamIdentity(out.stream, &out.created)) {
        reportError(L"cannot open '%ls': %ls", out.temp, systemErrorText());
        closeStream();
        plat::removeFile(out.temp);
        return 1;
    }
    startWriting(false);
    return 0;
}

int createStagedOutput(const std::wstring& tempName, plat::FileId* id) {
    errno = 0;
    FILE* f = plat::createNewFile(tempName);
    if (!f) {
        if (errno == EEXIST) return 2;
        reportError(L"cannot open '%ls': %ls", tempName.c_str(), stdErrorText());
        return 1;
    }
    const bool known = plat::streamIdentity(f, id);
    const std::wstring cause = known ? L"" : systemErrorText();
    std::fclose(f);
    if (!known) {
        plat::removeFile(tempName);
        reportError(L"cannot open '%ls': %ls", tempName.c_str(), cause.c_str());
        return 1;
    }
    return 0;
}

int openStagedOutput(const wchar_t* path, const std::wstring& tempName, const plat::FileId& id) {
    if (out.stream) abandonOutput();   // a failed earlier output
    out.state = OutputState::Idle;
    const std::size_t length = std::wcslen(path);
    if (length > kOutputPathMax || tempName.size() >= kNameSize) {
        reportError(L"cannot open '%ls': the path is too long", tempName.c_str());
        return 1;
    }
    std::wmemcpy(out.target, path, length + 1);
    std::wmemcpy(out.temp, tempName.c_str(), tempName.size() + 1);
    errno = 0;
    plat::FileId held;
    out.stream = plat::openNoFollow(tempName, true, &held);
    if (!out.stream) {
        reportError(L"cannot open '%ls': %ls", out.temp, stdErrorText());
        return 1;
    }
    if (!plat::sameFileId(held, id) || held.size != 0 || held.links > 1) {
        reportError(L"cannot open '%ls': another file was put under its name; it was left as it is", out.temp);
        closeStream();
        return 1;
    }
    out.created = held;
    startWriting(true);
    return 0;
}

int writeOutput(const void* data, uint32_t length) {
    if (out.state != OutputState::Open) return notOpen();
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (static_cast<uint64_t>(out.fill) + length >= kOutputBufferSize) {
        uint32_t part = kOutputBufferSize - out.fill;
        std::memcpy(buffer + out.fill, bytes, part);
        if (std::fwrite(buffer, kOutputBufferSize, 1, out.stream) != 1) {
            reportError(L"cannot write '%ls': %ls", out.temp, stdErrorText());
            abandonOutput();
            return 1;
        }
        plat::startWriteback(out.stream, out.flushed, kOutputBufferSize);
        out.fill = 0;
        out.flushed += kOutputBufferSize;
        committer.written(out.flushed);
        bytes += part;
        length -= part;
    }
    if (length > 0) std::memcpy(buffer + out.fill, bytes, length);
    out.fill += length;
    return 0;
}

int patchOutput(uint64_t offset, const void* data, uint32_t length) {
    if (out.state != OutputState::Open) return notOpen();
    if (offset + length > out.flushed + out.fill) {
        reportError(L"cannot write '%ls': bytes %llu to %llu were never written", out.temp,
                    static_cast<unsigned long long>(offset),
                    static_cast<unsigned long long>(offset + length));
        abandonOutput();
        return 1;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (offset < out.flushed) {
        const uint64_t inFileEnd = offset + length < out.flushed ? offset + length : out.flushed;
        const std::size_t inFile = static_cast<std::size_t>(inFileEnd - offset);
        errno = 0;
        if (plat::seekFile(out.stream, static_cast<int64_t>(offset), SEEK_SET) != 0 ||
            std::fwrite(bytes, inFile, 1, out.stream) != 1 ||
            plat::seekFile(out.stream, static_cast<int64_t>(out.flushed), SEEK_SET) != 0) {
            reportError(L"cannot write '%ls': %ls", out.temp, stdErrorText());
            abandonOutput();
            return 1;
        }
        bytes += inFile;
        offset += inFile;
        length -= static_cast<uint32_t>(inFile);
    }
    if (length > 0) std::memcpy(buffer + (offset - out.flushed), bytes, length);
    return 0;
}

int finishOutput() {
    if (out.state != OutputState::Open) return notOpen();
    if (out.fill != 0 && std::fwrite(buffer, out.fill, 1, out.stream) != 1) {
        reportError(L"cannot write '%ls': %ls", out.temp, stdErrorText());
        abandonOutput();
        return 1;
    }
    out.flushed += out.fill;
    // A write error that a commit on the thread met is reported here: the
    // system tells it once, and the final commit would not see it again.
    if (committer.end() != 0 || plat::commitFile(out.stream) != 0) {
        reportError(L"cannot write '%ls': %ls", out.temp, stdErrorText());
        abandonOutput();
        return 1;
    }
    wipeBuffer();
    out.state = OutputState::Finished;
    return 0;
}

void setOutputPermissions(uint32_t mode) { out.mode = mode; }

namespace {

// The finished temporary file, checked to be the one that was written: the
// same file, as long as what was written.
int checkFinished() {
    if (out.state != OutputState::Finished) {
        reportError(L"cannot rename '%ls' to '%ls': the file is not complete", out.temp, out.target);
        return 1;
    }
    plat::FileId held;
    if (!plat::nameHolds(out.temp, out.stream) || !plat::streamIdentity(out.stream, &held) ||
        !plat::sameFileId(held, out.created) || held.size != out.flushed) {
        reportError(L"cannot rename '%ls' to '%ls': the temporary file is no longer the one that was "
                    L"written; it was left as it is",
                    out.temp, out.target);
        closeStream();
        out.state = OutputState::Idle;
        return 1;
    }
    return 0;
}

// The output is in place: it takes its permission bits and is let go.
int settle() {
    out.state = OutputState::Idle;
    plat::streamIdentity(out.stream, &out.committed);
    // Until now it was the owner's alone. A mode change lost in a crash
    // leaves it so, which errs on the private side: it needs no commit.
    if (out.mode != 0 && out.mode != kPrivateMode) plat::setPermissions(out.stream, out.mode);
    if (std::fclose(out.stream) != 0) {
        out.stream = nullptr;
        reportError(L"cannot close '%ls': %ls", out.target, stdErrorText());
        return 1;
    }
    out.stream = nullptr;
    return 0;
}

// Puts the finished temporary file under the target name, replacing what
// stands there or not. The output of a batch is made durable under its name
// with the others of its folder (see commitFolderOf).
int putInPlace(bool replace) {
    if (checkFinished() != 0) return 1;
    if (!(replace ? plat::moveReplace(out.temp, out.target)
                  : plat::moveNoReplace(out.temp, out.target, !out.staged))) {
        reportError(L"cannot rename '%ls' to '%ls': %ls", out.temp, out.target, systemErrorText());
        closeStream();
        out.state = OutputState::Idle;
        return 1;
    }
    return settle();
}

}  // namespace

int commitOutput() { return putInPlace(true); }

int commitOutputNoReplace() { return putInPlace(false); }

int commitOutputOver(const plat::FileId& expected) {
    if (checkFinished() != 0) return 1;
    plat::FileId now;
    if (!plat::nameIdentity(out.target, &now) || now.kind != plat::FileKind::File ||
        !plat::sameVersion(now, expected))
        return 2;
    return putInPlace(true);
}

int commitOutputAs(const std::wstring& target) {
    if (target.size() >= kNameSize) {
        reportError(L"cannot rename '%ls' to '%ls': the path is too long", out.temp, target.c_str());
        abandonOutput();
        return 1;
    }
    std::wmemcpy(out.target, target.c_str(), target.size() + 1);
    return commitOutputNoReplace();
}

bool outputIdentity(plat::FileId* id) {
    return out.stream != nullptr && plat::streamIdentity(out.stream, id);
}

const plat::FileId& committedIdentity() { return out.committed; }

int closeOutput() {
    if (finishOutput() != 0) return 1;
    return commitOutput();
}

const wchar_t* outputTempName() { return out.temp; }

const wchar_t* outputTargetName() { return out.target; }

const uint8_t* outputBufferForTest() { return buffer; }
