#pragma once

#include <QString>

// The "replace" command: moves or deletes files once the process that used them has ended.
// Its arguments (after "replace") are groups of four: target, source (or the delete marker,
// the two characters ""), attempts, required; then optionally "--" and a command line.

// The handler of the replace command. Runs every group, retrying each operation up to
// "attempts" times 200 ms apart (0 or a negative number: not tried at all, the group fails).
// A failed group whose required value begins with "0" stops the command with -1. Afterwards
// the result is startTrailingCommand's: 1 when the command after " -- " was started, 0 when
// it could not be, -1 when there is none.
int runReplace(const char16_t *commandLineTail);

// Moves source onto an existing target, keeping the target as target + ".bak" until the move
// has succeeded (then removing it) and putting it back when it fails. False when the target
// could not be moved aside (for instance because a ".bak" already exists) or the source could
// not be moved in.
bool replaceWithBackup(const QString &target, const QString &source);

// Starts what follows the first " -- " in the tail, exactly as written there. 1 when it was
// started, 0 when it could not be, -1 when the tail has no " -- ".
int startTrailingCommand(const char16_t *commandLineTail);

// The handler of the pending self-replacement: starts a temporary copy of the program that
// swaps the program's ".pending" file in (5 attempts, not required) and then starts the
// program again without arguments. Returns 0 at once, whether the copy started or not.
// The restarted program does not try the swap a second time (see SelfReplaceRestartVariable).
int runSelfReplace(const char16_t *commandLineTail);

// Set in the environment of the temporary copy, and so of the program it restarts: a
// program that finds it set clears it and leaves a ".pending" file alone for this start.
// Without it a swap that keeps failing (a stale ".bak", a read-only directory) would restart
// the program for ever instead of starting the client.
extern const char *const SelfReplaceRestartVariable; // "KORVEL_SELF_REPLACED"
