#pragma once

#include <QString>

class QFileDevice;

// File-system operations that Qt does not offer in the form the installer needs.
namespace platform {

// Flushes what this program wrote to the file system that holds path (a file or directory) to
// the storage device: syncfs on Linux. Windows offers no such call to an unprivileged user; there
// the files are flushed one by one through the handles that wrote them (flushWrittenFile), so
// this only checks that path exists. False when path cannot be opened or the flush failed.
bool syncFileSystem(const QString &path);

// Flushes the data written through file (still open for writing) to the storage device where
// the system flushes file by file (Windows: through this very handle, so a file someone else
// holds or a read-only file is never touched); where syncFileSystem flushes all at once later
// (Linux), it only starts writing the file back (startWriteBack). False when the flush failed.
bool flushWrittenFile(QFileDevice &file);

// Asks the system to start writing what was written through file (still open) to the storage
// device now, without waiting for it (Linux). The flush of the whole file system at the end of
// an install then finds little left to write, rather than all of it at once; while a download
// runs, the disk has time to spare. Where the system offers nothing of the kind (Windows),
// nothing. A hint: no result.
void startWriteBack(QFileDevice &file);

// Whether the file at path could be replaced now, by replaceFile or by moveAside and a rename:
// true when it is absent or replaceable; false where the system locks files in use and path is
// (Windows: a file opened without sharing its deletion). A loaded library or a running program
// counts as replaceable: it can be moved aside. Never changes the file.
bool canReplaceFile(const QString &path);

// Makes way for a new file at path while keeping the old one under aside (a name beside it that
// is free), so that it can be put back (replaceFile(aside, path)) or let go (remove aside).
// Windows: the file is renamed to aside, which the system allows while it is loaded or running
// (replacing or deleting it is refused then), and path stays free until a rename fills it.
// Elsewhere: aside becomes a second name of the same file (a hard link), path still names it
// until a rename replaces it in one step; where the file system has no such links, the file is
// renamed as on Windows. False, with path untouched, when neither can be done.
bool moveAside(const QString &path, const QString &aside);

// Renames from to to in one step, replacing an existing file at to, so that a reader sees
// either the old or the new file and a crash never leaves neither. Both must be on one file
// system. False (and from untouched) when the rename is refused: to is a directory, the
// directory is read-only, or (on systems that lock running programs) to is in use.
bool replaceFile(const QString &from, const QString &to);

// Gives target (a path where nothing is yet, on any file system) the content and permissions of
// the regular file at source, for files that are only ever replaced by a rename, never written
// through nor given other permissions or times: a second name of one file (Linux: a hard link)
// shares all of that between both names. Where the system refuses such a link (target on
// another file system, one without links, a file that may not be linked, too many links), a
// copy with the permissions of source. Windows: always a copy (never replacing a file), flushed
// to the storage device as flushWrittenFile flushes: a library loaded through one name of a
// file there keeps every other name from being deleted, so a version that shares a file with a
// running one could not be removed. False, with nothing left at target, when neither can be
// done, target exists or source is not a regular file.
bool shareFile(const QString &source, const QString &target);

// Whether anything has the name path: a file, a directory, a link (one that leads nowhere too),
// in one look that follows no link. Cheaper than QFileInfo, which asks up to three times about a
// name nothing has, as most names of a new version directory are until its files come.
bool isNameTaken(const QString &path);

// The bytes the regular files below the directory path hold, a file with several names
// counted once; links are not followed. 0 when path cannot be read.
qint64 treeBytes(const QString &path);

// Whether two absolute, cleaned paths (Qt form) name the same place the way this system reads
// paths: here byte for byte; on Windows without regard to letter case and with short (8.3)
// names of existing components expanded to their long forms.
bool isSamePath(const QString &a, const QString &b);

} // namespace platform
