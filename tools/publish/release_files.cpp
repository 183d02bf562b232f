#include "release_files.h"

#include "package_plan.h"
#include "patch_plan.h"
#include "publish_log.h"
#include "publisher.h"
#include "signing.h"

#include "engine/server_layout.h"
#include "engine/version_catalogue.h"
#include "platform/save_file.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <functional>

namespace publish {
namespace {

// A document as the publisher writes them all: indented, with an XML declaration, one root
// element whose attributes and children body writes.
QByteArray xmlDocument(const QString &root, const std::function<void(QXmlStreamWriter &)> &body)
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(root);
    body(writer);
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

enum class FileRead { Missing, Read, Failed };

// The whole file at path, into data, when there is one; Failed after saying so when it exists
// but cannot be read.
FileRead readIfPresent(const QString &path, QByteArray *data)
{
    QFile file(path);
    if (!file.exists())
        return FileRead::Missing;
    if (!file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read %1").arg(path));
        return FileRead::Failed;
    }
    *data = file.readAll();
    return FileRead::Read;
}

} // namespace

QByteArray manifestXml(const PublishRequest &request, const QList<Package> &packages,
                       const QList<PlannedPatch> &patches)
{
    return xmlDocument(QStringLiteral("Manifest"), [&](QXmlStreamWriter &writer) {
        writer.writeAttribute(QStringLiteral("version"), request.version);
        for (const Package &package : packages) {
            writer.writeEmptyElement(QStringLiteral("Package"));
            writer.writeAttribute(QStringLiteral("name"), package.name);
            // `version` names the file in the clients' package store, `no` the mirrors' path.
            writer.writeAttribute(QStringLiteral("version"), package.version);
            writer.writeAttribute(QStringLiteral("no"), package.no);
            writer.writeAttribute(QStringLiteral("hash"), QString::fromLatin1(package.md5Hex));
            writer.writeAttribute(QStringLiteral("sha256"), QString::fromLatin1(package.sha256Hex));
            writer.writeAttribute(QStringLiteral("size"), QString::number(package.size));
        }
        writePatchElements(&writer, patches);
        writer.writeEmptyElement(QStringLiteral("Entry"));
        writer.writeAttribute(QStringLiteral("file"), request.entryFile);
        writer.writeAttribute(QStringLiteral("function"), request.entryFunction);
    });
}

bool readCatalogue(const QString &path, QList<Listed> *versions)
{
    QByteArray data;
    if (const FileRead read = readIfPresent(path, &data); read != FileRead::Read)
        return read == FileRead::Missing;
    // Clients read up to the first flaw and take what came before; the publisher rewrites the
    // catalogue, so it must see all of it.
    QXmlStreamReader reader(data);
    while (!reader.atEnd())
        reader.readNext();
    if (reader.hasError()) {
        fail(QStringLiteral("%1 is not well-formed: %2").arg(path, reader.errorString()));
        return false;
    }
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    VersionCatalogue catalogue(QFileInfo(path).absoluteDir());
    catalogue.parseCatalogue(buffer);
    for (const VersionEntry &entry : catalogue.versions())
        versions->append(Listed{entry.version(), entry.isPrefetch(), {}, -1});
    return true;
}

QByteArray catalogueXml(const QList<Listed> &versions)
{
    return xmlDocument(QStringLiteral("Versions"), [&](QXmlStreamWriter &writer) {
        for (const Listed &listed : versions) {
            writer.writeEmptyElement(QStringLiteral("Version"));
            writer.writeAttribute(QStringLiteral("version"), listed.version);
            if (listed.prefetch)
                writer.writeAttribute(QStringLiteral("prefetch"), QStringLiteral("true"));
            if (!listed.manifestSha256Hex.isEmpty()) {
                writer.writeAttribute(QStringLiteral("manifestSha256"),
                                      QString::fromLatin1(listed.manifestSha256Hex));
                writer.writeAttribute(QStringLiteral("manifestSize"), QString::number(listed.manifestSize));
            }
        }
    });
}

bool readManifestPackages(const QString &path, QList<ListedPackage> *packages)
{
    QByteArray data;
    if (const FileRead read = readIfPresent(path, &data); read != FileRead::Read)
        return read == FileRead::Missing;
    VersionEntry manifest(QFileInfo(path).absoluteDir(), nullptr, QFileInfo(path).completeBaseName(),
                          QString());
    if (!manifest.parseManifest(data))
        return true;
    for (const PackageRecord &package : manifest.packages())
        packages->append(
            ListedPackage{package.name(), package.version(), package.no(), package.digest().toHex()});
    return true;
}

QByteArray md5Hex(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
    return hash.result().toHex();
}

bool sha256Hex(const QString &path, QByteArray *hex, qint64 *size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    *hex = hash.result().toHex();
    *size = file.size();
    return true;
}

bool writeAtomically(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!platform::saveFile(path, data)) {
        fail(QStringLiteral("cannot write %1").arg(path));
        return false;
    }
    return true;
}

bool copyAtomically(const QString &from, const QString &to)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read %1").arg(from));
        return false;
    }
    // In pieces: a package may be larger than memory holds at once.
    QDir().mkpath(QFileInfo(to).absolutePath());
    if (!platform::saveFile(to, in)) {
        fail(QStringLiteral("cannot write %1").arg(to));
        return false;
    }
    return true;
}

bool writeSigned(const ReleaseSigner &signer, const QString &path, const QByteArray &data,
                 const QString &urlPath, const QString &version)
{
    if (!signer.isLoaded())
        return writeAtomically(path, data);
    const QString signaturePath = server_layout::signaturePath(path);
    const QByteArray signature = signer.sign(data, urlPath, version);
    if (signature.isEmpty()) {
        fail(QStringLiteral("cannot sign %1").arg(path));
        return false;
    }
    // A signature that names data a client does not find would make the old file unusable:
    // it goes back as it was when data cannot be written.
    QFile oldSignature(signaturePath);
    const bool hadSignature = oldSignature.open(QIODevice::ReadOnly);
    const QByteArray old = hadSignature ? oldSignature.readAll() : QByteArray();
    oldSignature.close();
    if (!writeAtomically(signaturePath, signature))
        return false;
    if (!writeAtomically(path, data)) {
        if (hadSignature)
            writeAtomically(signaturePath, old);
        else
            QFile::remove(signaturePath);
        return false;
    }
    QFile written(path);
    QFile writtenSignature(signaturePath);
    const bool ok = written.open(QIODevice::ReadOnly) && writtenSignature.open(QIODevice::ReadOnly)
        && signer.verify(written.readAll(), writtenSignature.readAll(), urlPath, version);
    if (!ok)
        fail(QStringLiteral("the signature of %1 does not verify as written").arg(path));
    return ok;
}

} // namespace publish
