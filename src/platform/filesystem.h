#pragma once

#include <QString>

// File-system operations that Qt does not offer in the form the installer needs.
namespace platform {

// Flushes everything written to the file system that holds path (a file or directory) to the
// storage device (syncfs on Linux). False when path cannot be opened or the flush failed.
bool syncFileSystem(const QString &path);

// Renames from to to in one step, replacing an existing file at to, so that a reader sees
// either the old or the new file and a crash never leaves neither. Both must be on one file
// system. False (and from untouched) when the rename is refused: to is a directory, the
// directory is read-only, or (on systems that lock running programs) to is in use.
bool replaceFile(const QString &from, const QString &to);

// Whether two absolute, cleaned paths (Qt form) name the same place the way this system reads
// paths: here byte for byte; on Windows without regard to letter case and with short (8.3)
// names of existing components expanded to their long forms.
bool isSamePath(const QString &a, const QString &b);

} // namespace platform
