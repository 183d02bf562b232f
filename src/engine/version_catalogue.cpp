#include "engine/version_catalogue.h"

#include "engine/bounded_buffer.h"
#include "engine/http_transfer.h"
#include "engine/path_names.h"
#include "engine/server_layout.h"
#include "engine/servers.h"
#include "engine/signed_release.h"
#include "engine/status_sink.h"
#include "platform/save_file.h"

#include <QBuffer>
#include <QFile>
#include <QUrl>
#include <QXmlStreamReader>

#include <algorithm>

namespace {

const char TagLinePrefix[] = "If-None-Match: ";
constexpr int TagLinePrefixLength = sizeof TagLinePrefix - 1;

// One shared do-nothing sink rather than one inside each catalogue: entries are copied out of
// their catalogue and must never point into one that is gone. It holds no state.
StatusSink *orSilent(StatusSink *sink)
{
    static NullStatusSink silent;
    return sink ? sink : &silent;
}

// One GET of the catalogue into body, conditional on tag when it is not empty. Returns the HTTP
// status or the transfer error; after a 200, receivedTag is the answer's entity tag.
int fetchCatalogue(const QByteArray &tag, QByteArray *body, QByteArray *receivedTag,
                   const TransferLimits &limits, TransferConnection &connection)
{
    body->clear();
    BoundedBuffer buffer(body);
    buffer.open(QIODevice::WriteOnly);
    HttpTransfer transfer(QUrl(servers::catalogue() + server_layout::cataloguePath()), &buffer,
                          limits.forSmallFile(), &connection);
    if (!tag.isEmpty())
        transfer.requestHeaders.insert(QStringLiteral("If-None-Match"), QString::fromUtf8(tag));
    const int result = transfer.perform();
    if (result == 200)
        *receivedTag = transfer.responseHeader(QStringLiteral("ETag")).toUtf8();
    return result;
}

// A file of a few kilobytes at most (a signature); empty when missing or larger.
QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > release::MaxSignatureFileBytes)
        return QByteArray();
    return file.readAll();
}

// Replaces the cache with the tag line (when there is a tag) and body; false when the new
// cache could not be stored whole, the old one then staying as it was. A crash or a full disk
// leaves the old cache or the new one, never a tag over a cut body.
bool storeCache(const QString &path, const QByteArray &tag, const QByteArray &body)
{
    return platform::saveFile(path, (tag.isEmpty() ? QByteArray() : TagLinePrefix + tag + "\r\n") + body);
}

// The whole cache file, read and closed at once: the cache is replaced by a rename later, which
// systems that lock open files would refuse. Created empty when missing; false when it cannot
// be opened.
bool readCache(const QString &path, QByteArray *cached)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    *cached = file.readAll();
    return true;
}

// The entity tag of the cache's tag line; empty without one.
QByteArray cachedTag(const QByteArray &cached)
{
    if (!cached.startsWith(TagLinePrefix))
        return QByteArray();
    const int lineEnd = cached.indexOf('\n');
    QByteArray tag = cached.mid(TagLinePrefixLength, lineEnd < 0 ? -1 : lineEnd - TagLinePrefixLength);
    const int end = tag.indexOf('\r');
    if (end >= 0)
        tag.truncate(end);
    return tag;
}

// The catalogue as the server sent it: the cache without its tag line.
QByteArray cachedBody(const QByteArray &cached)
{
    return cached.startsWith(TagLinePrefix) ? cached.mid(cached.indexOf('\n') + 1) : cached;
}

} // namespace

VersionEntry::VersionEntry(const QDir &baseDir, StatusSink *sink, const QString &version,
                           const QString &prefetch)
    : m_baseDir(baseDir),
      m_versionDir(version.isEmpty() ? baseDir : QDir(baseDir.filePath(version))),
      m_sink(orSilent(sink)),
      m_version(version),
      m_prefetch(prefetch == QLatin1String("true")),
      m_connection(std::make_shared<TransferConnection>())
{
}

void VersionEntry::setSignedManifest(const QByteArray &sha256, qint64 size)
{
    m_manifestSha256 = sha256;
    m_manifestSize = size;
}

VersionCatalogue::VersionCatalogue(const QDir &baseDir, StatusSink *sink)
    : m_baseDir(baseDir), m_sink(orSilent(sink)), m_connection(std::make_shared<TransferConnection>())
{
}

bool VersionCatalogue::checkVersions()
{
    if (!m_baseDir.exists() && !QDir().mkpath(m_baseDir.absolutePath()))
        return false;
    m_sink->report(status_reports::CheckingVersions, QString(), QString());

    const QString cachePath = m_baseDir.filePath(QLatin1String(CatalogueFileName));
    QByteArray cached;
    if (!readCache(cachePath, &cached)) {
        m_sink->report(status_reports::VersionFileUnreadable, QString(), QString());
        return false;
    }
    m_versions.clear();

    const bool signing = release::isSigning();
    const QString signaturePath = m_baseDir.filePath(QLatin1String(CatalogueSignatureFileName));
    QByteArray body;
    QByteArray receivedTag;
    // The job may have begun to connect while its window was built.
    if (m_connection->isNew())
        m_connection->adopt(takePreparedConnection(servers::catalogue()));
    const int result = fetchCatalogue(cachedTag(cached), &body, &receivedTag, m_limits, *m_connection);
    if (result == 304) {
        // A cache that an older program or one without keys left has no signature, or one
        // that no longer holds: it is fetched again like a cache that holds nothing usable.
        if (!signing || acceptSigned(cachedBody(cached), readSmallFile(signaturePath))) {
            QBuffer buffer(&cached);
            buffer.open(QIODevice::ReadOnly);
            if (parseCatalogue(buffer))
                return true;
        }
        // The server's catalogue is the one cached, but the cache holds nothing usable (cut by
        // a crash or a full disk under an older program): only an unconditional request can
        // bring it back, and without it every start would fail here for as long as the
        // server's catalogue stays the same.
        if (fetchCatalogue(QByteArray(), &body, &receivedTag, m_limits, *m_connection) != 200) {
            if (signing)
                m_sink->report(status_reports::CheckingVersionsFailed, QString(), QString());
            return false;
        }
    } else if (result != 200) {
        m_sink->report(status_reports::CheckingVersionsFailed, QString(), QString());
        return false;
    }
    if (signing && !fetchAndKeepSignature(body, signaturePath)) {
        m_sink->report(status_reports::CheckingVersionsFailed, QString(), QString());
        return false;
    }
    // The launcher finds its version through the cache alone: a catalogue used but not stored
    // would install a version that no later start can find (or that the old cache does not
    // list). The check fails as one whose file could not be written.
    if (!storeCache(cachePath, receivedTag, body)) {
        m_sink->report(status_reports::VersionFileUnreadable, QString(), QString());
        return false;
    }
    QBuffer buffer(&body);
    buffer.open(QIODevice::ReadOnly);
    return parseCatalogue(buffer);
}

bool VersionCatalogue::fetchAndKeepSignature(const QByteArray &body, const QString &signaturePath)
{
    QByteArray signature;
    if (!release::fetchSignature(server_layout::cataloguePath(), &signature, m_limits, *m_connection)
        || !acceptSigned(body, signature))
        return false;
    // The signature first: a cache whose signature is missing or older is fetched anew.
    // Without it the cache would only be fetched again at the next check.
    storeCache(signaturePath, QByteArray(), signature);
    return true;
}

bool VersionCatalogue::acceptSigned(const QByteArray &body, const QByteArray &signature)
{
    qint64 sequence = -1;
    QByteArray keyId;
    if (!release::verifySigned(body, signature, server_layout::cataloguePath(), QString(), &sequence, &keyId))
        return false;
    const qint64 floor =
        std::max(m_sequenceFloors.value(keyId, 0), release::Verifier::compiledIn().minimumSequence());
    if (sequence < floor)
        return false;
    m_acceptedSequence = sequence;
    m_acceptedKeyId = keyId;
    return true;
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
        if (reader.readNext() != QXmlStreamReader::StartElement || reader.name() != QLatin1String("Version"))
            continue;
        const QXmlStreamAttributes attributes = reader.attributes();
        const QString version = attributes.value(QLatin1String("version")).toString();
        // The version names a directory under baseDir that is later filled and deleted.
        if (!isPlainName(version))
            continue;
        VersionEntry entry(m_baseDir, m_sink, version,
                           attributes.value(QLatin1String("prefetch")).toString());
        QByteArray manifestSha256;
        qint64 manifestSize = -1;
        if (release::isSigning()
            && release::parseSignedContent(attributes.value(QLatin1String("manifestSha256")).toString(),
                                           attributes.value(QLatin1String("manifestSize")).toString(),
                                           &manifestSha256, &manifestSize))
            entry.setSignedManifest(manifestSha256, manifestSize);
        entry.setTransferLimits(m_limits);
        entry.setConnection(m_connection);
        m_versions.append(entry);
    }
    return !m_versions.isEmpty();
}
