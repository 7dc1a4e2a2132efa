// Debug mode: decided once per run, at the first debugMessage. It is on only
// when VKLIB_DEBUG is defined (any value) and VKLIB_MANUFACTURER names a file
// whose digest is manufacturerDigest.

#include "diag/manufacture.h"

#include <cstdarg>
#include <cstring>
#include <string>

#include "diag/log.h"
#include "digest/filedigest.h"
#include "platform/platform.h"

// The digest (unkeyed digestFile) of the debug-enable file that ships with
// the sources, tools/debug-enable/velkin-debug.key. A unit test recomputes
// it from that file, so the two cannot drift apart.
const uint8_t manufacturerDigest[64] = {
    0x79, 0xcb, 0x4c, 0xca, 0xc3, 0xe2, 0x0c, 0xbb,
    0xd9, 0xc9, 0x66, 0xee, 0x1c, 0x49, 0xa6, 0xb2,
    0x07, 0xc2, 0xf4, 0x4b, 0xd4, 0x50, 0xfd, 0x25,
    0x4b, 0xe8, 0xdc, 0x65, 0x4d, 0xeb, 0x21, 0x08,
    0x69, 0x26, 0x19, 0xaf, 0xc6, 0xc9, 0xe8, 0x8d,
    0xf1, 0x21, 0x9d, 0xc7, 0x4f, 0xcd, 0x66, 0x5a,
    0x89, 0x8d, 0x60, 0xe8, 0x2d, 0x51, 0x25, 0xa6,
    0x93, 0x2c, 0xd5, 0x02, 0x1f, 0xda, 0x7e, 0x24,
};

namespace {

bool debugDecided = false;
bool debugOn = false;

}  // namespace

bool manufacturerCheck() {
    std::wstring path;
    if (!plat::getEnv(L"VKLIB_MANUFACTURER", &path)) return false;
    // A failure has been reported (lastErrorText and the log) by digestFile.
    uint8_t digest[64];
    if (digestFile(path.c_str(), nullptr, digest) != 0) return false;
    return std::memcmp(digest, manufacturerDigest, sizeof digest) == 0;
}

void debugMessage(const wchar_t* format, ...) {
    if (!debugDecided) {
        // The enable file is only looked at when VKLIB_DEBUG asks for it.
        debugOn = plat::getEnv(L"VKLIB_DEBUG", nullptr) && manufacturerCheck();
        debugDecided = true;
    }
    if (!debugOn) return;
    va_list args;
    va_start(args, format);
    writeLogEntry(format, args);
    va_end(args);
}

void resetDebugModeForTest() {
    debugDecided = false;
    debugOn = false;
}
