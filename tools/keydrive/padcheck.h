// The key file's digest on a key drive (SETTINGS/KEYSUM.DAT, see
// key/paddigest.h): written by make, split and backup, checked by check.
#pragma once

#include <string>

#include "key/paddigest.h"
#include "tools/keydrive/progress.h"

namespace keydrive {

// Digests the key file at keyPath and writes the digest file digestPath
// (a new file, committed to the disk). With `expected`, the digest that the
// drive the key was copied from keeps, the key file must match it: a copy
// that does not (the source has decayed, or the copy was not written as
// read) fails with the first damaged range named. 0 on success; 1 with the
// reason in *error. The digest's progress goes to `progress`.
int writePadDigestFile(const std::wstring& keyPath, const std::wstring& digestPath, const PadDigest* expected,
                       const ProgressOutput& progress, std::wstring* error);

// Checks the key file of the drive in `folder` against its digest and
// appends plain lines to *report ("PROBLEM: " before each problem). Returns
// the number of problems; a drive that keeps no digest has none, and is
// told so. The digest's progress goes to `progress`.
int checkPadDigest(const std::wstring& folder, const ProgressOutput& progress, std::wstring* report);

// "key blocks 4096 to 8191" for a span of a digest.
std::wstring spanText(const PadDigest& digest, uint64_t span);

}  // namespace keydrive
