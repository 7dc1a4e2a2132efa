// Erasing a file for good: three random renames, three overwrite passes,
// removal; every step on the very file that was checked.
#pragma once

#include <string>

#include "codec/pending.h"
#include "platform/platform.h"

// What an erase is about, beyond the file's name.
enum class EraseRole {
    Other,       // no counterpart is known
    Plaintext,   // a plaintext whose encrypted copy has been written
    Encrypted,   // an encrypted file whose plaintext has been written
};
struct EraseOrder {
    std::wstring path;
    // The very version to erase (same file, size and last write time):
    // the one that was read. Any other file or version under the name is
    // left as it is, and the erase fails saying which version is where.
    bool expectedKnown = false;
    plat::FileId expected;
    EraseRole role = EraseRole::Other;
    // The file that holds the same data in the other form, and its
    // identity as written or checked; recorded in the journal so that a
    // stopped erase is finished only while the counterpart is confirmed.
    std::wstring counterpart;
    plat::FileId counterpartId;
};

// The order to erase the very version `read` of path once its counterpart
// stands under `counterpart` (taken with its identity as it is now).
EraseOrder eraseOrderFor(const std::wstring& path, const plat::FileId& read, EraseRole role,
                         const std::wstring& counterpart);

// An erase planned ahead, for a batch of files: the random names it will
// give the file and the overwrite data (the last name's block), and its
// record, which the batch writes to the journal with the others.
struct ErasePlan {
    PendingRecord record;
    uint8_t blocks[3][1024];
    std::wstring names[3];   // as drawn (the record holds them absolute)
    uint32_t ticket = 0;   // the record's, once it is in the journal
};
// Draws the names of an erase of the order's file (which must name its very
// version) and makes its record, without touching the file. 1 after
// reporting.
int planErase(const EraseOrder& order, ErasePlan* plan);

// 0 when the file is gone; 1 after reporting. A failure after the first
// rename names the file and the random name under which it now stands.
// The erase is recorded in the journal of work in progress (see pending.h)
// before the first rename: when that cannot be done, nothing happens. With
// a plan whose record is in the journal already, the erase follows the
// plan; its record is ended where the file was not renamed, and the removal
// of the overwritten file is made durable by the caller (commitFolderOf).
int eraseFile(const EraseOrder& order, ErasePlan* plan = nullptr);
// eraseFile of whatever regular file stands under path, no counterpart.
int expungeFile(const wchar_t* path);

// Overwrites a file three times in place with random data over its length
// rounded up to whole blocks, committing each pass, and removes it; no
// renames. For partial outputs and for finishing an interrupted erase. With
// `expected`, only that file (same file; any version) is touched.
// shownName: the name shown in the progress window, or nullptr for none.
// 0 when the file is gone; 1 after reporting.
int wipeAndRemove(const std::wstring& name, const wchar_t* shownName,
                  const plat::FileId* expected = nullptr);

// 0 when expungeFile can give this path its random names within the
// system's path limit, the path is a regular file (no link) with one name
// only, and it opens for writing; 1 after reporting. Callers check before
// they spend key on a file that they will erase afterwards.
int checkExpungeable(const wchar_t* path);

// The random names of an erase of a file first named path, as the journal
// records them: true when name could be one (same folder, lowercase
// hexadecimal digits of the length the program gives).
bool isRandomNameFor(const std::wstring& name, const std::wstring& path);
// True when the file's first bytes are the overwrite data of an erase whose
// last random name is lastName (the passes had begun).
bool holdsOverwriteData(FILE* f, const std::wstring& lastName);

// Observation points for tests: called after each overwrite pass with the
// name the file has and the pass number (0 to 2), and with every fraction
// handed to the progress display. Pass nullptr to remove them.
struct ExpungeTestHooks {
    void (*afterPass)(const wchar_t* randomName, int pass);
    void (*progress)(double fraction);
};
void setExpungeTestHooks(const ExpungeTestHooks* hooks);
