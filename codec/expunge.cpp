// Erasing a file for good.
//
// The file first loses its name: it is renamed three times to random
// hexadecimal names. Then its content is replaced three times, through the
// buffered output, by random data as long as the file rounded up to whole
// 1024-byte blocks, and finally the file is removed.

#include "codec/expunge.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <string>

#include "codec/bufferedwrite.h"
#include "diag/error.h"
#include "diag/log.h"
#include "platform/platform.h"
#include "ui/progress.h"

namespace {

constexpr uint32_t kBlockSize = 1024;

// A path below this length whose name part starts early enough gets a name
// part that fills the path up to 98 or 99 characters.
constexpr std::size_t kFillLimit = 100;
// Longer paths, or paths whose name part starts too late for that, get a
// name part of this many hexadecimal digits.
constexpr std::size_t kFixedDigits = 32;
// The overwrite passes write "<random name>.tmp".
constexpr std::size_t kTmpSuffixLength = 4;
// The buffered output holds names of at most 1023 characters.
constexpr std::size_t kOutputNameSize = 1024;

// Process-wide generator, seeded once from the clock on first use.
bool seeded = false;
uint32_t state = 0;

const ExpungeTestHooks* testHooks = nullptr;

uint8_t randomByte() {
    state = state * 214013u + 2531011u;
    return static_cast<uint8_t>(((state >> 16) & 0x7FFF) & 0xFF);
}

void fillRandomBlock(uint8_t* block) {
    if (!seeded) {
        state = static_cast<uint32_t>(std::time(nullptr));
        seeded = true;
    }
    for (uint32_t i = 0; i < kBlockSize; ++i) block[i] = randomByte();
}

// Where the name part begins: after the last separator of this build,
// otherwise at the start. The random names stay in the file's own folder.
std::size_t namePartStart(const std::wstring& path) {
    std::size_t at = path.find_last_of(plat::kSeparators);
    return at == std::wstring::npos ? 0 : at + 1;
}

std::size_t nameLimit() {
    std::size_t limit = plat::maxPathLength();
    return limit < kOutputNameSize ? limit : kOutputNameSize;
}

// Number of hexadecimal digits of the random name part for a file first
// named path; 0 when no random name fits.
std::size_t randomDigitsFor(const std::wstring& path) {
    std::size_t k = namePartStart(path);
    if (path.size() < kFillLimit && k <= 97) return 2 * ((99 - k) / 2);
    if (k + kFixedDigits + kTmpSuffixLength + 1 <= nameLimit()) return kFixedDigits;
    return 0;
}

std::wstring randomName(const std::wstring& current, std::size_t digits, const uint8_t* block) {
    std::wstring name = current.substr(0, namePartStart(current));
    wchar_t pair[3];
    for (std::size_t j = 0; j < digits / 2; ++j) {
        std::swprintf(pair, 3, L"%02x", static_cast<unsigned>(block[j]));
        name += pair;
    }
    return name;
}

// Adds to a failure reported by the buffered output where the file now is.
void reportLeftAs(const std::wstring& name) {
    std::wstring reported = lastErrorText;
    reportError(L"%ls (the file being erased is left as '%ls')", reported.c_str(), name.c_str());
}

void showProgress(double fraction) {
    if (testHooks && testHooks->progress) testHooks->progress(fraction);
    progressUpdate(fraction);
}

}  // namespace

void setExpungeTestHooks(const ExpungeTestHooks* hooks) { testHooks = hooks; }

int checkExpungeable(const wchar_t* path) {
    std::wstring p = path;
    if (p.size() + 1 > nameLimit() || randomDigitsFor(p) == 0) {
        reportError(L"cannot expunge file '%ls': the path is too long to rename the file to a "
                    L"random name; move it to a shorter path first",
                    path);
        return 1;
    }
    plat::FileInfo info;
    if (plat::fileInfo(p, &info) && info.isDirectory) {
        reportError(L"cannot expunge '%ls': it is a folder, not a file", path);
        return 1;
    }
    return 0;
}

int expungeFile(const wchar_t* path) {
    if (checkExpungeable(path) != 0) return 1;

    const std::size_t digits = randomDigitsFor(path);
    std::wstring current = path;
    uint8_t block[kBlockSize];

    // 1. Three renames, each to a fresh random name.
    for (int turn = 0; turn < 3; ++turn) {
        fillRandomBlock(block);
        std::wstring next = randomName(current, digits, block);
        if (plat::renameNoReplace(current, next) != 0) {
            reportError(L"cannot rename file '%ls' to '%ls': %ls", current.c_str(), next.c_str(),
                        stdErrorText());
            return 1;
        }
        current = next;
    }
    // The third block is the overwrite data of every pass.

    // 2. The length, in whole blocks.
    FILE* f = plat::openFile(current, L"rb+c");
    if (!f) {
        reportError(L"cannot open file '%ls': %ls", current.c_str(), stdErrorText());
        return 1;
    }
    // A length that cannot be learnt is a failure: taken as 0, the passes
    // would write nothing over the content and still call the file erased.
    int64_t length = -1;
    if (plat::seekFile(f, 0, SEEK_END) == 0) length = plat::tellFile(f);
    if (length < 0) {
        reportError(L"cannot open file '%ls': %ls", current.c_str(), stdErrorText());
        std::fclose(f);
        return 1;
    }
    std::fclose(f);
    const uint64_t blocks = (static_cast<uint64_t>(length) + kBlockSize - 1) / kBlockSize;

    // 3. Progress, under the caller's name.
    progressBegin(L"Deleting %ls", path, L"Deleting");

    // 4. Three overwrite passes through the buffered output, each replacing
    // the file by a new one of random content.
    for (int pass = 0; pass < 3; ++pass) {
        if (openOutput(current.c_str()) != 0) {
            reportLeftAs(current);
            progressEnd();
            return 1;
        }
        for (uint64_t i = 0; i < blocks; ++i) {
            if (writeOutput(block, kBlockSize) != 0) {
                reportLeftAs(current);
                progressEnd();
                return 1;
            }
            showProgress(static_cast<double>(blocks * pass + i) / static_cast<double>(blocks * 3));
        }
        // A pass that did not replace the file leaves its content as it was:
        // stop and say where the file is rather than remove it unerased.
        if (closeOutput() != 0) {
            reportLeftAs(current);
            progressEnd();
            return 1;
        }
        if (testHooks && testHooks->afterPass) testHooks->afterPass(current.c_str(), pass);
    }

    // 5. Removal.
    if (plat::removeFile(current) != 0) {
        reportError(L"error removing file '%ls': %ls", current.c_str(), stdErrorText());
        progressEnd();
        return 1;
    }

    // 6. Done.
    progressEnd();
    logMessage(L"file '%ls' expunged", path);
    return 0;
}
