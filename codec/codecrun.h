// What one encryption or decryption must undo on its way out, whatever the
// way: the source stream, the open output, the progress phase, and the key
// material and header bytes kept on the stack.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "codec/bufferedwrite.h"
#include "codec/format.h"
#include "diag/error.h"
#include "platform/platform.h"
#include "ui/progress.h"

namespace codec {

constexpr std::size_t kSourceBufferSize = 65536;

struct CodecRun {
    FILE* source = nullptr;
    bool outputOpen = false;   // abandoned (temporary file kept, buffer wiped) unless closed
    bool phaseOpen = false;    // a progress phase to end
    uint8_t work[kBlockSize];
    uint8_t keyCopy[kBlockSize];
    uint8_t digest[kDigestSize];

    CodecRun() = default;
    CodecRun(const CodecRun&) = delete;
    CodecRun& operator=(const CodecRun&) = delete;
    ~CodecRun() {
        if (source) std::fclose(source);
        if (outputOpen) abandonOutput();
        if (phaseOpen) progressEnd();
        std::memset(work, 0, sizeof work);
        std::memset(keyCopy, 0, sizeof keyCopy);
        std::memset(digest, 0, sizeof digest);
    }
    // Opens the file that is read in 1024-byte pieces, with a larger
    // stream buffer; 1 after reporting.
    int openSource(const wchar_t* path) {
        source = plat::openFile(path, L"rbS");
        if (!source) {
            reportError(L"cannot open file '%ls': %ls", path, stdErrorText());
            return 1;
        }
        std::setvbuf(source, nullptr, _IOFBF, kSourceBufferSize);
        return 0;
    }
    void beginPhase(const wchar_t* format, const wchar_t* argument, const wchar_t* title) {
        progressBegin(format, argument, title);
        phaseOpen = true;
    }
    void endPhase() {
        progressEnd();
        phaseOpen = false;
    }
};

}  // namespace codec
