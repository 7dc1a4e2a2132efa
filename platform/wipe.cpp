// The one way secrets are cleared.

#include "platform/wipe.h"

#include <cstring>

namespace {

// Read through a volatile object, the pointer's value is unknown to the
// optimiser, so every call through it must happen.
void* (*volatile const setBytes)(void*, int, std::size_t) = std::memset;

}  // namespace

void wipeSecret(void* data, std::size_t length) {
    if (data == nullptr || length == 0) return;
    setBytes(data, 0, length);
}

bool isWiped(const void* data, std::size_t length) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    unsigned char any = 0;
    for (std::size_t i = 0; i < length; ++i) any |= bytes[i];
    return any == 0;
}
