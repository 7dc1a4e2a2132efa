// Where the time of the encrypt and decrypt commands goes, step by step,
// on one large file:
//
//   command_steps_bench [MiB] [folder] [rounds]     (defaults: 256, the temp folder, 3)
//
// Each round, on a fresh copy of the plaintext:
//   encryption   probeFile + encryptFile: one reading of the file, the keyed
//                digest on a second thread, the encrypted file written and
//                committed
//   erase        expungeFile of the plaintext: 3 renames, 3 committed
//                overwrite passes, removal
//   decryption   probeFile + decryptFile: the plaintext written, digested on
//                a second thread and committed, then put in place
//   erase        expungeFile of the encrypted file
// and, for scale, what the steps cannot do without: the keyed digest of the
// file alone (one thread) and a committed copy of it. Every figure is
// printed per round, then the median of each; the sum of the first two
// steps is the encrypt command's own work, the sum of the last two the
// decrypt command's (start-up and the walk are not included).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

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
    std::fprintf(stderr, "command_steps_bench: %s failed: %ls\n", what, lastErrorText);
    return 1;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

enum Step { Digest, Copy, Encryption, EraseSource, Decryption, EraseEncrypted, kSteps };
const char* const kStepNames[kSteps] = {"digest alone", "committed copy", "encryption",
                                        "erase of the plaintext", "decryption",
                                        "erase of the encrypted file"};

// The rounds and their medians, on a key drive made in 'drive'.
int measure(const fs::path& drive, std::size_t bytes, int rounds) {
    const uint32_t perFile = static_cast<uint32_t>(bytes / 1024 + 4);
    const uint32_t blocks = static_cast<uint32_t>(rounds) * perFile + 64;
    const fs::path work = drive / "work";
    fs::create_directories(work);
    keydrive::build(drive, blocks, 0x6b6579);
    if (plat::setCurrentDir(drive.wstring()) != 0) return fail("entering the key drive");

    const std::wstring original = (work / "original.bin").wstring();
    const std::wstring plain = (work / "plain.bin").wstring();
    const std::wstring copy = (work / "copy.bin").wstring();
    const std::wstring encrypted = plain + L" (encrypted)";
    const std::wstring folder = work.wstring() + plat::kSep;
    if (!keydrive::saveFile(fs::path(original), keydrive::randomBytes(bytes, 1))) {
        return fail("writing the plaintext");
    }
    const std::vector<uint8_t> keyBlock(1024, 0x5a);

    std::vector<double> times[kSteps];
    std::printf("round");
    for (const char* name : kStepNames) std::printf(" | %s", name);
    std::printf("   (seconds)\n");
    for (int round = 1; round <= rounds; ++round) {
        double t[kSteps];
        uint8_t digest[64];
        auto start = Clock::now();
        if (digestFile(original.c_str(), keyBlock.data(), digest) != 0) return fail("digest");
        t[Digest] = secondsSince(start);
        start = Clock::now();
        if (!copyFile(original, plain)) return fail("copy");
        t[Copy] = secondsSince(start);

        int32_t isEncrypted = 0, isArchive = 0;
        const wchar_t* written = nullptr;
        start = Clock::now();
        if (probeFile(plain.c_str(), &isEncrypted, &isArchive) != 0) return fail("probe");
        if (encryptFile(folder.c_str(), plain.c_str(), nullptr, &written) != 0) return fail("encryption");
        t[Encryption] = secondsSince(start);
        start = Clock::now();
        if (expungeFile(plain.c_str()) != 0) return fail("erase of the plaintext");
        t[EraseSource] = secondsSince(start);

        start = Clock::now();
        if (probeFile(encrypted.c_str(), &isEncrypted, &isArchive) != 0 || !isEncrypted) return fail("probe");
        if (decryptFile(encrypted.c_str(), folder.c_str(), &written) != 0) return fail("decryption");
        t[Decryption] = secondsSince(start);
        start = Clock::now();
        if (expungeFile(encrypted.c_str()) != 0) return fail("erase of the encrypted file");
        t[EraseEncrypted] = secondsSince(start);
        plat::removeFile(plain);

        std::printf("%5d", round);
        for (int s = 0; s < kSteps; ++s) {
            std::printf(" | %*.3f", static_cast<int>(std::string(kStepNames[s]).size()), t[s]);
            times[s].push_back(t[s]);
        }
        std::printf("\n");
    }

    double m[kSteps];
    for (int s = 0; s < kSteps; ++s) m[s] = median(times[s]);
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("medians:\n");
    for (int s = 0; s < kSteps; ++s)
        std::printf("  %-28s %7.3f s  %7.0f MB/s\n", kStepNames[s], m[s], mb / m[s]);
    std::printf("  encrypt command's work       %7.3f s  (encryption %.0f%%, erase %.0f%%)\n",
                m[Encryption] + m[EraseSource], 100 * m[Encryption] / (m[Encryption] + m[EraseSource]),
                100 * m[EraseSource] / (m[Encryption] + m[EraseSource]));
    std::printf("  decrypt command's work       %7.3f s  (decryption %.0f%%, erase %.0f%%)\n",
                m[Decryption] + m[EraseEncrypted],
                100 * m[Decryption] / (m[Decryption] + m[EraseEncrypted]),
                100 * m[EraseEncrypted] / (m[Decryption] + m[EraseEncrypted]));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const fs::path base = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path();
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;

    std::random_device rd;
    const fs::path drive = fs::absolute(base / ("velkin-steps-" + std::to_string(rd())));
    std::printf("steps of the commands: %zu MiB file, %d rounds, in %s\n", mib, rounds,
                drive.string().c_str());
    const int rc = measure(drive, mib << 20, rounds);

    bench::removeDrive(base, drive);
    return rc;
}
