// Desktop launchers on a key drive for Linux file managers: Encrypt.desktop,
// Decrypt.desktop, Open.desktop and Status.desktop beside the program's
// copies. Files dropped on a launcher are handed, one per run, to the copy
// named after it.
#pragma once

#include <string>

namespace keydrive {

// The text of the launcher for one command copy ("Encrypt", ...).
std::string launcherText(const std::wstring& command);

// Writes the four launchers into the drive's folder (each through a
// temporary file, executable, as file managers want before they run a
// launcher). 0 on success; 1 with the reason in *error.
int writeLaunchers(const std::wstring& folder, std::wstring* error);

}  // namespace keydrive
