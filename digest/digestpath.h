// Which compression path the digest runs on: the portable table-driven one,
// the AVX2 one (with GFNI's 256-bit form where present) or the AVX-512 one.
// The fastest path this processor runs is chosen once per run; the
// environment variable VELKIN_DIGEST_PATH=portable|avx2|avx2-nogfni|avx512
// forces one (for benchmarks and bug reports); avx2-nogfni is the AVX2 path
// in its form without GFNI, as processors without GFNI run it. A forced
// path this processor cannot run is refused, never replaced by another.
#pragma once

#include <string>

// Avx2NoGfni is never chosen by itself: it is the Avx2 path of a processor
// without GFNI, forced on one that has it.
enum class DigestPath { Portable, Avx2, Avx2NoGfni, Avx512 };

// The processor features the paths need, as far as the operating system
// also saves the registers they use.
struct CpuFeatures {
    bool avx2 = false;
    bool gfni = false;
    bool avx512f = false;
    bool avx512bw = false;
    bool avx512vbmi = false;
};

CpuFeatures detectCpuFeatures();

const wchar_t* digestPathName(DigestPath path);
bool digestPathRuns(DigestPath path, const CpuFeatures& features);
DigestPath fastestDigestPath(const CpuFeatures& features);

// The path for a value of VELKIN_DIGEST_PATH (nullptr or empty: none set).
// 0 with *path set; 1 with *refusal saying why the value cannot be used.
int chooseDigestPath(const wchar_t* setting, const CpuFeatures& features, DigestPath* path,
                     std::wstring* refusal);

// Decides the path of this run (once, from the environment and this
// processor). 0 when the digest can run as asked; 1 after reporting the
// refusal through reportError. Every operation that digests checks this
// before it starts work, so a refused setting fails the command with its
// message.
int checkDigestPath();

// The path the digest runs on. After a refusal the digest still computes
// correct results (on the fastest path), but checkDigestPath keeps failing.
DigestPath activeDigestPath();

// Tests and benchmarks: run on 'path' from now on (it must run on this
// processor), or forget the decision so the next digest decides again.
void forceDigestPath(DigestPath path);
void resetDigestPathChoice();
