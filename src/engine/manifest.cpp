#include "engine/version_catalogue.h"

#include "engine/bounded_buffer.h"
#include "engine/http_transfer.h"
#include "engine/path_names.h"
#include "engine/server_layout.h"
#include "engine/servers.h"
#include "engine/signed_release.h"
#include "engine/status_sink.h"
#include "platform/sha256.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <QXmlStreamReader>

#include <algorithm>
#include <optional>

bool VersionEntry::fetchManifest()
{
    m_sink->report(status_reports::ManifestDownloadStarted, m_version, QString());
    connectAhead();

    QByteArray body;
    BoundedBuffer buffer(&body);
    buffer.open(QIODevice::WriteOnly);
    const QString path = server_layout::manifestPath(urlPathSegment(m_version));
    HttpTransfer transfer(QUrl(servers::catalogue() + path), &buffer, m_limits.forSmallFile(),
                          m_connection.get());
    if (transfer.perform() != 200) {
        m_ahead.reset();
        m_sink->report(status_reports::ManifestDownloadFailed, m_version, QString());
        return false;
    }
    if (!acceptSigned(path, body) || !parseManifest(body) || !hasSignedPackages()) {
        m_ahead.reset();
        m_sink->report(status_reports::ManifestRejected, m_version, QString());
        return false;
    }
    return true;
}

bool VersionEntry::acceptSigned(const QString &path, const QByteArray &body) const
{
    if (!release::isSigning())
        return true;
    // The signed catalogue names the one manifest it lists for this version: any other, an
    // older one of the same version among them, is refused however well it is signed.
    if (m_manifestSha256.isEmpty() || body.size() != m_manifestSize)
        return false;
    platform::Sha256 digest;
    digest.addData(body.constData(), body.size());
    if (digest.result() != m_manifestSha256)
        return false;
    // The signature names this version's path and the version itself: a manifest of another
    // version, validly signed, is still not this one's.
    QByteArray signature;
    qint64 sequence = -1;
    return release::fetchSignature(path, &signature, m_limits, *m_connection)
        && release::verifySigned(body, signature, path, urlPathSegment(m_version), &sequence);
}

bool VersionEntry::hasSignedPackages() const
{
    if (!release::isSigning())
        return true;
    for (const PackageRecord &package : m_packages) {
        if (!package.hasSignedContent())
            return false;
    }
    return true;
}

bool VersionEntry::parseManifest(const QByteArray &data)
{
    // Read into lists of its own and taken over only once accepted: an entry tried twice (a
    // prefetch entry that is also the first) must not hold the packages of both reads, nor a
    // refused manifest leave half its packages behind.
    QList<PackageRecord> packages;
    QList<PatchRecord> patches;
    QString entryFile;
    QString entryFunction;
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
            PackageRecord package(name, version, no, hash);
            bool listed = false;
            const qint64 listedSize = attributes.value(QLatin1String("size")).toLongLong(&listed);
            if (listed && listedSize >= 0)
                package.setListedSize(listedSize);
            QByteArray sha256;
            qint64 size = -1;
            if (release::isSigning()
                && release::parseSignedContent(attributes.value(QLatin1String("sha256")).toString(),
                                               attributes.value(QLatin1String("size")).toString(), &sha256,
                                               &size))
                package.setSignedContent(sha256, size);
            packages.append(package);
        } else if (reader.name() == QLatin1String("Patch")) {
            std::optional<PatchRecord> patch;
            const PatchRecord::Reading reading = PatchRecord::read(attributes, &patch);
            if (reading == PatchRecord::Reading::Unsafe)
                return false;
            if (patch)
                patches.append(*patch);
        } else if (reader.name() == QLatin1String("Entry")) {
            entryFile = attributes.value(QLatin1String("file")).toString();
            entryFunction = attributes.value(QLatin1String("function")).toString();
        }
    }
    if (entryFile.isEmpty() || entryFunction.isEmpty())
        return false;
    // A patch stands in for a package; one that names none of this manifest's replaces nothing.
    QList<PatchRecord> usable;
    for (const PatchRecord &patch : qAsConst(patches)) {
        const auto named = [&](const PackageRecord &package) { return package.name() == patch.package(); };
        if (std::any_of(packages.cbegin(), packages.cend(), named))
            usable.append(patch);
    }
    m_packages = packages;
    m_patches = usable;
    m_patchedPackages.clear();
    m_entryFile = entryFile;
    m_entryFunction = entryFunction;
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
