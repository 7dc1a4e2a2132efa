// Drives given together to check: partner drives hold the same key and must
// have ranges of the pad that do not overlap.
#pragma once

#include <string>
#include <vector>

namespace keydrive {

// Compares every two of the drives and appends what it finds to *report:
// different keys, the same key with ranges apart, or a warning when the same
// key has overlapping ranges. 0 when no two drives overlap, 1 otherwise.
int comparePartners(const std::vector<std::wstring>& folders, std::wstring* report);

}  // namespace keydrive
