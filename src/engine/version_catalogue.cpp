#include "engine/version_catalogue.h"

#include "engine/http_transfer.h"
#include "engine/path_names.h"
#include "engine/servers.h"
#include "engine/status_sink.h"

#include <QBuffer>
#include <QFile>
#include <QUrl>
#include <QXmlStreamReader>

namespace {

const char TagLinePrefix[] = "If-None-Match: ";
constexpr int TagLinePrefixLength = sizeof TagLinePrefix - 1;
const char CataloguePath[] = "/bin/versions.xml";

// One shared do-nothing sink rather than one inside each catalogue: entries are copied out of
// their catalogue and must never point into one that is gone. It holds no state.
StatusSink *orSilent(StatusSink *sink)
{
    static NullStatusSink silent;
    return sink ? sink : &silent;
}

} // namespace

VersionEntry::VersionEntry(const QDir &baseDir, StatusSink *sink, const QString &version,
                           const QString &prefetch)
    : m_baseDir(baseDir),
      m_versionDir(version.isEmpty() ? baseDir : QDir(baseDir.filePath(version))),
      m_sink(orSilent(sink)),
      m_version(version),
      m_prefetch(prefetch == QLatin1String("true"))
{
}

VersionCatalogue::VersionCatalogue(const QDir &baseDir, StatusSink *sink)
    : m_baseDir(baseDir), m_sink(orSilent(sink))
{
}

bool VersionCatalogue::checkVersions()
{
    if (!m_baseDir.exists() && !QDir().mkpath(m_baseDir.absolutePath()))
        return false;
    m_sink->report(1, 0, QString(), QString(), QStringLiteral("检查版本"));

    QFile file(m_baseDir.filePath(QLatin1String(CatalogueFileName)));
    if (!file.open(QIODevice::ReadWrite)) {
        m_sink->report(1, -2, QString(), QString(), QStringLiteral("打开版本文件失败"));
        return false;
    }
    m_versions.clear();

    QByteArray body;
    QBuffer buffer(&body);
    buffer.open(QIODevice::WriteOnly);
    HttpTransfer transfer(QUrl(servers::catalogue() + QLatin1String(CataloguePath)), &buffer);

    const QByteArray firstLine = file.readLine();
    if (firstLine.startsWith(TagLinePrefix)) {
        QByteArray tag = firstLine.mid(TagLinePrefixLength);
        const int end = tag.indexOf('\r') >= 0 ? tag.indexOf('\r') : tag.indexOf('\n');
        if (end >= 0)
            tag.truncate(end);
        transfer.requestHeaders.insert(QStringLiteral("If-None-Match"), QString::fromUtf8(tag));
    } else {
        file.seek(0);
    }

    const int result = transfer.perform();
    if (result == 200) {
        const QString tag = transfer.responseHeader(QStringLiteral("ETag"));
        QByteArray cache;
        if (!tag.isEmpty())
            cache = TagLinePrefix + tag.toUtf8() + "\r\n";
        cache += body;
        file.resize(0);
        file.seek(0);
        if (file.write(cache) == cache.size() && file.flush() && file.seek(0))
            return parseCatalogue(file);
        // A cache that kept the new tag over a cut body would be answered with 304 for ever:
        // leave no tag, so the next check asks unconditionally, and use the body just received.
        file.resize(0);
        buffer.close();
        buffer.open(QIODevice::ReadOnly);
        return parseCatalogue(buffer);
    }
    if (result == 304) {
        file.seek(0);
        return parseCatalogue(file);
    }
    m_sink->report(1, -1, QString(), QString(), QStringLiteral("检查版本失败"));
    return false;
}

bool VersionCatalogue::loadLocalCatalogue()
{
    QFile file(m_baseDir.filePath(QLatin1String(CatalogueFileName)));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return parseCatalogue(file);
}

bool VersionCatalogue::parseCatalogue(QIODevice &file)
{
    if (!file.readLine().startsWith(TagLinePrefix))
        file.seek(0);
    m_versions.clear();

    // No error check: at the first malformed spot the reader ends, and what came before stands.
    QXmlStreamReader reader(&file);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement
            || reader.name() != QLatin1String("Version"))
            continue;
        const QXmlStreamAttributes attributes = reader.attributes();
        const QString version = attributes.value(QLatin1String("version")).toString();
        // The version names a directory under baseDir that is later filled and deleted.
        if (!isPlainName(version))
            continue;
        m_versions.append(VersionEntry(m_baseDir, m_sink, version,
                                       attributes.value(QLatin1String("prefetch")).toString()));
    }
    return !m_versions.isEmpty();
}
