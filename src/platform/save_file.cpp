#include "platform/save_file.h"

#include <QBuffer>
#include <QSaveFile>

namespace {

// Bytes read from a source and handed to the file at once.
constexpr qint64 kPiece = 1 << 20;

} // namespace

bool platform::saveFile(const QString &path, const QByteArray &data)
{
    QByteArray copy = data; // shares the bytes; the buffer needs a non-const array
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    return saveFile(path, buffer);
}

bool platform::saveFile(const QString &path, QIODevice &source)
{
    QSaveFile file(path);
    if (!source.isReadable() || !file.open(QIODevice::WriteOnly))
        return false;
    bool written = true;
    while (written && !source.atEnd()) {
        const QByteArray piece = source.read(kPiece);
        written = !piece.isEmpty() && file.write(piece) == piece.size();
    }
    // QSaveFile's commit checks only the writes that reached the system before it: the bytes it
    // still buffers, written by its own flush, may fall short on a full disk, and it would rename
    // the cut file over path all the same. So they are flushed and checked here, and a failure
    // gives the file up.
    if (!written || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
