// Several processes reserve and draw key blocks from one key drive at the
// same time; afterwards no block may have been handed out twice and the
// high-water mark must have grown by exactly the blocks reserved.
//
//   keyreserve [WORKERS ITERATIONS]            runs the whole check
//   keyreserve worker DRIVE OUTFILE ITERATIONS SEED
//   keyreserve hold DRIVE                      opens the key store as a running
//       instance of the program does, says "holding" and keeps it open until
//       its standard input ends (for the tests of a drive in use)

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "diag/error.h"
#include "key/key.h"
#include "platform/platform.h"
#include "platform/utf8.h"
#include "tools/keydrive/drive.h"

namespace fs = std::filesystem;

namespace {

std::string hex16(const uint8_t* p) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

int worker(const std::wstring& drive, const std::string& outFile, int iterations, unsigned seed) {
    std::ofstream out(outFile, std::ios::trunc);
    if (!out || plat::setCurrentDir(drive) != 0 || openKeyStore() != 0) {
        std::fprintf(stderr, "worker: cannot open the key drive\n");
        return 1;
    }
    std::minstd_rand gen(seed);
    for (int i = 0; i < iterations; ++i) {
        uint32_t count = 1 + gen() % 3;
        if (reserveKeyBlocks(count) != 0) {
            std::fprintf(stderr, "worker: reservation failed: %s\n",
                         utf8::fromWide(lastErrorText).c_str());
            return 1;
        }
        for (uint32_t c = 0; c < count; ++c) {
            const uint8_t* block = nextKeyBlock();
            if (block == nullptr) return 1;
            out << hex16(block) << '\n';
        }
    }
    out.flush();
    return out ? 0 : 1;
}

int hold(const std::wstring& drive) {
    if (plat::setCurrentDir(drive) != 0 || openKeyStore() != 0) {
        std::fprintf(stderr, "hold: cannot open the key drive: %s\n", utf8::fromWide(lastErrorText).c_str());
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    while (std::fgetc(stdin) != EOF) {
    }
    return 0;
}

std::string inQuotes(const std::string& s) {
    return "\"" + s + "\"";
}

int runAll(int workers, int iterations) {
    std::random_device rd;
    fs::path root = fs::temp_directory_path() / ("velkin-keyreserve-" + std::to_string(rd()));
    fs::path drive = root / "drive";
    fs::create_directories(root);
    const uint32_t blocks = uint32_t(workers) * uint32_t(iterations) * 3 + 64;

    keydrive::MakeOptions options;
    options.folder = drive.wstring();
    options.sizeBytes = uint64_t(blocks) * kKeyBlockSize;
    std::wstring error;
    if (keydrive::makeDrive(options, &error) != 0) {
        std::fprintf(stderr, "cannot make the key drive: %s\n", utf8::fromWide(error).c_str());
        return 1;
    }

    std::string self = utf8::fromWide(plat::modulePath());
    std::vector<std::thread> threads;
    std::vector<int> results(size_t(workers), -1);
    for (int w = 0; w < workers; ++w) {
        std::string command = inQuotes(self) + " worker " + inQuotes(drive.string()) + " " +
                              inQuotes((root / ("out" + std::to_string(w) + ".txt")).string()) +
                              " " + std::to_string(iterations) + " " + std::to_string(rd());
#ifdef _WIN32
        command = "\"" + command + "\"";   // cmd /c strips one pair of outer quotes
#endif
        threads.emplace_back([command, &results, w]() { results[size_t(w)] = std::system(command.c_str()); });
    }
    for (auto& t : threads) t.join();

    int failures = 0;
    for (int w = 0; w < workers; ++w) {
        if (results[size_t(w)] != 0) {
            std::fprintf(stderr, "worker %d failed (%d)\n", w, results[size_t(w)]);
            ++failures;
        }
    }

    // Which block each first-16-bytes text belongs to.
    std::map<std::string, uint32_t> numberOf;
    {
        std::ifstream key(drive / "SETTINGS" / "KEY.DAT", std::ios::binary);
        std::vector<uint8_t> block(kKeyBlockSize);
        for (uint32_t b = 0; b < blocks; ++b) {
            key.read(reinterpret_cast<char*>(block.data()), kKeyBlockSize);
            numberOf[hex16(block.data())] = b;
        }
    }
    std::vector<int> servedTimes(blocks, 0);
    uint64_t drawn = 0;
    for (int w = 0; w < workers; ++w) {
        std::ifstream in(root / ("out" + std::to_string(w) + ".txt"));
        std::string line;
        while (std::getline(in, line)) {
            auto found = numberOf.find(line);
            if (found == numberOf.end()) {
                std::fprintf(stderr, "worker %d drew a block that is not in the key\n", w);
                ++failures;
                continue;
            }
            ++drawn;
            if (++servedTimes[found->second] == 2) {
                std::fprintf(stderr, "block %u was handed out twice\n", found->second);
                ++failures;
            }
        }
    }
    uint8_t status[12] = {};
    {
        std::ifstream in(drive / "SETTINGS" / "STATUS.DAT", std::ios::binary);
        in.read(reinterpret_cast<char*>(status), 12);
    }
    uint32_t high = uint32_t(status[0]) | uint32_t(status[1]) << 8 | uint32_t(status[2]) << 16 |
                    uint32_t(status[3]) << 24;
    if (uint64_t(high) - 1 != drawn) {
        std::fprintf(stderr, "high water mark %u, but %llu blocks were reserved\n", high,
                     (unsigned long long)drawn);
        ++failures;
    }
    for (uint32_t b = 1; b < high && b < blocks; ++b) {
        if (servedTimes[b] != 1) {
            std::fprintf(stderr, "block %u below the high water mark was served %d times\n", b,
                         servedTimes[b]);
            ++failures;
            break;
        }
    }
    std::printf("%d workers x %d reservations: %llu blocks drawn, high water mark %u, %s\n",
                workers, iterations, (unsigned long long)drawn, high,
                failures == 0 ? "no block handed out twice" : "FAILED");
    std::error_code ec;
    fs::remove_all(root, ec);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::string(argv[1]) == "worker")
        return worker(utf8::toWide(argv[2]), argv[3], std::atoi(argv[4]),
                      unsigned(std::strtoul(argv[5], nullptr, 10)));
    if (argc == 3 && std::string(argv[1]) == "hold") return hold(utf8::toWide(argv[2]));
    int workers = argc >= 2 ? std::atoi(argv[1]) : 6;
    int iterations = argc >= 3 ? std::atoi(argv[2]) : 200;
    if (workers < 2 || iterations < 1) {
        std::fprintf(stderr, "usage: keyreserve [WORKERS ITERATIONS]\n");
        return 2;
    }
    return runAll(workers, iterations);
}
