// Small text and path helpers shared by the key drive tool's units.
#pragma once

#include <cstdint>
#include <string>

namespace keydrive {

// printf-style wide formatting (%ls for wide text), cut at 2047 characters.
std::wstring format(const wchar_t* fmt, ...);
// folder + separator + name; no second separator when folder ends in one.
std::wstring join(const std::wstring& folder, const wchar_t* name);
// The C runtime's text for the current errno.
std::wstring errnoText();
// "1 block" / "3 blocks (3072 bytes)": a count of key blocks in plain words.
std::wstring blocksText(uint64_t blocks);
// "812 bytes", "64.0 KiB", "16.0 GiB": a size in the unit that suits it.
std::wstring sizeText(uint64_t bytes);

}  // namespace keydrive
