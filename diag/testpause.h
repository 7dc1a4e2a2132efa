// A pause for end-to-end tests at a named point of a run, so that a test
// can change files at exactly that moment (save a new version over a file
// whose encryption has just ended, put a link where a folder was listed).
//
// It acts only when the environment names both a folder in
// VELKIN_TEST_PAUSE_DIR and the point in VELKIN_TEST_PAUSE_AT (a list
// separated by commas); nothing in normal use sets them. At such a point the
// run creates "<folder>/<point>.reached" and waits until
// "<folder>/<point>.go" exists, at most a minute. Each point pauses once per
// run: the first time it is reached, or the n-th for "<point>@n".
#pragma once

void testPause(const wchar_t* point);
