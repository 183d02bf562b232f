#include "engine/package_record.h"

#include "base/locations.h"

PackageRecord::PackageRecord(const QString &name, const QString &version, const QString &no,
                             const QString &hash)
    : m_name(name),
      m_version(version),
      m_no(no),
      m_digest(QByteArray::fromHex(hash.toUtf8())),
      m_packageDir(dataDirectory() + QLatin1Char('/') + QLatin1String(PackageStoreDirName) + QLatin1Char('/')
                   + name)
{
}

void PackageRecord::setSignedContent(const QByteArray &sha256, qint64 size)
{
    m_sha256 = sha256;
    m_size = size;
}
