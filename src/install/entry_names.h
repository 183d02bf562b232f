#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

class ArchiveReader;

// What an archive's entry names may be, checked before an extraction writes anything.
namespace archive {

// An untrusted entry name as the path below the destination it stands for: '/'-separated,
// without empty or "." components, with ".." resolved; empty for the destination itself. False
// when the name must not be used: empty, absolute, starting with a drive letter, containing a
// backslash (a separator elsewhere) or a NUL, with ".." leading out of the destination, with
// a component no Windows file may have (a ':', a control character or one of <>"|?*, a
// reserved device name such as CON, NUL, COM1 or "nul.txt", a trailing dot or blank), refused
// on every system, or with a component named as the extraction names its side files.
bool resolveEntryPath(const QString &name, QString *path);

// The checks made of every entry's name before the first byte is written, so that a hostile
// archive leaves the destination as it was: each name (resolveEntryPath), no path in
// reservedPaths (case folded) or below one, and no file that shares its file with another one
// where letter case does not count (Windows), in this archive or in those whose files
// claimedPaths holds (case folded, with their spelling). On success, paths holds the entries'
// relative paths (one per entry, in index order) and claimedPaths this archive's files too;
// on failure claimedPaths is unchanged.
bool checkEntries(const ArchiveReader &reader, const QStringList &reservedPaths,
                  QHash<QString, QString> *claimedPaths, QStringList *paths);

} // namespace archive
