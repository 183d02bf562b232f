#include "install/installed_copies.h"

#include "install/commit.h"
#include "install/sdk_support.h"
#include "platform/filesystem.h"

#include <7zCrc.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <vector>

namespace {

// Files are read in pieces of this size to compute their CRC.
constexpr qint64 kReadChunk = 1 << 20;

// Whether no component of relativePath below directory is a link: a link planted in an installed
// version must not make a file from anywhere else a part of the new one.
bool isReachedWithoutLinks(const QString &directory, const QString &relativePath)
{
    QString path = directory;
    for (const QString &part : relativePath.split(QLatin1Char('/'))) {
        path += QLatin1Char('/') + part;
        if (QFileInfo(path).isSymLink())
            return false;
    }
    return true;
}

// Whether a file with these permissions is what the extraction would leave at finalPath: the
// permissions of the file it replaces there plus the execute bits; for a new file, the execute
// bits exactly, the rest being the owner's own choice as long as the owner can still write it
// (the next repair of the version replaces it).
bool hasExtractedPermissions(QFileDevice::Permissions permissions, const QString &finalPath,
                             QFileDevice::Permissions executable)
{
    permissions &= install::StoredPermissions;
    const QFileInfo existing(finalPath);
    if (existing.isFile() && !existing.isSymLink())
        return permissions == ((existing.permissions() | executable) & install::StoredPermissions);
    const QFileDevice::Permissions owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    return (permissions & install::StoredExecutePermissions)
        == (executable & install::StoredExecutePermissions)
        && (permissions & owner) == owner;
}

} // namespace

bool fileHasContent(const QString &path, quint64 size, quint32 crc)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile() || quint64(info.size()) != size)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    sdk::ensureCrcTable();
    std::vector<unsigned char> buffer(size_t(qMin<quint64>(qMax<quint64>(size, 1), quint64(kReadChunk))));
    UInt32 sum = CRC_INIT_VAL;
    quint64 left = size;
    while (left > 0) {
        const qint64 n =
            file.read(reinterpret_cast<char *>(buffer.data()), qint64(qMin<quint64>(left, buffer.size())));
        if (n <= 0)
            return false;
        sum = CrcUpdate(sum, buffer.data(), size_t(n));
        left -= quint64(n);
    }
    return CRC_GET_DIGEST(sum) == crc;
}

InstalledCopies::InstalledCopies(const QStringList &directories, const QString &destination)
{
    const QString target = QDir::cleanPath(QDir(destination).absolutePath());
    for (const QString &directory : directories) {
        const QString path = QDir::cleanPath(QDir(directory).absolutePath());
        const QFileInfo info(path);
        if (info.isDir() && !info.isSymLink() && !platform::isSamePath(path, target))
            m_directories.append(path);
    }
}

QString InstalledCopies::find(const QString &relativePath, const QString &finalPath, quint64 size,
                              quint32 crc, QFileDevice::Permissions executable) const
{
    if (size == 0)
        return {};
    for (const QString &directory : m_directories) {
        const QString path = directory + QLatin1Char('/') + relativePath;
        const QFileInfo info(path);
        if (!info.isSymLink() && info.isFile() && quint64(info.size()) == size
            && hasExtractedPermissions(info.permissions(), finalPath, executable)
            && isReachedWithoutLinks(directory, relativePath) && fileHasContent(path, size, crc))
            return path;
    }
    return {};
}
