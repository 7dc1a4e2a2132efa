// Throughput of the digest, the bottleneck of encryption: this program's
// Whirlpool (the vector path where the processor has one, and the portable
// path) against OpenSSL's, on the same data in memory and from a file.
//
//   digest_bench [MiB]      (default 256)
//
// Prints MB/s (10^6 bytes per second of processor time, best of three runs)
// and the ratios. Processor time rather than wall-clock time keeps the
// figures steady on a machine that is busy with other work.

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "digest/filedigest.h"
#include "digest/whirlpool.h"
#include "digest/whirlpoolcompress.h"

#ifdef VELKIN_BENCH_OPENSSL
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/whrlpool.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 3;

using Digest = std::vector<uint8_t>;

// Best throughput of kRuns runs of 'work' over 'bytes' bytes, in MB/s.
double measure(std::size_t bytes, const std::function<void()>& work) {
    double best = 0;
    for (int run = 0; run < kRuns; ++run) {
        const std::clock_t start = std::clock();
        work();
        const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        if (seconds > 0) best = std::max(best, static_cast<double>(bytes) / 1e6 / seconds);
    }
    return best;
}

Digest oursInMemory(const std::vector<uint8_t>& data) {
    // One piece: counted exactly, so comparable with standard Whirlpool.
    WhirlpoolState state;
    whirlpoolInit(&state);
    whirlpoolAdd(&state, data.data(), static_cast<uint32_t>(data.size() * 8));
    Digest out(64);
    whirlpoolFinish(&state, out.data());
    return out;
}

Digest oursFromFile(const fs::path& path) {
    Digest out(64);
    if (digestFile(path.wstring().c_str(), nullptr, out.data()) != 0) {
        std::fprintf(stderr, "digestFile failed\n");
        std::exit(1);
    }
    return out;
}

#ifdef VELKIN_BENCH_OPENSSL
Digest opensslInMemory(const std::vector<uint8_t>& data) {
    WHIRLPOOL_CTX context;
    WHIRLPOOL_Init(&context);
    WHIRLPOOL_Update(&context, data.data(), data.size());
    Digest out(64);
    WHIRLPOOL_Final(out.data(), &context);
    return out;
}

// Read the way digestFile reads: 4096 bytes at a time.
Digest opensslFromFile(const fs::path& path) {
    FILE* file = std::fopen(path.string().c_str(), "rb");
    if (!file) {
        std::perror("fopen");
        std::exit(1);
    }
    WHIRLPOOL_CTX context;
    WHIRLPOOL_Init(&context);
    uint8_t buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) WHIRLPOOL_Update(&context, buffer, count);
    std::fclose(file);
    Digest out(64);
    WHIRLPOOL_Final(out.data(), &context);
    return out;
}
#endif

void printRow(const char* what, double mbPerSecond, double reference) {
    if (reference > 0)
        std::printf("  %-34s %8.1f MB/s   %5.2f x OpenSSL\n", what, mbPerSecond, mbPerSecond / reference);
    else
        std::printf("  %-34s %8.1f MB/s\n", what, mbPerSecond);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    if (mebibytes == 0 || mebibytes > 511) {
        std::fprintf(stderr, "usage: digest_bench [MiB, 1 to 511]\n");
        return 2;
    }
    const std::size_t bytes = mebibytes << 20;
    std::vector<uint8_t> data(bytes);
    std::mt19937_64 generator(1);
    for (std::size_t i = 0; i < bytes; i += 8) {
        const uint64_t word = generator();
        std::memcpy(data.data() + i, &word, 8);
    }
    const fs::path file = fs::temp_directory_path() / "velkin-digest-bench.bin";
    {
        FILE* out = std::fopen(file.string().c_str(), "wb");
        if (!out || std::fwrite(data.data(), 1, bytes, out) != bytes || std::fclose(out) != 0) {
            std::fprintf(stderr, "cannot write %s\n", file.string().c_str());
            return 1;
        }
    }

    const bool vector = whirlpool_detail::vectorPathAvailable();
    std::printf("Whirlpool over %zu MiB; vector path (AVX-512 VBMI + GFNI): %s\n", mebibytes,
                vector ? "available" : "not available");

    Digest oursDigest, portableDigest, opensslDigest;
    double opensslMemory = 0, opensslFile = 0;
#ifdef VELKIN_BENCH_OPENSSL
    opensslMemory = measure(bytes, [&] { opensslDigest = opensslInMemory(data); });
#endif
    whirlpool_detail::forcePortable(true);
    const double portableMemory = measure(bytes, [&] { portableDigest = oursInMemory(data); });
    whirlpool_detail::forcePortable(false);
    const double oursMemory = measure(bytes, [&] { oursDigest = oursInMemory(data); });

    std::printf("In memory (one piece):\n");
    if (opensslMemory > 0) printRow("OpenSSL WHIRLPOOL_Update", opensslMemory, 0);
    printRow("ours, portable path", portableMemory, opensslMemory);
    if (vector) printRow("ours, vector path", oursMemory, opensslMemory);
    const bool agree = oursDigest == portableDigest && (opensslDigest.empty() || opensslDigest == oursDigest);
    std::printf("  digests %s\n", agree ? "agree" : "DIFFER");

#ifdef VELKIN_BENCH_OPENSSL
    opensslFile = measure(bytes, [&] { opensslFromFile(file); });
#endif
    whirlpool_detail::forcePortable(true);
    const double portableFile = measure(bytes, [&] { oursFromFile(file); });
    whirlpool_detail::forcePortable(false);
    const double oursFile = measure(bytes, [&] { oursFromFile(file); });

    std::printf("From a file (4096-byte reads, page cache warm):\n");
    if (opensslFile > 0) printRow("OpenSSL, fread + WHIRLPOOL_Update", opensslFile, 0);
    printRow("digestFile, portable path", portableFile, opensslFile);
    if (vector) printRow("digestFile, vector path", oursFile, opensslFile);

    std::error_code ignored;
    fs::remove(file, ignored);
    return agree ? 0 : 1;
}
