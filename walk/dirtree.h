// Applying one action to a dropped file, or to everything inside a dropped
// folder (contents first, the folder itself last).
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

struct WalkContext {
    int32_t keepFileName;   // nonzero: an encrypted file takes its plaintext's name
};

// kind is 0 for a file and -1 for a folder (visited after its contents).
using WalkAction = int (*)(WalkContext* context, const wchar_t* path, int kind);

int walkTree(const wchar_t* path, WalkAction action, WalkContext* context,
             uint64_t* fileCount, uint64_t* byteTotal);
int walkFolder(const wchar_t* folderPath, WalkAction action, WalkContext* context,
               uint64_t* fileCount, uint64_t* byteTotal);

// The entries the last walk left alone (links, pipes and devices, the key
// drive's own files, entries that changed kind since they were listed,
// files another instance is working on, and for Decrypt the files that hold
// nothing encrypted with this drive's key), one per line after a heading,
// for the closing box; empty when there were none.
std::wstring walkSkippedText();

// During an action: the file it runs on as the walk found it (listed, and
// checked again just before the action); nullptr outside a walk.
const plat::FileId* walkedFile();

// The name of the guard that keeps two instances off one file or folder:
// its identity (volume, file number and creation time where the system
// keeps one) when the path names something,
// else its text (see mutexNameFor in the entry point).
std::wstring fileGuardName(const plat::FileId& id);

// A run stopped between writing a file's counterpart and erasing the file
// leaves both side by side; then only the erasing is left to do. The
// encrypted file that the encryption of `plain` writes (the plaintext that
// the decryption of `encrypted` writes, after a probe that found it
// encrypted), when it stands there and holds exactly the same plaintext;
// otherwise empty.
// plainRead and encryptedRead receive the two files as compared.
std::wstring finishedEncryptionOf(const wchar_t* plain, plat::FileId* plainRead = nullptr,
                                  plat::FileId* encryptedRead = nullptr);
std::wstring finishedDecryptionOf(const wchar_t* encrypted, plat::FileId* encryptedRead = nullptr,
                                  plat::FileId* plainRead = nullptr);

// Leaves an entry of the walk alone: logged and named in the closing box.
void walkLeaveAlone(const std::wstring& path, const wchar_t* reason);
// A file that Decrypt leaves alone because it holds nothing encrypted with
// this drive's key (or is a Secure Workspace): named in the closing box
// inside a folder (0); dropped alone, a failure (1, reported).
int leftUndecrypted(const wchar_t* path, bool isArchive);

int decryptAction(WalkContext* context, const wchar_t* path, int kind);
int encryptAction(WalkContext* context, const wchar_t* path, int kind);
int removeAction(WalkContext* context, const wchar_t* path, int kind);
