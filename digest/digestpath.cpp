// The choice of the digest's compression path: what this processor runs,
// what VELKIN_DIGEST_PATH asks for, and the refusal of a path that cannot
// run here.

#include "digest/digestpath.h"

#include <atomic>
#include <cwctype>

#include "diag/error.h"
#include "digest/whirlpoolcompress.h"
#include "platform/platform.h"

namespace {

const wchar_t* const kSettingName = L"VELKIN_DIGEST_PATH";

struct PathDescription {
    DigestPath path;
    const wchar_t* name;    // the value of VELKIN_DIGEST_PATH that asks for it
    const wchar_t* needs;   // the processor features it needs, for the refusal
};

const PathDescription kPaths[] = {
    {DigestPath::Portable, L"portable", L"nothing"},
    {DigestPath::Avx2, L"avx2", L"AVX2"},
    {DigestPath::Avx2NoGfni, L"avx2-nogfni", L"AVX2"},
    {DigestPath::Avx512, L"avx512", L"AVX-512 (F, BW and VBMI) and GFNI"},
};

const PathDescription& describe(DigestPath path) {
    for (const PathDescription& d : kPaths)
        if (d.path == path) return d;
    return kPaths[0];
}

// The decision of this run. The thread that moves 'state' from undecided to
// deciding fills in the rest and then publishes it as decided; any other
// thread waits for that (deciding takes microseconds).
enum : int { kUndecided, kDeciding, kDecided };
std::atomic<int> state{kUndecided};
DigestPath chosen = DigestPath::Portable;
bool refused = false;
std::wstring refusalText;
whirlpool_detail::CompressFunction chosenCompress = whirlpool_detail::compressPortable;

void decide() {
    const CpuFeatures features = detectCpuFeatures();
    std::wstring setting;
    const bool isSet = plat::getEnv(kSettingName, &setting);
    DigestPath path = DigestPath::Portable;
    std::wstring why;
    refused = chooseDigestPath(isSet ? setting.c_str() : nullptr, features, &path, &why) != 0;
    // A refused setting still leaves a working digest behind it; the
    // refusal itself reaches the user through checkDigestPath.
    chosen = refused ? fastestDigestPath(features) : path;
    refusalText = why;
    chosenCompress = whirlpool_detail::compressFunctionFor(chosen, features);
}

void ensureDecided() {
    if (state.load(std::memory_order_acquire) == kDecided) return;
    int expected = kUndecided;
    if (state.compare_exchange_strong(expected, kDeciding, std::memory_order_acquire)) {
        decide();
        state.store(kDecided, std::memory_order_release);
        return;
    }
    while (state.load(std::memory_order_acquire) != kDecided) {
    }
}

std::wstring lowerCase(const wchar_t* text) {
    std::wstring result(text);
    for (wchar_t& c : result) c = static_cast<wchar_t>(std::towlower(c));
    return result;
}

}  // namespace

CpuFeatures detectCpuFeatures() {
    CpuFeatures features;
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
    // The compiler's run-time library also checks that the operating system
    // saves the AVX and AVX-512 registers before it reports those features.
    __builtin_cpu_init();
    features.avx2 = __builtin_cpu_supports("avx2");
    features.gfni = __builtin_cpu_supports("gfni");
    features.avx512f = __builtin_cpu_supports("avx512f");
    features.avx512bw = __builtin_cpu_supports("avx512bw");
    features.avx512vbmi = __builtin_cpu_supports("avx512vbmi");
#endif
    return features;
}

const wchar_t* digestPathName(DigestPath path) { return describe(path).name; }

bool digestPathRuns(DigestPath path, const CpuFeatures& features) {
    switch (path) {
    case DigestPath::Portable: return true;
    case DigestPath::Avx2:
    case DigestPath::Avx2NoGfni: return features.avx2;
    case DigestPath::Avx512:
        return features.avx512f && features.avx512bw && features.avx512vbmi && features.gfni;
    }
    return false;
}

DigestPath fastestDigestPath(const CpuFeatures& features) {
    if (digestPathRuns(DigestPath::Avx512, features)) return DigestPath::Avx512;
    if (digestPathRuns(DigestPath::Avx2, features)) return DigestPath::Avx2;
    return DigestPath::Portable;
}

int chooseDigestPath(const wchar_t* setting, const CpuFeatures& features, DigestPath* path,
                     std::wstring* refusal) {
    if (setting == nullptr || *setting == L'\0') {
        *path = fastestDigestPath(features);
        return 0;
    }
    const std::wstring asked = lowerCase(setting);
    for (const PathDescription& d : kPaths) {
        if (asked != d.name) continue;
        if (!digestPathRuns(d.path, features)) {
            *refusal = std::wstring(L"the digest path '") + d.name + L"' set in " + kSettingName +
                       L" needs " + d.needs + L", which this processor does not have";
            return 1;
        }
        *path = d.path;
        return 0;
    }
    *refusal = std::wstring(kSettingName) + L" is set to '" + setting +
               L"'; it must be 'portable', 'avx2', 'avx2-nogfni' or 'avx512'";
    return 1;
}

int checkDigestPath() {
    ensureDecided();
    if (!refused) return 0;
    reportError(L"%ls", refusalText.c_str());
    return 1;
}

DigestPath activeDigestPath() {
    ensureDecided();
    return chosen;
}

void forceDigestPath(DigestPath path) {
    whirlpool_detail::forceCompressFunction(path, whirlpool_detail::compressFunctionFor(path, detectCpuFeatures()));
}

void resetDigestPathChoice() { state.store(kUndecided, std::memory_order_release); }

namespace whirlpool_detail {

CompressFunction compressFunctionFor(DigestPath path, const CpuFeatures& features) {
    switch (path) {
    case DigestPath::Portable: return compressPortable;
    case DigestPath::Avx2: return features.gfni ? compressAvx2Gfni : compressAvx2;
    case DigestPath::Avx2NoGfni: return compressAvx2;
    case DigestPath::Avx512: return compressAvx512;
    }
    return compressPortable;
}

CompressFunction activeCompressFunction() {
    ensureDecided();
    return chosenCompress;
}

void forceCompressFunction(DigestPath path, CompressFunction compress) {
    chosen = path;
    refused = false;
    refusalText.clear();
    chosenCompress = compress;
    state.store(kDecided, std::memory_order_release);
}

}  // namespace whirlpool_detail
