// The key drive's layout. A run works in the program's folder (see
// drive/util.h), so these relative names reach the drive's own files.
#pragma once

// Key material, the usage record, the journal of work in progress and the
// Secure Workspace's sibling programs.
constexpr const wchar_t* kSettingsFolder = L"SETTINGS";
constexpr const wchar_t* kKeyFileName = L"SETTINGS/KEY.DAT";
constexpr const wchar_t* kIndexFileName = L"SETTINGS/INDEX.DAT";
constexpr const wchar_t* kStatusFileName = L"SETTINGS/STATUS.DAT";
// The digest of the key file, which finds decay of the key drive.
constexpr const wchar_t* kPadDigestFileName = L"SETTINGS/KEYSUM.DAT";
constexpr const wchar_t* kPendingFolder = L"SETTINGS/PENDING";
// The open command's working copies.
constexpr const wchar_t* kTempFolder = L"TEMP";
// The log, written only when this folder exists (diag/log.cpp names the file
// itself, being below this room).
constexpr const wchar_t* kLogFolder = L"LOG";
