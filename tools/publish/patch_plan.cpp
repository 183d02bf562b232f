#include "patch_plan.h"

#include "package_plan.h"
#include "patch_maker.h"
#include "publish_log.h"
#include "publisher.h"
#include "release_files.h"

#include "engine/server_layout.h"
#include "engine/version_catalogue.h"
#include "install/archive_reader.h"
#include "install/binary_patch.h"
#include "install/commit.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace publish {

namespace {

// A package of the new release that a patch could stand in for: it holds one file alone.
struct PatchTarget {
    QString package;        // its name in the manifest
    QString no;             // its `no`: the patches are named after it
    QString file;           // the file's path in the release, '/'-separated
    QString sourcePath;     // the file itself
    qint64 packageSize = 0; // what fetching the package costs
};

// The packages a patch could stand in for: those that hold one file alone, as it is in the
// source (a launcher signed on the way into its package is not).
QList<PatchTarget> patchTargets(const PublishRequest &request, const QDir &source,
                                const QList<Package> &packages)
{
    QList<PatchTarget> targets;
    for (const Package &package : packages) {
        const QList<SourceFile> files = filesOf(source, package.paths);
        if (files.size() != 1 || !QFileInfo(source.filePath(files.first().path)).isFile()
            || (!request.authenticodeCertificate.isEmpty()
                && package.paths.contains(QLatin1String(install::LauncherFileName))))
            continue;
        targets.append(PatchTarget{package.name, package.no, files.first().path,
                                   source.absoluteFilePath(files.first().path), package.size});
    }
    return targets;
}

// The versions patches start from: the last `depth` the catalogue lists besides this one.
QStringList patchedVersions(const QList<Listed> &listed, const QString &version, int depth)
{
    QStringList versions;
    for (const Listed &entry : listed) {
        if (versions.size() < depth && entry.version != version)
            versions.append(entry.version);
    }
    return versions;
}

// A path of the servers' layout (it starts with "/") as a file of the tree.
QString treeFile(const QDir &tree, const QString &urlPath)
{
    return tree.absoluteFilePath(urlPath.mid(1));
}

QByteArray hexDigest(const QByteArray &data, QCryptographicHash::Algorithm algorithm)
{
    return QCryptographicHash::hash(data, algorithm).toHex();
}

// What target's file held in version, as the package of that version that holds it has it;
// *found is false when none does. False, after saying why, when a package the version's
// manifest lists cannot be read.
bool earlierContent(const QDir &tree, const QString &version, const PatchTarget &target, QByteArray *content,
                    bool *found)
{
    *found = false;
    QFile manifest(treeFile(tree, server_layout::manifestPath(version)));
    VersionEntry entry(QDir(), nullptr, version, QString());
    if (!manifest.open(QIODevice::ReadOnly) || !entry.parseManifest(manifest.readAll()))
        return true; // a version whose manifest is gone holds nothing to patch from
    // The package of the file's own name first: a file that travels alone keeps that name.
    QList<PackageRecord> packages = entry.packages();
    std::stable_partition(packages.begin(), packages.end(),
                          [&](const PackageRecord &package) { return package.name() == target.package; });
    for (const PackageRecord &package : qAsConst(packages)) {
        QFile archive(treeFile(tree, server_layout::componentPackagePath(package.name(), package.no())));
        if (!archive.open(QIODevice::ReadOnly)) {
            fail(QStringLiteral("cannot read %1 of %2").arg(archive.fileName(), version));
            return false;
        }
        ArchiveReader reader(&archive);
        for (quint32 i = reader.numEntries(); i-- > 0;) { // the last entry of a path is the file
            if (reader.isDirectory(i) || reader.entryName(i) != target.file)
                continue;
            if (!reader.entryData(i, content)) {
                fail(QStringLiteral("cannot unpack %1 from %2").arg(target.file, archive.fileName()));
                return false;
            }
            *found = true;
            return true;
        }
    }
    return true;
}

// A patch the tree publishes already under patch's name: listed when it turns the same base
// into the same result, left out (and never replaced) otherwise.
bool describePublished(const QString &path, PlannedPatch *patch)
{
    QFile file(path);
    PatchHeader header;
    if (!file.open(QIODevice::ReadOnly) || readPatchHeader(&file, &header) != PatchStatus::Applied
        || header.baseSha256.toHex() != patch->baseSha256Hex
        || header.resultSha256.toHex() != patch->resultSha256Hex)
        return false;
    file.seek(0);
    const QByteArray bytes = file.readAll();
    patch->md5Hex = hexDigest(bytes, QCryptographicHash::Md5);
    patch->sha256Hex = hexDigest(bytes, QCryptographicHash::Sha256);
    patch->size = bytes.size();
    return true;
}

} // namespace

bool planPatches(const PublishRequest &request, const QDir &source, const QDir &tree,
                 const QList<Listed> &listed, const QList<Package> &packages, const QString &staging,
                 QList<PlannedPatch> *patches)
{
    const QStringList earlierVersions = patchedVersions(listed, request.version, request.patchDepth);
    for (const PatchTarget &target : patchTargets(request, source, packages)) {
        QFile source(target.sourcePath);
        if (target.packageSize < MinPatchedPackageSize || !source.open(QIODevice::ReadOnly)
            || source.size() >= std::numeric_limits<int>::max())
            continue;
        const QByteArray result = source.readAll();
        const QByteArray resultSha256Hex = hexDigest(result, QCryptographicHash::Sha256);
        // Each distinct earlier content once; the new content needs none.
        QSet<QByteArray> bases{resultSha256Hex};
        for (const QString &version : earlierVersions) {
            QByteArray base;
            bool found = false;
            if (!earlierContent(tree, version, target, &base, &found))
                return false;
            const QByteArray baseSha256Hex = hexDigest(base, QCryptographicHash::Sha256);
            if (!found || bases.contains(baseSha256Hex))
                continue;
            bases.insert(baseSha256Hex);
            PlannedPatch patch;
            patch.file = target.file;
            patch.package = target.package;
            patch.no = target.no + QStringLiteral("-from-") + QString::fromLatin1(baseSha256Hex.left(16));
            patch.baseSha256Hex = baseSha256Hex;
            patch.baseSize = base.size();
            patch.resultSha256Hex = resultSha256Hex;
            patch.resultSize = result.size();
            const QString published =
                treeFile(tree, server_layout::componentPatchPath(patch.package, patch.no));
            if (QFileInfo::exists(published)) {
                if (!describePublished(published, &patch)) {
                    fail(QStringLiteral("%1 holds another patch; no patch of %2 from %3")
                             .arg(published, target.file, version));
                    continue;
                }
            } else {
                // makePatch applies every patch with the client's own code and compares.
                QByteArray bytes;
                QString error;
                if (!makePatch(base, result, &bytes, &error)) {
                    fail(QStringLiteral("no patch of %1 from %2: %3").arg(target.file, version, error));
                    continue;
                }
                patch.md5Hex = hexDigest(bytes, QCryptographicHash::Md5);
                patch.sha256Hex = hexDigest(bytes, QCryptographicHash::Sha256);
                patch.size = bytes.size();
                if (patch.size * 2 < target.packageSize) {
                    patch.staged = staging + QLatin1Char('/') + patch.package + QLatin1Char('_') + patch.no
                        + QLatin1String(PatchFileSuffix);
                    if (!writeAtomically(patch.staged, bytes))
                        return false;
                }
            }
            // Under half the package, or the full road is the better one.
            if (patch.size * 2 >= target.packageSize)
                continue;
            printf("patch %s from %s: %lld bytes (%.1f %% of its package)\n", qPrintable(target.file),
                   qPrintable(version), static_cast<long long>(patch.size),
                   100.0 * double(patch.size) / double(target.packageSize));
            patches->append(patch);
        }
    }
    return true;
}

bool placePatches(const QDir &tree, const QList<PlannedPatch> &patches)
{
    for (const PlannedPatch &patch : patches) {
        const QString component = treeFile(tree, server_layout::componentPatchPath(patch.package, patch.no));
        const QString mirror = treeFile(tree, server_layout::mirrorPatchPath(patch.package, patch.no));
        if (!patch.staged.isEmpty() && !QFileInfo::exists(component)
            && (!QDir().mkpath(QFileInfo(component).absolutePath())
                || !QFile::rename(patch.staged, component))) {
            fail(QStringLiteral("cannot place patch %1").arg(patch.no));
            return false;
        }
        if (!QFileInfo::exists(mirror) && !copyAtomically(component, mirror))
            return false;
    }
    return true;
}

void writePatchElements(QXmlStreamWriter *writer, const QList<PlannedPatch> &patches)
{
    for (const PlannedPatch &patch : patches) {
        writer->writeEmptyElement(QStringLiteral("Patch"));
        writer->writeAttribute(QStringLiteral("file"), patch.file);
        writer->writeAttribute(QStringLiteral("package"), patch.package);
        writer->writeAttribute(QStringLiteral("no"), patch.no);
        writer->writeAttribute(QStringLiteral("hash"), QString::fromLatin1(patch.md5Hex));
        writer->writeAttribute(QStringLiteral("sha256"), QString::fromLatin1(patch.sha256Hex));
        writer->writeAttribute(QStringLiteral("size"), QString::number(patch.size));
        writer->writeAttribute(QStringLiteral("baseSha256"), QString::fromLatin1(patch.baseSha256Hex));
        writer->writeAttribute(QStringLiteral("baseSize"), QString::number(patch.baseSize));
        writer->writeAttribute(QStringLiteral("resultSha256"), QString::fromLatin1(patch.resultSha256Hex));
        writer->writeAttribute(QStringLiteral("resultSize"), QString::number(patch.resultSize));
    }
}

} // namespace publish
