#include "install/patch_road.h"

#include "engine/version_catalogue.h"
#include "install/binary_patch.h"
#include "install/commit.h"
#include "platform/filesystem.h"
#include "platform/sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPair>
#include <QSet>

#include <algorithm>

namespace {

constexpr qint64 HashChunk = 1 << 20;

// The SHA-256 of the regular file at path when it holds exactly size bytes; empty otherwise, or
// when it cannot be read. Only a file of the right size is read at all.
QByteArray sha256Of(const QString &path, qint64 size)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile() || info.size() != size)
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    platform::Sha256 digest;
    QByteArray chunk(int(HashChunk), Qt::Uninitialized);
    qint64 total = 0;
    qint64 n;
    while ((n = file.read(chunk.data(), HashChunk)) > 0) {
        digest.addData(chunk.constData(), n);
        total += n;
    }
    if (n < 0 || total != size)
        return {};
    return digest.result();
}

// The digests of the installed files looked at, each read once however many patches ask.
class Digests {
public:
    bool matches(const QString &path, qint64 size, const QByteArray &sha256)
    {
        const QPair<QString, qint64> key(path, size);
        auto it = m_known.constFind(key);
        if (it == m_known.cend())
            it = m_known.insert(key, sha256Of(path, size));
        return !it->isEmpty() && *it == sha256;
    }

private:
    QHash<QPair<QString, qint64>, QByteArray> m_known;
};

// Whether path is, in any letter case, a file the commit writes in a version directory itself.
bool isCommitsOwn(const QString &path)
{
    const QString folded = path.toCaseFolded();
    for (const QString &own : install::versionDirectoryFiles()) {
        if (folded == own.toCaseFolded() || folded.startsWith(own.toCaseFolded() + QLatin1Char('/')))
            return true;
    }
    return false;
}

// Where an installed copy of a file may be: this version's own directory first (a version
// installed before, or a commit cut short), then every other installed version beside it.
QStringList versionDirectories(const VersionEntry &entry)
{
    const QString own = entry.versionDir().absolutePath();
    QStringList directories{own};
    const QFileInfoList others = entry.baseDir().entryInfoList(
        QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo &other : others) {
        const QString path = other.absoluteFilePath();
        if (path != own && other.fileName() != QLatin1String(PackageStoreDirName)
            && QFileInfo(QDir(path).filePath(QLatin1String(LocalManifestFileName))).isFile())
            directories.append(path);
    }
    return directories;
}

// The patch's file in the package store, verified as a package is: reused when a verified copy
// is there, fetched from the mirrors otherwise (over the manifest's connection).
bool fetchPatch(VersionEntry &entry, const PatchRecord &patch)
{
    const PackageRecord &file = patch.patchFile();
    return file.verifyPackageFile(file.packageFilePath()) || entry.downloadAfterManifest(file);
}

// Applies the fetched, verified patch to base into a new file at side, flushed, with base's
// permissions; true when the result is the one the manifest names. Anything else leaves no file
// at side.
bool applyInto(const PatchRecord &patch, const QString &base, const QString &side)
{
    QFile patchFile(patch.patchFile().packageFilePath());
    QFile baseFile(base);
    QFile result(side);
    QFile::remove(side); // a side file left by an interrupted run, or a link planted there
    bool applied = QDir().mkpath(QFileInfo(side).absolutePath()) && patchFile.open(QIODevice::ReadOnly)
        && baseFile.open(QIODevice::ReadOnly) && result.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    QByteArray sha256;
    applied = applied && applyPatch(&patchFile, &baseFile, &result, &sha256) == PatchStatus::Applied
        && sha256 == patch.resultSha256() && result.size() == patch.resultSize() && result.flush()
        && platform::flushWrittenFile(result);
    result.close();
    applied = applied && result.error() == QFileDevice::NoError
        && QFile::setPermissions(side, QFile::permissions(base));
    if (!applied)
        QFile::remove(side);
    return applied;
}

} // namespace

PatchRoad::~PatchRoad()
{
    for (const QString &side : qAsConst(m_sideFiles))
        QFile::remove(side);
    m_entry.setPatchedPackages({});
}

void PatchRoad::applyPatches()
{
    QHash<QString, VersionEntry::PatchedFile> patched;
    Digests digests;
    const QStringList directories = versionDirectories(m_entry);
    QSet<QString> seen;
    for (const PatchRecord &first : m_entry.patches()) {
        const QString &name = first.package();
        if (seen.contains(name))
            continue;
        seen.insert(name);
        const QList<PackageRecord> &packages = m_entry.packages();
        const auto package = std::find_if(packages.cbegin(), packages.cend(),
                                          [&](const PackageRecord &p) { return p.name() == name; });
        // A package in the store costs no transfer; its own check and extraction are the
        // safer road then. A file the commit writes itself is never a package's.
        if (package == packages.cend() || QFileInfo::exists(package->packageFilePath())
            || isCommitsOwn(first.file()))
            continue;
        const QString target = m_entry.versionDir().absoluteFilePath(first.file());
        if (digests.matches(target, first.resultSize(), first.resultSha256())) {
            patched.insert(name, VersionEntry::PatchedFile{first.file(), false});
            m_ready.append(name);
            continue;
        }
        // Every installed copy against every patch of this file, until one applies. A patch
        // that failed once is not fetched again for another copy of the same base.
        const QString side = SideFile::sidePath(target);
        QSet<QString> tried;
        bool applied = false;
        for (const QString &directory : directories) {
            const QString base = QDir(directory).absoluteFilePath(first.file());
            for (const PatchRecord &patch : m_entry.patches()) {
                if (applied || patch.package() != name || patch.file() != first.file()
                    || tried.contains(patch.patchFile().no())
                    || !digests.matches(base, patch.baseSize(), patch.baseSha256()))
                    continue;
                tried.insert(patch.patchFile().no());
                m_sideFiles.append(side);
                applied = fetchPatch(m_entry, patch) && applyInto(patch, base, side);
                // Of no use once applied, nor after it failed: the next attempt fetches afresh.
                QFile::remove(patch.patchFile().packageFilePath());
            }
        }
        if (applied) {
            patched.insert(name, VersionEntry::PatchedFile{first.file(), true});
            m_ready.append(name);
            m_applied.append(name);
        }
    }
    m_entry.setPatchedPackages(patched);
}
