// Erasing a file for good: three random renames, three overwrite passes,
// removal.
#pragma once

// 0 when the file is gone; 1 after reporting. A failure after the first
// rename names the random name under which the file now stands.
int expungeFile(const wchar_t* path);

// 0 when expungeFile can give this path its random names within the
// system's path limit (with room for the ".tmp" of the overwrite passes) and
// the path is not a folder; 1 after reporting. Callers check before they
// spend key on a file that they will expunge afterwards.
int checkExpungeable(const wchar_t* path);

// Observation points for tests: called after each overwrite pass with the
// name the file has and the pass number (0 to 2), and with every fraction
// handed to the progress display. Pass nullptr to remove them.
struct ExpungeTestHooks {
    void (*afterPass)(const wchar_t* randomName, int pass);
    void (*progress)(double fraction);
};
void setExpungeTestHooks(const ExpungeTestHooks* hooks);
