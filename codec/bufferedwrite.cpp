// The codec's single output file. Data gathers in a 1 MiB buffer and reaches
// "<target>.tmp" in whole-buffer writes; when complete, the temporary file is
// committed to the disk (a step at a time while it is written, see
// backgroundcommit.h) and then replaces the target in one step, so the
// target never holds a partial file. The buffer is wiped whenever an output
// ends, successfully or not, because it held plaintext.

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

enum class OutputState { Idle, Open, Finished };

struct Output {
    wchar_t target[kNameSize];
    wchar_t temp[kNameSize];
    FILE* stream;
    uint32_t fill;
    uint64_t flushed;   // bytes handed to the stream
    OutputState state;
};

Output out = {{0}, {0}, nullptr, 0, 0, OutputState::Idle};
// Commits the output a step at a time while it is being written.
BackgroundCommit committer;
uint8_t buffer[kOutputBufferSize];

void wipeBuffer() {
    wipeSecret(buffer, sizeof buffer);
    out.fill = 0;
}

int reportTemporaryTaken(const std::wstring& temp) {
    reportError(L"cannot open '%ls': a file of that name exists already; move it away or remove it",
                temp.c_str());
    return 1;
}

int notOpen() {
    reportError(L"cannot write '%ls': no output file is open", out.temp);
    return 1;
}

}  // namespace

// The stream is closed, the temporary file stays on the disk under its name
// (the callers keep what was written), the buffer is wiped.
void abandonOutput() {
    // The thread uses the stream: it ends first. The failure is already
    // being reported.
    committer.end();
    if (out.stream) std::fclose(out.stream);
    out.stream = nullptr;
    out.state = OutputState::Idle;
    wipeBuffer();
}

int checkOutputFree(const wchar_t* path) {
    const std::wstring temp = std::wstring(path) + L".tmp";
    plat::FileInfo info;
    if (!plat::fileInfo(temp, &info)) return 0;
    if (!info.isDirectory && !info.isLink && !info.isSpecial && info.size == 0) return 0;
    return reportTemporaryTaken(temp);
}

int openOutput(const wchar_t* path) {
    if (out.stream) abandonOutput();   // a failed earlier output
    out.state = OutputState::Idle;
    std::size_t length = std::wcslen(path);
    if (length > kOutputPathMax) {
        reportError(L"cannot open '%ls.tmp': the path is longer than %u characters", path,
                    static_cast<unsigned>(kOutputPathMax));
        return 1;
    }
    std::wmemcpy(out.target, path, length + 1);
    std::wmemcpy(out.temp, path, length);
    std::wmemcpy(out.temp + length, L".tmp", 5);

    // Created anew, never truncated: whatever stands under the temporary
    // name is not this output's and is not overwritten. An empty file there
    // holds nothing to lose (a run stopped right after creating it leaves
    // one) and is replaced.
    out.stream = plat::createNewFile(out.temp);
    if (!out.stream && errno == EEXIST) {
        plat::FileInfo info;
        if (plat::fileInfo(out.temp, &info) && !info.isDirectory && !info.isLink && !info.isSpecial &&
            info.size == 0 && plat::removeFile(out.temp) == 0) {
            out.stream = plat::createNewFile(out.temp);
        }
        if (!out.stream && errno == EEXIST) return reportTemporaryTaken(out.temp);
    }
    if (!out.stream) {
        reportError(L"cannot open '%ls': %ls", out.temp, stdErrorText());
        return 1;
    }
    // The buffer above does the gathering; the stream's own would only copy.
    std::setvbuf(out.stream, nullptr, _IONBF, 0);
    committer.begin(out.stream);
    out.fill = 0;
    out.flushed = 0;
    out.state = OutputState::Open;
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
    // A write error that a commit on the thread met is reported here: the
    // system tells it once, and the final commit would not see it again.
    if (committer.end() != 0 || plat::commitFile(out.stream) != 0) {
        reportError(L"cannot write '%ls': %ls", out.temp, stdErrorText());
        abandonOutput();
        return 1;
    }
    FILE* stream = out.stream;
    out.stream = nullptr;
    wipeBuffer();
    if (std::fclose(stream) != 0) {
        reportError(L"cannot close '%ls': %ls", out.temp, stdErrorText());
        out.state = OutputState::Idle;
        return 1;
    }
    out.state = OutputState::Finished;
    return 0;
}

namespace {

// Puts the finished temporary file under the target name with `move`.
int putInPlace(bool (*move)(const std::wstring&, const std::wstring&)) {
    if (out.state != OutputState::Finished) {
        reportError(L"cannot rename '%ls' to '%ls': the file is not complete", out.temp,
                    out.target);
        return 1;
    }
    out.state = OutputState::Idle;
    if (!move(out.temp, out.target)) {
        reportError(L"cannot rename '%ls' to '%ls': %ls", out.temp, out.target,
                    systemErrorText());
        return 1;
    }
    return 0;
}

}  // namespace

int commitOutput() { return putInPlace(plat::moveReplace); }

int commitOutputNoReplace() { return putInPlace(plat::moveNoReplace); }

bool outputIdentity(plat::FileId* id) {
    return out.stream != nullptr && plat::streamIdentity(out.stream, id);
}

int closeOutput() {
    if (finishOutput() != 0) return 1;
    return commitOutput();
}

const wchar_t* outputTempName() { return out.temp; }

const uint8_t* outputBufferForTest() { return buffer; }
