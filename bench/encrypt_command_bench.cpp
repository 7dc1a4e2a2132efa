// Cost of the encrypt command on one large file, erasing of the plaintext
// included, against the least any encryption must do: read the file once for
// its digest and write a copy of it.
//
//   encrypt_command_bench [MiB] [folder]      (defaults: 256, the temp folder)
//
// Builds a key drive with enough pad for two encryptions, then
//   1. the yardstick: keyed digest of the file + a plain copy of it (written
//      and committed to the disk like every output of the program);
//   2. the encrypt command on the file (walk, probe, encryption, expunge),
//      timed as a whole: the ratio to 1. is the headline figure;
//   3. the same steps one by one on a fresh copy of the file, to split the
//      time between digest, encryption proper and expunge.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/commands.h"
#include "bench/benchfiles.h"
#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "codec/expunge.h"
#include "diag/error.h"
#include "digest/filedigest.h"
#include "key/key.h"
#include "platform/platform.h"
#include "tests/support/keydrive.h"

namespace fs = std::filesystem;

namespace {

using bench::Clock;
using bench::copyFile;
using bench::secondsSince;

int fail(const char* what) {
    std::fprintf(stderr, "encrypt_command_bench: %s failed: %ls\n", what, lastErrorText);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const fs::path base = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path();
    const std::size_t bytes = mib << 20;
    const uint32_t perFile = static_cast<uint32_t>(bytes / 1024 + 4);
    const uint32_t blocks = 2 * perFile + 64;

    std::random_device rd;
    const fs::path drive = fs::absolute(base / ("velkin-encbench-" + std::to_string(rd())));
    const fs::path work = drive / "work";
    fs::create_directories(work);
    std::printf("encrypt command benchmark: %zu MiB file, key drive of %u blocks in %s\n", mib,
                blocks, drive.string().c_str());
    keydrive::build(drive, blocks, 0x6b6579);
    if (plat::setCurrentDir(drive.wstring()) != 0) return fail("entering the key drive");

    const std::wstring plain = (work / "plain.bin").wstring();
    const std::wstring copy = (work / "copy.bin").wstring();
    if (!keydrive::saveFile(fs::path(plain), keydrive::randomBytes(bytes, 1))) {
        return fail("writing the plaintext");
    }

    // 1. Yardstick: keyed digest + plain copy.
    std::vector<uint8_t> keyBlock(1024, 0x5a);
    uint8_t digest[64];
    auto start = Clock::now();
    if (digestFile(plain.c_str(), keyBlock.data(), digest) != 0) return fail("digest");
    const double digestAlone = secondsSince(start);
    start = Clock::now();
    if (!copyFile(plain, copy)) return fail("copy");
    const double copyAlone = secondsSince(start);
    fs::remove(fs::path(copy));
    const double yardstick = digestAlone + copyAlone;

    // 2. The encrypt command as a whole.
    start = Clock::now();
    if (encryptCommand(plain.c_str()) != 0) return fail("the encrypt command");
    const double command = secondsSince(start);
    if (fs::exists(fs::path(plain)) || !fs::exists(fs::path(plain + L" (encrypted)"))) {
        std::fprintf(stderr, "encrypt_command_bench: the command left the wrong files\n");
        return 1;
    }

    // 3. The steps one by one, on a fresh plaintext.
    const std::wstring second = (work / "second.bin").wstring();
    if (!keydrive::saveFile(fs::path(second), keydrive::randomBytes(bytes, 2))) {
        return fail("writing the second plaintext");
    }
    int32_t isEncrypted = 0, isArchive = 0;
    start = Clock::now();
    if (probeFile(second.c_str(), &isEncrypted, &isArchive) != 0) return fail("probe");
    const wchar_t* written = nullptr;
    std::wstring folder = (work.wstring() + plat::kSep);
    if (encryptFile(folder.c_str(), second.c_str(), nullptr, &written) != 0) return fail("encryption");
    const double encryptStep = secondsSince(start);
    start = Clock::now();
    if (expungeFile(second.c_str()) != 0) return fail("expunge");
    const double expungeStep = secondsSince(start);
    const double encryptionProper = encryptStep > digestAlone ? encryptStep - digestAlone : 0.0;
    const double stepsTotal = encryptStep + expungeStep;

    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("yardstick   digest %.3f s + copy %.3f s = %.3f s (%.0f MB/s)\n", digestAlone,
                copyAlone, yardstick, mb / yardstick);
    std::printf("command     %.3f s (%.0f MB/s), ratio to yardstick %.2f\n", command,
                mb / command, command / yardstick);
    std::printf("split       digest %.3f s (%.0f%%), encryption %.3f s (%.0f%%), expunge %.3f s "
                "(%.0f%%) of %.3f s\n",
                digestAlone, 100 * digestAlone / stepsTotal, encryptionProper,
                100 * encryptionProper / stepsTotal, expungeStep, 100 * expungeStep / stepsTotal,
                stepsTotal);
    std::printf("            (digest measured alone; encryption = probe + encryptFile - digest;\n"
                "             expunge = 3 renames + 3 committed overwrite passes + removal)\n");

    closeKeyStoreForTest();
    plat::setCurrentDir(base.wstring());
    std::error_code ec;
    fs::remove_all(drive, ec);
    return 0;
}
