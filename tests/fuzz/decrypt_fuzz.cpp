// Feeds arbitrary files to probeFile and decryptFile on a small key drive.
//
// Input layout: byte 0 holds flags, the next 1024 bytes are a plain header
// (zero-padded when the input is shorter), the rest is the body as stored.
// Unless told otherwise, the harness masks the header with the drive's
// block 1, copies the block's identification bytes in and XORs the version
// field with 2, so that even an all-zero input passes the probe and the
// version check and the mutator works on the decoder itself.
//   flag 0x01  keep the identification bytes as given (probe may fail)
//   flag 0x02  write the input unchanged (arbitrary files)
//   flag 0x04  put 512 bytes before the file (archive position)
//   flag 0x08  cut the file to (byte 1) * 8 bytes
//
// Besides the sanitizers, the harness aborts when anything appears outside
// the output folder, or when a failed decryption left a file under a final
// (not ".tmp") name.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "codec/decrypt.h"
#include "key/key.h"
#include "platform/platform.h"
#include "tests/support/keydrive.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kBlocks = 64;
fs::path root;
keydrive::Bytes key;

void resetDrive() {
    closeKeyStoreForTest();
    keydrive::saveFile(root / "SETTINGS" / "STATUS.DAT", keydrive::statusRecord(1, 1, kBlocks - 1));
    std::error_code ec;
    fs::remove_all(root / "out", ec);
    fs::create_directories(root / "out");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where the system offers it: every decryption commits its
    // output and its record of work in progress to the disk.
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    root = base / ("velkin-decrypt-fuzz-" + std::to_string(std::random_device()()));
    fs::create_directories(root);
    key = keydrive::build(root, kBlocks, 4242);
    if (plat::setCurrentDir(root.wstring()) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    resetDrive();
    const uint8_t flags = size > 0 ? data[0] : 0;
    keydrive::Bytes file;
    if (flags & 0x02) {
        file.assign(data, data + size);
    } else {
        keydrive::Bytes header(1024, 0);
        if (size > 1) std::memcpy(header.data(), data + 1, std::min<size_t>(size - 1, 1024));
        header[0] ^= 2;   // an all-zero input has version 2
        const uint8_t* block = &key[1024];
        for (int i = 0; i < 1024; ++i) header[i] ^= block[i];
        if (!(flags & 0x01)) std::memcpy(&header[4], block + 4, 260);
        file = header;
        if (size > 1025) file.insert(file.end(), data + 1025, data + size);
    }
    if (flags & 0x04) file.insert(file.begin(), 512, 0x5A);
    if ((flags & 0x08) && size > 1) file.resize(std::min<size_t>(file.size(), size_t(data[1]) * 8));

    const fs::path input = root / "in.bin";
    if (!keydrive::saveFile(input, file)) std::abort();

    int32_t isEncrypted = 0, isArchive = 0;
    if (probeFile(input.wstring().c_str(), &isEncrypted, &isArchive) != 0) std::abort();
    if (isEncrypted && isArchive) std::abort();
    if (isEncrypted) {
        const wchar_t* out = nullptr;
        std::wstring outDir = (root / "out").wstring() + plat::kSep;
        int rc = decryptFile(input.wstring().c_str(), outDir.c_str(), &out);
        for (const auto& entry : fs::directory_iterator(root / "out")) {
            if (rc != 0 && entry.path().extension() != ".tmp") std::abort();
        }
        // The output stands directly in the output folder. Compared as wide
        // text: a stored name may hold characters the C locale cannot convert.
        if (rc == 0) {
            if (!out) std::abort();
            const std::wstring written = out;
            if (written.compare(0, outDir.size(), outDir) != 0) std::abort();
            if (written.find(plat::kSep, outDir.size()) != std::wstring::npos) std::abort();
        }
    }
    for (const auto& entry : fs::directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (name != "SETTINGS" && name != "out" && name != "in.bin") std::abort();
    }
    return 0;
}
