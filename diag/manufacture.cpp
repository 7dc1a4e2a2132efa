// Debug mode: decided once per run, at the first debugMessage. It is on only
// when VKLIB_DEBUG is defined (any value) and the check that the entry point
// hands over (the debug-enable file's digest, which this room cannot compute)
// accepts VKLIB_MANUFACTURER.

#include "diag/manufacture.h"

#include <cstdarg>

#include "diag/log.h"
#include "platform/platform.h"

namespace {

bool debugDecided = false;
bool debugOn = false;
bool (*enableCheck)() = nullptr;

}  // namespace

void setDebugEnableCheck(bool (*check)()) { enableCheck = check; }

void debugMessage(const wchar_t* format, ...) {
    if (!debugDecided) {
        // The enable file is only looked at when VKLIB_DEBUG asks for it.
        debugOn = plat::getEnv(L"VKLIB_DEBUG", nullptr) && enableCheck && enableCheck();
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
