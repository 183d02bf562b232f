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

// Whether a file found holds the entry's bytes: the CRC of its first size bytes (its size was
// checked already), read whole.
bool crcMatches(const QString &path, quint64 size, quint32 crc)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
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

// The permissions the file system keeps for the file (install::StoredPermissions) from its one
// look at it: QFileInfo::permissions() would ask the system three more times what this process
// may do with it.
QFileDevice::Permissions storedPermissionsOf(const QFileInfo &info)
{
    QFileDevice::Permissions permissions;
    // ReadOwner is the highest flag; a bit above it is no value of the enumeration at all.
    for (quint32 bit = 1; bit <= quint32(QFileDevice::ReadOwner); bit <<= 1) {
        const auto flag = QFileDevice::Permission(bit);
        if (install::StoredPermissions.testFlag(flag) && info.permission(flag))
            permissions |= flag;
    }
    return permissions;
}

// Whether a file with these permissions is what the extraction would leave at finalPath: the
// permissions of the file it replaces there plus the execute bits; for a new file, the execute
// bits exactly, the rest being the owner's own choice as long as the owner can still write it
// (the next repair of the version replaces it).
bool hasExtractedPermissions(QFileDevice::Permissions permissions, const QString &finalPath,
                             QFileDevice::Permissions executable)
{
    permissions &= install::StoredPermissions;
    if (platform::isNameTaken(finalPath)) {
        const QFileInfo existing(finalPath);
        if (existing.isFile() && !existing.isSymLink())
            return permissions == ((storedPermissionsOf(existing) | executable) & install::StoredPermissions);
    }
    const QFileDevice::Permissions owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    return (permissions & install::StoredExecutePermissions)
        == (executable & install::StoredExecutePermissions)
        && (permissions & owner) == owner;
}

} // namespace

bool fileHasContent(const QString &path, quint64 size, quint32 crc)
{
    const QFileInfo info(path);
    return !info.isSymLink() && info.isFile() && quint64(info.size()) == size && crcMatches(path, size, crc);
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
                              quint32 crc, QFileDevice::Permissions executable)
{
    if (size == 0)
        return {};
    for (const QString &directory : m_directories) {
        const QString path = directory + QLatin1Char('/') + relativePath;
        const QFileInfo info(path);
        if (!info.isSymLink() && info.isFile() && quint64(info.size()) == size
            && hasExtractedPermissions(storedPermissionsOf(info), finalPath, executable)
            && isReachedWithoutLinks(directory, relativePath) && crcMatches(path, size, crc))
            return path;
    }
    return {};
}

bool InstalledCopies::isReachedWithoutLinks(const QString &directory, const QString &relativePath)
{
    // A link planted in an installed version must not make a file from anywhere else a part
    // of the new one. The file itself was looked at; each folder above it is looked at once.
    int slash = relativePath.indexOf(QLatin1Char('/'));
    while (slash > 0) {
        const QString folder = directory + QLatin1Char('/') + relativePath.left(slash);
        if (!m_linkFreeFolders.contains(folder)) {
            if (QFileInfo(folder).isSymLink())
                return false;
            m_linkFreeFolders.insert(folder);
        }
        slash = relativePath.indexOf(QLatin1Char('/'), slash + 1);
    }
    return true;
}
