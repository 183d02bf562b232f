#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class ReleaseSigner;
struct PublishRequest;

// The files of a release the clients read: the catalogue and the manifests, read through the
// program's own parsers and written by the publisher, signed when it signs.
namespace publish {

struct Package;
struct PlannedPatch;

// One version a catalogue lists.
struct Listed {
    QString version;
    bool prefetch;
    // What a signed catalogue says of the version's manifest, so that no other manifest of
    // the version, however well signed, is taken for it.
    QByteArray manifestSha256Hex;
    qint64 manifestSize = -1;
};

// The versions the catalogue at path lists now, in order, as clients read them; a missing
// catalogue lists none. False, after saying why, when it cannot be read or is not well-formed
// (rewritten from what comes before a flaw, it would lose the versions after it).
bool readCatalogue(const QString &path, QList<Listed> *versions);
QByteArray catalogueXml(const QList<Listed> &versions);

// The manifest of the request's version listing packages and the patches beside them.
QByteArray manifestXml(const PublishRequest &request, const QList<Package> &packages,
                       const QList<PlannedPatch> &patches);

// One package a manifest lists: its name, the version naming its file in the clients' store,
// the mirrors' path argument and its MD5 in lower-case hex.
struct ListedPackage {
    QString name;
    QString version;
    QString no;
    QByteArray md5Hex;
};
// The packages of the manifest at path, as clients read them; none when it is missing or
// clients would refuse it. False, after saying why, when it exists but cannot be read.
bool readManifestPackages(const QString &path, QList<ListedPackage> *packages);

// The digests of a file's bytes, in lower-case hex: MD5 (empty when it cannot be read), and
// SHA-256 with the size (false when it cannot be read).
QByteArray md5Hex(const QString &path);
bool sha256Hex(const QString &path, QByteArray *hex, qint64 *size);

// Writes data to path (creating its directory) so that path holds the old bytes or the new
// ones, never a part of them. False after saying so.
bool writeAtomically(const QString &path, const QByteArray &data);
// The same with the bytes of the file from.
bool copyAtomically(const QString &from, const QString &to);

// Writes data to path and, when signer is loaded, its signature beside it (first, so that a
// client never sees the new file with no signature for it), then checks both as written on the
// disk. urlPath and version are what the signature names. False after saying why; a signature
// written for data that could not be written is put back as it was.
bool writeSigned(const ReleaseSigner &signer, const QString &path, const QByteArray &data,
                 const QString &urlPath, const QString &version);

} // namespace publish
