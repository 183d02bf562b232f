#include "publisher.h"

#include "external_tools.h"
#include "package_plan.h"
#include "patch_plan.h"
#include "publish_log.h"
#include "published_tree.h"
#include "release_files.h"
#include "signing.h"

#include "engine/path_names.h"
#include "engine/server_layout.h"
#include "install/commit.h"
#include "install/extraction.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace publish;

namespace {

// Packs one package into staging and checks it as its clients will, or, when an earlier
// version published the same bytes, lists it as that version's package: clients then find it
// in their store. Changes nothing in the tree.
bool packPackage(const PublishRequest &request, const QDir &source, const QDir &tree, const QString &version,
                 const QString &staging, PublishedPackages *published, Package *package)
{
    const QString packed = staging + QLatin1Char('/') + package->name + QStringLiteral(".7z");
    // The package with the launcher is packed from a signed copy of its entries.
    QTemporaryDir signedCopy;
    QString packedFrom = source.absolutePath();
    if (!request.authenticodeCertificate.isEmpty()
        && package->paths.contains(QLatin1String(install::LauncherFileName))) {
        if (!signedCopy.isValid() || !stageSignedPackage(request, source, package->paths, signedCopy.path()))
            return false;
        packedFrom = signedCopy.path();
    }
    if (!makeArchive(packedFrom, package->paths, packed))
        return false;
    QFile archive(packed);
    if (!archive.open(QIODevice::ReadOnly) || !checkArchive(&archive, install::versionDirectoryFiles())) {
        fail(QStringLiteral("clients would refuse package %1: a name or size they cannot unpack")
                 .arg(package->name));
        return false;
    }
    archive.close();
    package->md5Hex = md5Hex(packed);
    if (package->md5Hex.isEmpty() || !sha256Hex(packed, &package->sha256Hex, &package->size)) {
        fail(QStringLiteral("cannot read %1").arg(packed));
        return false;
    }
    PublishedPackages::Record earlier;
    if (published->find(tree, package->md5Hex, &earlier)) {
        QFile::remove(packed);
        package->name = earlier.name;
        package->version = earlier.version;
        package->no = earlier.no;
        return true;
    }
    const QString no = freeNo(tree, package->name, version, package->md5Hex);
    if (no.isEmpty()) {
        fail(QStringLiteral("no free place for package %1 of %2").arg(package->name, version));
        return false;
    }
    package->version = no;
    package->no = no;
    package->staged = packed;
    return true;
}

// Loads the signing key when asked to sign. A signed tree stays signed: its clients may refuse
// anything else. The sequence must grow, or clients that saw the tree's catalogue refuse the new
// one as a replay; and not leap, or a typo shuts them out of every later release of that key.
bool prepareSigning(const PublishRequest &request, const QString &cataloguePath, ReleaseSigner *signer)
{
    const qint64 published = signedSequence(server_layout::signaturePath(cataloguePath));
    if (request.signKey.isEmpty()) {
        if (published >= 0) {
            fail(QStringLiteral("the tree is signed (sequence %1): publish with --sign-key").arg(published));
            return false;
        }
        return true;
    }
    if (request.sequence <= published) {
        fail(QStringLiteral("sequence %1 is not above the tree's %2").arg(request.sequence).arg(published));
        return false;
    }
    const qint64 base = std::max<qint64>(published, 0);
    if (request.sequence - base > MaxSequenceStep && !request.forceSequence) {
        fail(QStringLiteral("sequence %1 is more than %2 above the tree's %3: clients keep the highest "
                            "sequence of each key for good, so one too high shuts them out of every "
                            "later release; give --force-sequence if it is meant")
                 .arg(request.sequence)
                 .arg(MaxSequenceStep)
                 .arg(base));
        return false;
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (request.expires > 0 && request.expires <= now) {
        fail(QStringLiteral("the expiry %1 is already past (it is %2 now): clients would refuse the release")
                 .arg(request.expires)
                 .arg(now));
        return false;
    }
    return signer->load(request.signKey, request.signPasswordFile, request.expectPublicKeys, request.sequence,
                        request.expires);
}

// What the request asks, checked before the tree is looked at: a plain version, a source with
// the entry file inside it, and for Authenticode both files and a launcher to sign. False after
// saying why; a source without a launcher is only warned of.
bool checkRequest(const PublishRequest &request, const QDir &source)
{
    if (!isPublishableName(request.version)) {
        fail(QStringLiteral(
            "the version must be a plain name: letters, digits and . _ - ~ ! $ & ' ( ) + , ; = @, "
            "not a device name such as CON or NUL, no leading or trailing dot"));
        return false;
    }
    if (!source.exists()) {
        fail(QStringLiteral("no source directory %1").arg(request.sourceDir));
        return false;
    }
    // A release whose entry file is missing would never count as installed on a client, and
    // clients refuse an entry file outside the version directory.
    if (!staysInside(request.entryFile)
        || !QFileInfo(source.filePath(QDir::cleanPath(request.entryFile))).isFile()) {
        fail(QStringLiteral("the entry file %1 is not in the source").arg(request.entryFile));
        return false;
    }
    const bool authenticode =
        !request.authenticodeCertificate.isEmpty() || !request.authenticodeKey.isEmpty();
    if (!QFileInfo(source.filePath(QLatin1String(install::LauncherFileName))).isFile()) {
        if (authenticode) {
            fail(QStringLiteral("no %1 in the source to sign").arg(QLatin1String(install::LauncherFileName)));
            return false;
        }
        fail(QStringLiteral("warning: no %1 in the source; clients keep their launcher")
                 .arg(QLatin1String(install::LauncherFileName)));
    }
    if (authenticode
        && (!QFileInfo(request.authenticodeCertificate).isFile()
            || !QFileInfo(request.authenticodeKey).isFile())) {
        fail(QStringLiteral("Authenticode signing needs both a certificate file and a key file"));
        return false;
    }
    return true;
}

// Whether version is published in this signed tree already, said when it is. The manifest a
// signed tree once held for a version keeps its signature, and a client can be served it (and
// the packages it names) for as long as the version is listed.
bool isPublishedSigned(const QDir &tree, const QString &version)
{
    if (!QFileInfo::exists(manifestFile(tree, version))
        || signedSequence(server_layout::signaturePath(catalogueFile(tree))) < 0)
        return false;
    fail(QStringLiteral("%1 is already published in this signed tree; publish the release as a new version")
             .arg(version));
    return true;
}

// Packs every package into staging and checks it, or lists it as the published one of the same
// bytes, remembering in packed what each package's inputs gave. Changes nothing in the tree.
bool packPackages(const PublishRequest &request, const QDir &source, const QDir &tree, const QString &staging,
                  PublishedPackages *published, PackedInputs *packed, QList<Package> *packages)
{
    for (Package &package : *packages) {
        // A signed launcher carries its signing time: its package is packed afresh.
        const bool signsLauncher = !request.authenticodeCertificate.isEmpty()
            && package.paths.contains(QLatin1String(install::LauncherFileName));
        const QByteArray inputs =
            signsLauncher ? QByteArray() : PackedInputs::inputsOf(source, package.paths);
        if (!reusePacked(tree, *packed, inputs, published, &package)
            && !packPackage(request, source, tree, request.version, staging, published, &package))
            return false;
        if (!inputs.isEmpty())
            packed->remember(inputs, package.md5Hex);
    }
    return true;
}

// Puts every package on the mirrors and says which bytes each has. New bytes only ever go to
// URLs of their own, and the manifest comes after them: until it is written, every manifest
// lists what it always did.
bool placePackages(const QDir &tree, const QList<Package> &packages, const QString &version)
{
    for (const Package &package : packages) {
        if (!placePackage(tree, package))
            return false;
        if (package.version == version || !package.staged.isEmpty())
            printf("package %s %s\n", qPrintable(package.name), package.md5Hex.constData());
        else
            printf("package %s %s (as published with %s)\n", qPrintable(package.name),
                   package.md5Hex.constData(), qPrintable(package.version));
    }
    return true;
}

// The catalogue's list with version in its place: first as the new default, or after the
// default as the newest prefetch (tried before older ones); listed once.
void listVersion(const QString &version, bool prefetch, QList<Listed> *versions)
{
    for (int i = versions->size() - 1; i >= 0; --i) {
        if (versions->at(i).version == version)
            versions->removeAt(i);
    }
    if (prefetch)
        versions->insert(versions->isEmpty() ? 0 : 1, Listed{version, true, {}, -1});
    else
        versions->prepend(Listed{version, false, {}, -1});
}

} // namespace

bool publishRelease(const PublishRequest &request)
{
    const QDir source(request.sourceDir);
    if (!checkRequest(request, source))
        return false;
    const QDir tree(request.outputTree);
    ReleaseSigner signer;
    if (!prepareSigning(request, catalogueFile(tree), &signer)
        || (signer.isLoaded() && isPublishedSigned(tree, request.version)))
        return false;

    QList<Package> packages;
    if (!planPackages(request, &packages))
        return false;
    splitLargePackages(source, request.packageSize, &packages);
    if (!checkSourceFiles(source, packages))
        return false;

    if (!tree.mkpath(QLatin1String(PublisherDir))) {
        fail(QStringLiteral("cannot create %1").arg(request.outputTree));
        return false;
    }
    const QString v = request.version;
    const QString cataloguePath = catalogueFile(tree);
    QList<Listed> versions;
    if (!readCatalogue(cataloguePath, &versions))
        return false;
    PublishedPackages published;
    if (!published.read(tree, versions))
        return false;
    PackedInputs packed;
    packed.read(tree);
    // Every package is packed and checked before any is published: a publication that fails
    // on the way (7zz, signing, a full disk) leaves the tree as every client knows it.
    QTemporaryDir staging(tree.absoluteFilePath(QLatin1String(StagingTemplate)));
    if (!staging.isValid()) {
        fail(QStringLiteral("cannot create a staging directory in %1").arg(request.outputTree));
        return false;
    }
    QList<PlannedPatch> patches;
    if (!packPackages(request, source, tree, staging.path(), &published, &packed, &packages)
        || !planPatches(request, source, tree, versions, packages, staging.path(), &patches)
        || !placePackages(tree, packages, v) || !placePatches(tree, patches) || !packed.write(tree))
        return false;

    // The manifest before the catalogue: a client that sees the new version finds it whole.
    if (!writeSigned(signer, manifestFile(tree, v), manifestXml(request, packages, patches),
                     server_layout::manifestPath(v), v))
        return false;
    listVersion(v, request.prefetch, &versions);
    if ((signer.isLoaded() && !bindManifests(tree, &versions))
        || !writeSigned(signer, cataloguePath, catalogueXml(versions), server_layout::cataloguePath(),
                        QString()))
        return false;
    printf("published %s with %d package(s)\n", qPrintable(v), int(packages.size()));
    return true;
}

bool resignRelease(const PublishRequest &request)
{
    const QDir tree(request.outputTree);
    const QString cataloguePath = catalogueFile(tree);
    QList<Listed> versions;
    if (!QFileInfo::exists(cataloguePath)) {
        fail(QStringLiteral("no catalogue %1 to sign").arg(cataloguePath));
        return false;
    }
    ReleaseSigner signer;
    if (!prepareSigning(request, cataloguePath, &signer) || !readCatalogue(cataloguePath, &versions)
        || !bindManifests(tree, &versions))
        return false;
    // The manifests first, as a publication writes them: a client that sees the new catalogue
    // finds every manifest it names signed anew. Their bytes stay as they are.
    for (const Listed &listed : versions) {
        const QString manifestPath = server_layout::manifestPath(listed.version);
        QFile manifest(manifestFile(tree, listed.version));
        if (!manifest.open(QIODevice::ReadOnly)) {
            fail(QStringLiteral("cannot read %1").arg(manifest.fileName()));
            return false;
        }
        if (!writeSigned(signer, manifest.fileName(), manifest.readAll(), manifestPath, listed.version))
            return false;
    }
    if (!writeSigned(signer, cataloguePath, catalogueXml(versions), server_layout::cataloguePath(),
                     QString()))
        return false;
    printf("signed %d version(s) again with sequence %lld\n", int(versions.size()),
           static_cast<long long>(request.sequence));
    return true;
}
