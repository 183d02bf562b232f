#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

namespace platform {

// Replaces the file at path with new content so that a reader sees the old file or the new one,
// never a part, and a failure leaves the old one as it was: through QSaveFile, which writes a
// file beside it under a random name, flushes that to the storage device (Linux: fdatasync;
// Windows: FlushFileBuffers, both through its own handle, their errors ignored) and renames it
// over path. An existing file's permissions are kept, and a link at path is followed: the file
// it points to is replaced. The directory must exist. False when the content could not all be
// written (a full disk) or the file beside it could not be made or renamed; nothing of it is
// left then. A kill halfway leaves the file beside it behind.
bool saveFile(const QString &path, const QByteArray &data);

// The same with the content of source (open for reading), from its position to its end, read
// in pieces: for files too large to hold in memory at once. False also when source is not open
// for reading or cannot be read to its end.
bool saveFile(const QString &path, QIODevice &source);

} // namespace platform
