// A dropped folder is checked as a whole before the encrypt or decrypt
// command changes anything in it: a folder that cannot be done is refused
// with one message and left as it was.
#pragma once

#include "walk/dirtree.h"

// 0 when every file below the folder can be encrypted (and erased
// afterwards), as far as can be known beforehand: names storable, paths
// within their limits, no file in the way, files and folders writable,
// enough key for all of them (and extraKeyBlocks more, for a file the
// caller adds before the walk) and room on the volume. 1 after reporting the
// first problem found.
int checkFolderForEncrypt(const wchar_t* path, WalkContext* context, uint64_t extraKeyBlocks = 0);
// The same for decryption: headers readable, stored names sound, outputs
// free and distinct, files and folders writable, room for the plaintexts.
int checkFolderForDecrypt(const wchar_t* path, WalkContext* context);
