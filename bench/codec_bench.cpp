// Speed of encryptFile and decryptFile on one large file against the least
// any encryption must do: read the file once for its digest and write a
// copy of it.
//
//   codec_bench [MiB] [folder]            whole run (defaults: 256, the temp folder)
//   codec_bench --prepare MiB folder      key drive and plaintext only
//   codec_bench --encrypt folder          one encryption (for /usr/bin/time -v)
//   codec_bench --decrypt folder          one decryption of that result
//
// The whole run prints, for the same file in the same process: the keyed
// digest alone, a plain copy (committed to the disk like every output of the
// program), encryption and decryption in MB/s, and each one's ratio to
// digest + copy. Each is measured kRounds times, interleaved, and the best
// time counts, since the disk's commit times vary a lot from run to run.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/benchfiles.h"
#include "codec/decrypt.h"
#include "codec/encrypt.h"
#include "diag/error.h"
#include "digest/filedigest.h"
#include "key/key.h"
#include "platform/platform.h"
#include "tests/support/keydrive.h"

namespace fs = std::filesystem;

namespace {

using bench::Clock;
using bench::secondsSince;
constexpr int kRounds = 3;

// The plaintext: pseudo-random bytes written in 1 MiB pieces (the setup
// itself stays small in memory).
bool writePlaintext(const std::wstring& path, uint64_t bytes) {
    FILE* f = plat::openFile(path, L"wb");
    if (!f) return false;
    std::vector<uint64_t> piece((1 << 20) / 8);
    std::mt19937_64 gen(12345);
    bool ok = true;
    for (uint64_t done = 0; done < bytes;) {
        for (auto& w : piece) w = gen();
        std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(bytes - done, 1 << 20));
        if (std::fwrite(piece.data(), 1, n, f) != n) ok = false;
        done += n;
    }
    return std::fclose(f) == 0 && ok;
}

std::wstring plainPath(const fs::path& folder) { return (folder / "work" / "plain.bin").wstring(); }
std::wstring outFolder(const fs::path& folder) { return (folder / "out").wstring() + plat::kSep; }

int prepare(uint64_t mib, const fs::path& folder, int encryptions = 1) {
    uint32_t blocks = static_cast<uint32_t>((mib * 1024 + 8) * encryptions + 64);
    fs::create_directories(folder / "work");
    fs::create_directories(folder / "out");
    keydrive::build(folder, blocks, 777);
    if (!writePlaintext(plainPath(folder), mib << 20)) {
        std::fprintf(stderr, "cannot write the plaintext\n");
        return 1;
    }
    return 0;
}

int encryptOnce(const fs::path& folder, double* seconds) {
    const wchar_t* result = nullptr;
    std::wstring prefix = (folder / "work").wstring() + plat::kSep;
    Clock::time_point start = Clock::now();
    int rc = encryptFile(prefix.c_str(), plainPath(folder).c_str(), nullptr, &result);
    *seconds = secondsSince(start);
    if (rc != 0) std::fprintf(stderr, "encryption failed: %ls\n", lastErrorText);
    return rc;
}

int decryptOnce(const fs::path& folder, double* seconds) {
    std::wstring encrypted = plainPath(folder) + L" (encrypted)";
    Clock::time_point start = Clock::now();
    int32_t isEncrypted = 0, isArchive = 0;
    int rc = probeFile(encrypted.c_str(), &isEncrypted, &isArchive);
    if (rc == 0 && !isEncrypted) {
        std::fprintf(stderr, "the encrypted file was not recognised\n");
        return 1;
    }
    const wchar_t* result = nullptr;
    if (rc == 0) rc = decryptFile(encrypted.c_str(), outFolder(folder).c_str(), &result);
    *seconds = secondsSince(start);
    if (rc != 0) std::fprintf(stderr, "decryption failed: %ls\n", lastErrorText);
    return rc;
}

int phase(const char* which, const fs::path& folder) {
    if (plat::setCurrentDir(folder.wstring()) != 0) return 1;
    double seconds = 0;
    int rc = std::strcmp(which, "--encrypt") == 0 ? encryptOnce(folder, &seconds) : decryptOnce(folder, &seconds);
    std::printf("%s: %.3f s\n", which + 2, seconds);
    return rc;
}

// The next round encrypts the same plaintext into the same folders, and
// neither encryptFile nor decryptFile replaces a file that exists: this
// round's outputs go.
bool removeOutputs(const fs::path& folder) {
    const std::wstring outputs[] = {plainPath(folder) + L" (encrypted)", (folder / "out" / "plain.bin").wstring()};
    for (const std::wstring& output : outputs)
        if (plat::removeFile(output) != 0) {
            std::fprintf(stderr, "cannot remove %ls\n", output.c_str());
            return false;
        }
    return true;
}

// The whole run on a prepared folder, which is the current folder.
int measure(uint64_t mib, const fs::path& folder) {
    const double megabytes = static_cast<double>(mib << 20) / 1e6;
    const std::wstring plain = plainPath(folder);
    keydrive::Bytes key = keydrive::randomBytes(1024, 1);
    uint8_t digest[64];

    // Warm the cache the same way for everyone: one untimed digest.
    digestFile(plain.c_str(), key.data(), digest);

    double digestSeconds = 1e30, copySeconds = 1e30, encryptSeconds = 1e30, decryptSeconds = 1e30;
    std::wstring copy = (folder / "work" / "copy.bin").wstring();
    for (int round = 0; round < kRounds; ++round) {
        Clock::time_point start = Clock::now();
        if (digestFile(plain.c_str(), key.data(), digest) != 0) return 1;
        digestSeconds = std::min(digestSeconds, secondsSince(start));

        start = Clock::now();
        if (!bench::copyFile(plain, copy)) return 1;
        copySeconds = std::min(copySeconds, secondsSince(start));
        plat::removeFile(copy);

        double seconds = 0;
        if (encryptOnce(folder, &seconds) != 0) return 1;
        encryptSeconds = std::min(encryptSeconds, seconds);
        if (decryptOnce(folder, &seconds) != 0) return 1;
        decryptSeconds = std::min(decryptSeconds, seconds);
        if (!removeOutputs(folder)) return 1;
    }
    const double yardstick = digestSeconds + copySeconds;

    std::printf("digest alone    %8.3f s  %8.1f MB/s\n", digestSeconds, megabytes / digestSeconds);
    std::printf("plain copy      %8.3f s  %8.1f MB/s\n", copySeconds, megabytes / copySeconds);
    std::printf("digest + copy   %8.3f s\n", yardstick);
    std::printf("encryptFile     %8.3f s  %8.1f MB/s  ratio %.2f (target <= 1.25)\n", encryptSeconds,
                megabytes / encryptSeconds, encryptSeconds / yardstick);
    std::printf("decryptFile     %8.3f s  %8.1f MB/s  ratio %.2f (target <= 1.25)\n", decryptSeconds,
                megabytes / decryptSeconds, decryptSeconds / yardstick);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--prepare") == 0)
        return prepare(std::strtoull(argv[2], nullptr, 10), argv[3]);
    if (argc >= 3 && (std::strcmp(argv[1], "--encrypt") == 0 || std::strcmp(argv[1], "--decrypt") == 0))
        return phase(argv[1], argv[2]);

    uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    if (mib == 0) mib = 256;
    fs::path base = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path();
    fs::path folder = base / ("velkin-codec-bench-" + std::to_string(std::random_device()()));
    std::printf("file: %llu MiB in %s\n", static_cast<unsigned long long>(mib), folder.string().c_str());
    int rc = prepare(mib, folder, kRounds);
    if (rc == 0) rc = plat::setCurrentDir(folder.wstring());
    if (rc == 0) rc = measure(mib, folder);

    bench::removeDrive(base, folder);
    return rc == 0 ? 0 : 1;
}
