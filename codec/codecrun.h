// What one encryption or decryption must undo on its way out, whatever the
// way: the source stream, the open output, the progress phase, and every
// copy of key material, plaintext and header bytes it held.
#pragma once

#include <cstdint>
#include <cstdio>

#include "codec/format.h"

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
    ~CodecRun();
    // Opens the file that is read in 1024-byte pieces, through a larger
    // stream buffer of the codec's own that is wiped when the stream is
    // closed; 1 after reporting.
    int openSource(const wchar_t* path);
    // Closes the source and wipes its stream buffer.
    void closeSource();
    void beginPhase(const wchar_t* format, const wchar_t* argument, const wchar_t* title);
    void endPhase();
};

// True when the source stream buffer holds nothing (tests only).
bool sourceBufferWipedForTest();

}  // namespace codec
