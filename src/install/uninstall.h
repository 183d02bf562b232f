#pragma once

#include <QDir>
#include <QString>
#include <QStringList>

class VersionCatalogue;

// In the data directory: the versions installed there, one name a line, kept by
// removeOldVersions so that a version no catalogue names any more can still be tidied up.
constexpr char InstalledVersionsFileName[] = "installed-versions";

// Removes the product: everything below baseDir, the uninstall entry and the URL protocol
// (registry keys and desktop handler), the application-menu entry and the desktop shortcut; then starts a
// temporary copy of the running program that deletes the program file and baseDir once this process has
// exited (see uninstallCleanupArguments). Returns at once without waiting for the copy. Files are only ever
// removed when baseDir is the product's data directory (dataDirectory()): a copy of the program run with
// "uninstall" from any other folder (a downloads folder, the home directory) removes the registrations but
// deletes no file there. Nothing is reported; always returns true. Runs on the task's worker thread.
bool uninstallProduct(const QDir &baseDir);

// The part of uninstallProduct that runs in this process: the files below baseDir (read-only
// ones and those in read-only folders too; symbolic links are removed, never followed), the two
// registry keys, the URL handler and its default, the menu entry, the shortcut. Only when baseDir is the data
// directory are files deleted. The machine id stays.
void removeInstallation(const QDir &baseDir);

// After a successful install or update task in the data directory (the catalogue's base
// directory): removes the version directories and package files that are no longer needed, and
// nothing else. A version directory is one of ours only when a catalogue this task read names
// it (catalogue, or listedBefore: the versions of the cached catalogue before the task
// refreshed it), or an earlier task recorded it so in "installed-versions" (a catalogue named
// it then); every other folder or file (logs, the user's files, a copy of a version
// under another name) stays. Of those, kept are the version a start runs now (current), the one
// it ran before the task (before; when that is empty or current itself, the other installed
// version whose manifest was written last), so the catalogue can still point back to it, and
// every version whose manifest the task fetched (the catalogue's entries that hold one). Of
// the package store only files named as it names package files go, and only those that no
// kept version's manifest and no manifest the task fetched lists. The manifests of the doomed
// versions go first, so a removal cut short never leaves a startable half version. A file that
// cannot be removed (in use) stays, with what holds it, and is tried again at the next commit.
// Nothing is removed while another copy of the program runs (a client started from the
// installed launcher or from this program), nor anywhere but in the data directory, nor when
// current is not installed. Nothing is reported.
void removeOldVersions(const VersionCatalogue &catalogue, const QString &current, const QString &before,
                       const QStringList &listedBefore);

// The directories of the versions installed in baseDir that are ours, as removeOldVersions
// counts them (named in listed, the versions of the catalogues the task read, or recorded in
// "installed-versions"), with a manifest and not a link: replaced first (the version a start ran
// before the task), then the others, the one whose manifest was written last first. Where an
// update takes the files it finds unchanged (stageArchive). Reads only.
QStringList installedVersionDirectories(const QDir &baseDir, const QString &replaced,
                                        const QStringList &listed);

// The arguments of the temporary copy's "replace" command: delete programFile (10 attempts,
// required), then the directory baseDir (5 attempts, required). programFile is an absolute path
// in Qt form; "\"\"" is the delete marker.
QStringList uninstallCleanupArguments(const QString &programFile, const QDir &baseDir);
