#pragma once

#include <QByteArray>
#include <QDir>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// The server tree the publisher writes: where its files lie, and what the files already
// published hold, so that bytes published once are listed again rather than published twice.
// The tree is laid out as the servers are (engine/server_layout.h).
namespace publish {

struct Listed;
struct Package;

// Where the publisher keeps its own notes in the tree (never read by clients), and packs
// packages before any of them is published.
constexpr char PublisherDir[] = ".korvel-publish";
constexpr char StagingTemplate[] = ".korvel-publish/staging-XXXXXX";

// The catalogue and a version's manifest in the tree, as absolute paths; where the two
// mirrors serve a package, relative to the tree.
QString catalogueFile(const QDir &tree);
QString manifestFile(const QDir &tree, const QString &version);
QString componentPath(const QString &name, const QString &no);
QString mirrorPath(const QString &name, const QString &no);

// The packages the manifests already in the tree list, by their bytes' digest.
class PublishedPackages {
public:
    struct Record {
        QString name;
        QString version;
        QString no;
    };

    // Reads every manifest in the tree, those of the listed versions first (newest first), so
    // that a package is reused under the name most clients hold it as. False, after saying
    // which, when a manifest cannot be read.
    bool read(const QDir &tree, const QList<Listed> &listed);

    // A published package whose file on the first mirror holds exactly the bytes of md5Hex.
    bool find(const QDir &tree, const QByteArray &md5Hex, Record *found);

private:
    QByteArray digestOf(const QString &path);

    QHash<QByteArray, QList<Record>> m_byHash;
    QHash<QString, QByteArray> m_digests;
};

// Which archive bytes which inputs gave, kept in the tree: packing is by far the slowest part
// of a publication, and a package whose files (names, modes, contents), switches and 7zz are
// those of one packed before would come out byte for byte the same.
class PackedInputs {
public:
    void read(const QDir &tree);
    bool write(const QDir &tree) const;

    QByteArray packedAs(const QByteArray &inputs) const { return m_digests.value(inputs); }
    void remember(const QByteArray &inputs, const QByteArray &md5Hex) { m_digests.insert(inputs, md5Hex); }

    // The digest of everything that decides a package's bytes; empty when a file cannot be read.
    static QByteArray inputsOf(const QDir &source, const QStringList &paths);

private:
    QMap<QByteArray, QByteArray> m_digests;
};

// Lists a package as the published one its inputs gave before, without packing it again. False
// when there is none (or its files are gone).
bool reusePacked(const QDir &tree, const PackedInputs &packed, const QByteArray &inputs,
                 PublishedPackages *published, Package *package);

// Where new bytes (digest: their MD5 in hex) of the package name go: the version's own URL,
// unless other bytes are published there already (the version is published again with
// changes): then a URL named after the new bytes. A published URL never changes its bytes, so
// whatever lists it (another version's manifest, a client halfway through an install, a cache)
// stays right. Empty when no URL is free.
QString freeNo(const QDir &tree, const QString &name, const QString &version, const QByteArray &digest);

// Puts a package on both mirrors where it is missing: the packed file moves to the first, and
// the second gets a copy. Never replaces a published file. False after saying so.
bool placePackage(const QDir &tree, const Package &package);

// Gives every listed version the digest and size of its manifest in the tree, which the signed
// catalogue then binds. False, after saying which, when a listed manifest cannot be read.
bool bindManifests(const QDir &tree, QList<Listed> *versions);

} // namespace publish
