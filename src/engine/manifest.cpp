#include "engine/version_catalogue.h"

#include "engine/bounded_buffer.h"
#include "engine/http_transfer.h"
#include "engine/path_names.h"
#include "engine/servers.h"
#include "engine/status_sink.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <QXmlStreamReader>

namespace {

const char ManifestPathTemplate[] = "/bin/manifest/%1.xml";

} // namespace

bool VersionEntry::fetchManifest()
{
    m_sink->report(1, 0, m_version, QString(), QStringLiteral("开始下载清单"));

    QByteArray body;
    BoundedBuffer buffer(&body);
    buffer.open(QIODevice::WriteOnly);
    const QString path = QString::fromLatin1(ManifestPathTemplate).arg(urlPathSegment(m_version));
    HttpTransfer transfer(QUrl(servers::catalogue() + path), &buffer);
    if (transfer.perform() != 200) {
        m_sink->report(1, -1, m_version, QString(), QStringLiteral("下载清单错误"));
        return false;
    }
    if (!parseManifest(body)) {
        m_sink->report(1, -2, m_version, QString(), QStringLiteral("清单解释错误"));
        return false;
    }
    return true;
}

bool VersionEntry::parseManifest(const QByteArray &data)
{
    // No error check: at the first malformed spot the reader ends, and what came before decides.
    QXmlStreamReader reader(data);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QXmlStreamAttributes attributes = reader.attributes();
        if (reader.name() == QLatin1String("Package")) {
            const QString name = attributes.value(QLatin1String("name")).toString();
            const QString version = attributes.value(QLatin1String("version")).toString();
            const QString no = attributes.value(QLatin1String("no")).toString();
            const QString hash = attributes.value(QLatin1String("hash")).toString();
            if (name.isEmpty() || version.isEmpty() || no.isEmpty() || hash.isEmpty())
                continue;
            // Name and version become a directory and a file in the package store; one that
            // would lead out of it makes the manifest untrustworthy as a whole.
            if (!isPlainName(name) || !isPlainName(version))
                return false;
            m_packages.append(PackageRecord(name, version, no, hash));
        } else if (reader.name() == QLatin1String("Entry")) {
            m_entryFile = attributes.value(QLatin1String("file")).toString();
            m_entryFunction = attributes.value(QLatin1String("function")).toString();
        }
    }
    if (m_entryFile.isEmpty() || m_entryFunction.isEmpty())
        return false;
    m_manifestData = data;
    return true;
}

bool VersionEntry::loadLocalManifest()
{
    if (!m_versionDir.exists())
        return false;
    QFile file(m_versionDir.filePath(QLatin1String(LocalManifestFileName)));
    if (!file.open(QIODevice::ReadOnly) || !parseManifest(file.readAll()))
        return false;
    return QFileInfo(m_versionDir.filePath(m_entryFile)).isFile();
}
