#pragma once

// For a forked child: replaces the process with the program argv[0], run as
// user `uid` (group the same number, no supplementary groups), or as it is
// when `uid` is negative. The program is opened before the switch, so the
// other user needs no way to it through the directories above it (a checkout
// in a private home directory, a build under `mktemp -d`). Returns only by
// ending the process: 120 when the switch failed, 121 when the exec did.
[[noreturn]] void execAs(char* const argv[], int uid);
