// Clean-up of one encryption or decryption.

#include "codec/codecrun.h"

#include "codec/bufferedwrite.h"
#include "diag/error.h"
#include "key/key.h"
#include "key/wipe.h"
#include "platform/platform.h"
#include "ui/progress.h"

namespace codec {

namespace {

// The source stream's buffer: plaintext when encrypting. The codec runs one
// file at a time, so one buffer serves every run.
uint8_t sourceBuffer[kSourceBufferSize];

}  // namespace

CodecRun::~CodecRun() {
    closeSource();
    if (outputOpen) abandonOutput();
    if (phaseOpen) progressEnd();
    wipeSecret(work, sizeof work);
    wipeSecret(keyCopy, sizeof keyCopy);
    wipeSecret(digest, sizeof digest);
    wipeKeyMaterial();
}

int CodecRun::openSource(const wchar_t* path) {
    source = plat::openFile(path, L"rbS");
    if (!source) {
        reportError(L"cannot open file '%ls': %ls", path, stdErrorText());
        return 1;
    }
    std::setvbuf(source, reinterpret_cast<char*>(sourceBuffer), _IOFBF, kSourceBufferSize);
    return 0;
}

void CodecRun::closeSource() {
    if (!source) return;
    std::fclose(source);
    source = nullptr;
    wipeSecret(sourceBuffer, sizeof sourceBuffer);
}

void CodecRun::beginPhase(const wchar_t* format, const wchar_t* argument, const wchar_t* title) {
    progressBegin(format, argument, title);
    phaseOpen = true;
}

void CodecRun::endPhase() {
    progressEnd();
    phaseOpen = false;
}

bool sourceBufferWipedForTest() { return isWiped(sourceBuffer, sizeof sourceBuffer); }

}  // namespace codec
