#pragma once

#include <QDir>
#include <QString>
#include <QStringList>

// Removes the product: everything below baseDir, the uninstall entry and the URL protocol
// (registry keys and desktop handler), the application-menu entry and the desktop shortcut; then starts a temporary copy of
// the running program that deletes the program file and baseDir once this process has exited
// (see uninstallCleanupArguments). Returns at once without waiting for the copy.
// Files are only ever removed when baseDir is the product's data directory (dataDirectory()):
// a copy of the program run with "uninstall" from any other folder (a downloads folder, the
// home directory) removes the registrations but deletes no file there.
// Nothing is reported; always returns true. Runs on the task's worker thread.
bool uninstallProduct(const QDir &baseDir);

// The part of uninstallProduct that runs in this process: the files below baseDir (read-only
// ones and those in read-only folders too; symbolic links are removed, never followed), the two
// registry keys, the URL handler and its default, the menu entry, the shortcut. Only when baseDir is the data
// directory are files deleted. The machine id stays.
void removeInstallation(const QDir &baseDir);

// The arguments of the temporary copy's "replace" command: delete programFile (10 attempts,
// required), then the directory baseDir (5 attempts, required). programFile is an absolute path
// in Qt form; "\"\"" is the delete marker.
QStringList uninstallCleanupArguments(const QString &programFile, const QDir &baseDir);
