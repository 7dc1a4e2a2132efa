// Throughput of the digest, the bottleneck of encryption: this program's
// Whirlpool on each compression path against OpenSSL's, on the same data in
// memory and from a file.
//
//   digest_bench [MiB]           random data of that size (default 256)
//   digest_bench --file PATH     an existing file, through digestFile only
//
// Every path this processor runs is measured: portable, avx2-nogfni (the
// AVX2 path without GFNI), avx2+gfni (where the processor has GFNI) and
// avx512. With VELKIN_DIGEST_PATH set, only the path it names, as the
// program would run it; a path this processor lacks is refused with the
// program's message.
//
// Prints MB/s (10^6 bytes per second of processor time, best of five runs)
// and the ratios to OpenSSL. Processor time rather than wall-clock time
// keeps the figures steady on a machine that is busy with other work; the
// runs go round all contenders in turn, so that a spell of other work
// costs one run of each rather than every run of one.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "diag/error.h"
#include "digest/digestpath.h"
#include "digest/filedigest.h"
#include "digest/whirlpool.h"
#include "digest/whirlpoolcompress.h"
#include "platform/platform.h"

#ifdef VELKIN_BENCH_OPENSSL
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/whrlpool.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 5;

using Digest = std::vector<uint8_t>;

struct Candidate {
    std::string name;
    DigestPath path;
    whirlpool_detail::CompressFunction compress;
};

// Best throughput of each of 'works' over 'bytes' bytes in kRuns rounds,
// each round running every work once, in MB/s.
std::vector<double> measureInRounds(std::size_t bytes, const std::vector<std::function<void()>>& works) {
    std::vector<double> best(works.size(), 0.0);
    for (int run = 0; run < kRuns; ++run) {
        for (std::size_t i = 0; i < works.size(); ++i) {
            const std::clock_t start = std::clock();
            works[i]();
            const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
            if (seconds > 0) best[i] = std::max(best[i], static_cast<double>(bytes) / 1e6 / seconds);
        }
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
        std::fprintf(stderr, "digestFile failed: %ls\n", lastErrorText);
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

// Read the way digestFile reads: 64 KiB at a time.
void opensslFromFile(const fs::path& path) {
    FILE* file = std::fopen(path.string().c_str(), "rb");
    if (!file) {
        std::perror("fopen");
        std::exit(1);
    }
    WHIRLPOOL_CTX context;
    WHIRLPOOL_Init(&context);
    static uint8_t buffer[64 * 1024];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) WHIRLPOOL_Update(&context, buffer, count);
    std::fclose(file);
    uint8_t out[64];
    WHIRLPOOL_Final(out, &context);
}
#endif

void printRow(const std::string& what, double mbPerSecond, double reference) {
    if (reference > 0)
        std::printf("  %-34s %8.1f MB/s   %5.2f x OpenSSL\n", what.c_str(), mbPerSecond, mbPerSecond / reference);
    else
        std::printf("  %-34s %8.1f MB/s\n", what.c_str(), mbPerSecond);
}

// The paths to measure; false (after printing why) when VELKIN_DIGEST_PATH
// asks for one this processor cannot run.
bool candidates(std::vector<Candidate>* out) {
    const CpuFeatures features = detectCpuFeatures();
    std::printf("Processor: AVX2 %s, GFNI %s, AVX-512 F/BW/VBMI %s\n", features.avx2 ? "yes" : "no",
                features.gfni ? "yes" : "no",
                features.avx512f && features.avx512bw && features.avx512vbmi ? "yes" : "no");
    std::wstring setting;
    if (plat::getEnv(L"VELKIN_DIGEST_PATH", &setting) && !setting.empty()) {
        DigestPath path = DigestPath::Portable;
        std::wstring refusal;
        if (chooseDigestPath(setting.c_str(), features, &path, &refusal) != 0) {
            std::printf("Error: %ls\n", refusal.c_str());
            return false;
        }
        std::string name;
        for (const wchar_t* c = digestPathName(path); *c; ++c) name += static_cast<char>(*c);
        if (path == DigestPath::Avx2 && features.gfni) name += "+gfni";
        out->push_back({name + " (VELKIN_DIGEST_PATH)", path, whirlpool_detail::compressFunctionFor(path, features)});
        return true;
    }
    out->push_back({"portable", DigestPath::Portable, whirlpool_detail::compressPortable});
    if (digestPathRuns(DigestPath::Avx2, features)) {
        out->push_back({"avx2-nogfni", DigestPath::Avx2NoGfni, whirlpool_detail::compressAvx2});
        if (features.gfni) out->push_back({"avx2+gfni", DigestPath::Avx2, whirlpool_detail::compressAvx2Gfni});
    }
    if (digestPathRuns(DigestPath::Avx512, features))
        out->push_back({"avx512", DigestPath::Avx512, whirlpool_detail::compressAvx512});
    return true;
}

// Measures the paths (and OpenSSL, when built with it) in rounds and prints
// a row each under 'heading'. true when every path gave the same digest,
// and the one 'opensslDigest' holds afterwards, when it holds one.
bool benchPaths(const char* heading, const char* opensslLabel, std::size_t bytes,
                const std::vector<Candidate>& paths, const std::function<Digest()>& ours,
                const std::function<void()>& openssl, const Digest* opensslDigest) {
    std::vector<Digest> digests(paths.size());
    std::vector<std::function<void()>> works;
    if (openssl) works.push_back(openssl);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        works.push_back([&, i] {
            whirlpool_detail::forceCompressFunction(paths[i].path, paths[i].compress);
            digests[i] = ours();
        });
    }
    std::vector<double> rates = measureInRounds(bytes, works);
    const double opensslRate = openssl ? rates[0] : 0.0;
    if (openssl) rates.erase(rates.begin());

    std::printf("%s\n", heading);
    if (opensslRate > 0) printRow(opensslLabel, opensslRate, 0);
    bool agree = true;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        printRow(paths[i].name, rates[i], opensslRate);
        agree = agree && digests[i] == digests[0] &&
                (!opensslDigest || opensslDigest->empty() || digests[i] == *opensslDigest);
    }
    std::printf("  digests %s\n", agree ? "agree" : "DIFFER");
    return agree;
}

void benchFile(const fs::path& file, std::size_t bytes, const std::vector<Candidate>& paths) {
    std::function<void()> openssl;
#ifdef VELKIN_BENCH_OPENSSL
    openssl = [&] { opensslFromFile(file); };
#endif
    if (!benchPaths("From the file (digestFile, 64 KiB reads, page cache warm):",
                    "OpenSSL, fread + WHIRLPOOL_Update", bytes, paths, [&] { return oursFromFile(file); },
                    openssl, nullptr))
        std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Candidate> paths;
    if (!candidates(&paths)) return 1;

    if (argc == 3 && std::strcmp(argv[1], "--file") == 0) {
        const fs::path file = argv[2];
        std::error_code error;
        const auto size = fs::file_size(file, error);
        if (error || size == 0) {
            std::fprintf(stderr, "cannot read the size of %s\n", argv[2]);
            return 1;
        }
        std::printf("Whirlpool of %s (%.1f MiB)\n", argv[2], static_cast<double>(size) / (1 << 20));
        benchFile(file, static_cast<std::size_t>(size), paths);
        return 0;
    }

    const std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    if (argc > 2 || mebibytes == 0 || mebibytes > 511) {
        std::fprintf(stderr, "usage: digest_bench [MiB, 1 to 511] | digest_bench --file PATH\n");
        return 2;
    }
    const std::size_t bytes = mebibytes << 20;
    std::vector<uint8_t> data(bytes);
    std::mt19937_64 generator(1);
    for (std::size_t i = 0; i < bytes; i += 8) {
        const uint64_t word = generator();
        std::memcpy(data.data() + i, &word, 8);
    }

    std::printf("Whirlpool over %zu MiB\n", mebibytes);
    Digest opensslDigest;
    std::function<void()> openssl;
#ifdef VELKIN_BENCH_OPENSSL
    openssl = [&] { opensslDigest = opensslInMemory(data); };
#endif
    if (!benchPaths("In memory (one piece):", "OpenSSL WHIRLPOOL_Update", bytes, paths,
                    [&] { return oursInMemory(data); }, openssl, &opensslDigest))
        return 1;

    const fs::path file = fs::temp_directory_path() / "velkin-digest-bench.bin";
    {
        FILE* out = std::fopen(file.string().c_str(), "wb");
        if (!out || std::fwrite(data.data(), 1, bytes, out) != bytes || std::fclose(out) != 0) {
            std::fprintf(stderr, "cannot write %s\n", file.string().c_str());
            return 1;
        }
    }
    benchFile(file, bytes, paths);
    std::error_code ignored;
    fs::remove(file, ignored);
    return 0;
}
