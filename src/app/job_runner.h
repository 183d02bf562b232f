#pragma once

#include "base/job_mode.h"

#include <QStringList>

class ProgressWindow;
class StatusSink;
class VersionEntry;

// One install, update or uninstall from start to end, on the calling (main) thread: takes the
// machine-wide job guard, builds the progress window, runs its message loop and returns the
// quit code (0 after success, -1 after an error box, a refused uninstall, a failed task or
// when another job holds the guard; -1 too, before anything else, when the process runs
// elevated above its user, with a box saying so, except for an update of the program's own
// directory when that is the data directory, which runs). The guard, the window and
// the window system are kept for the rest of the process, since the worker may still be running: the caller
// ends the process with the returned code (the job handlers below do).
int runJob(JobMode mode);

// The command handlers of the three jobs, for the start-up chain. The install job sets
// InstallLaunchVariable for the launcher it starts when it has succeeded.
int runInstallJob(const char16_t *commandLineTail);
int runUpdateJob(const char16_t *commandLineTail);
int runUninstallJob(const char16_t *commandLineTail);

// Set in the environment of the launcher that a successful install starts. A launcher started
// with it that finds no installed client ends with -1 instead of installing again: a release
// whose client cannot be loaded would otherwise be installed and launched over and over. The
// launcher clears it before anything else runs, so the client never sees it.
extern const char *const InstallLaunchVariable; // "KORVEL_INSTALL_LAUNCH"

// The worker thread's body: runs the window's task, sends the statistics beacon, posts the
// finished step and, after a pause, the quit. Touches the window only by posting.
void jobWorker(ProgressWindow *window);

// The tasks, on the worker thread. installTask reports to sink; the others report nothing.
bool installTask(StatusSink *sink);
bool updateTask();    // always true: an update fails silently
bool uninstallTask(); // always true

// Manifest, packages, commit of one version; true only when all three succeeded. The files
// that installedVersions (directories) hold unchanged are taken from there (stageArchive).
bool installVersion(VersionEntry &entry, const QStringList &installedVersions = {});
