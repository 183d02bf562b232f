#pragma once

#include "base/command_handler.h"
#include "engine/version_catalogue.h"

#include <QDir>
#include <QStringList>

#include <optional>

// Start-up dispatch: a fixed chain of selectors decides, from the argument list and from what
// is on disk, which handler runs the rest of the process.

// A selector looks at the argument list (element 0 is the program as started) and names the
// handler that should run, or returns null to let the next selector decide.
using HandlerSelector = CommandHandler (*)(const QStringList &arguments);

// Runs the selectors in their fixed order and returns the first handler named. Never null:
// the last selector always answers. May change the current directory, PATH and the loaded
// libraries on the way (see loadEntryFunction). In a launcher started by a finished install
// (InstallLaunchVariable, which is cleared here) the installer never answers: its place is
// taken by a handler that returns -1.
CommandHandler selectHandler(const QStringList &arguments);

// The first version listed in dir's cached catalogue whose local manifest is valid: the one a
// start runs. None when the catalogue cannot be read or no entry qualifies.
std::optional<VersionEntry> firstInstalledVersion(const QDir &dir);

// The entry function of the first version listed in dir's cached catalogue whose local
// manifest is valid; null when the catalogue cannot be read, no entry qualifies, or that
// entry's library cannot be loaded or lacks the function (later entries are then not tried).
CommandHandler findClientEntry(const QDir &dir);
