// Erasing a file for good: three random renames, three overwrite passes,
// removal.
#pragma once

#include <string>

// 0 when the file is gone; 1 after reporting. A failure after the first
// rename names the file and the random name under which it now stands.
// The erase is recorded in the journal of work in progress (see pending.h)
// before the first rename: when that cannot be done, nothing happens.
int expungeFile(const wchar_t* path);

// Overwrites a file three times in place with random data over its length
// rounded up to whole blocks, committing each pass, and removes it; no
// renames. For partial outputs and for finishing an interrupted erase.
// shownName: the name shown in the progress window, or nullptr for none.
// 0 when the file is gone; 1 after reporting.
int wipeAndRemove(const std::wstring& name, const wchar_t* shownName);

// 0 when expungeFile can give this path its random names within the
// system's path limit, the path is not a folder and the file opens for
// writing; 1 after reporting. Callers check before they spend key on a file
// that they will expunge afterwards.
int checkExpungeable(const wchar_t* path);

// Observation points for tests: called after each overwrite pass with the
// name the file has and the pass number (0 to 2), and with every fraction
// handed to the progress display. Pass nullptr to remove them.
struct ExpungeTestHooks {
    void (*afterPass)(const wchar_t* randomName, int pass);
    void (*progress)(double fraction);
};
void setExpungeTestHooks(const ExpungeTestHooks* hooks);
