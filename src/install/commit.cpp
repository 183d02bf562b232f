#include "install/commit.h"

#include "engine/status_sink.h"
#include "engine/version_catalogue.h"
#include "install/archive_reader.h"
#include "platform/filesystem.h"

#include <QFile>
#include <QFileInfo>

namespace {

// Beside its target, so the final rename stays on one file system.
constexpr char kCopySuffix[] = ".new";

// Writes data to target without ever leaving target half-written: the bytes go to a side name
// first and replace target in one rename.
bool writeIntoPlace(const QByteArray &data, const QString &target)
{
    const QString side = target + QLatin1String(kCopySuffix);
    QFile::remove(side);
    QFile file(side);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(data) != data.size()
        || !file.flush() || !platform::flushWrittenFile(file)) {
        file.close();
        QFile::remove(side);
        return false;
    }
    file.close();
    if (file.error() != QFileDevice::NoError || !platform::replaceFile(side, target)) {
        QFile::remove(side);
        return false;
    }
    return true;
}

// Puts a copy of source at target the same way, on the disk before it takes target's name: the
// launcher that the shortcut, the URL protocol and the uninstall entry point to must not be
// left empty by a power cut.
bool copyIntoPlace(const QString &source, const QString &target)
{
    const QString side = target + QLatin1String(kCopySuffix);
    QFile::remove(side);
    QFile in(source);
    QFile out(side);
    bool copied = in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    constexpr qint64 kChunk = 1 << 16;
    while (copied && !in.atEnd()) {
        const QByteArray piece = in.read(kChunk);
        copied = !piece.isEmpty() && out.write(piece) == piece.size();
    }
    copied = copied && out.flush() && platform::flushWrittenFile(out)
        && QFile::setPermissions(side, QFile::permissions(source));
    out.close();
    if (!copied || out.error() != QFileDevice::NoError || !platform::syncFileSystem(side)
        || !platform::replaceFile(side, target)) {
        QFile::remove(side);
        return false;
    }
    return true;
}

// Whether a and b are both readable regular files with the same bytes.
bool sameContent(const QString &a, const QString &b)
{
    QFile first(a);
    QFile second(b);
    if (!QFileInfo(a).isFile() || !QFileInfo(b).isFile() || first.size() != second.size()
        || !first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 kChunk = 1 << 16;
    while (!first.atEnd()) {
        const QByteArray piece = first.read(kChunk);
        if (piece.isEmpty() || piece != second.read(kChunk))
            return false;
    }
    return second.atEnd();
}

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

QStringList install::versionDirectoryFiles()
{
    return {QLatin1String(LocalManifestFileName),
            QLatin1String(LocalManifestFileName) + QLatin1String(kCopySuffix)};
}

bool VersionEntry::commitVersion()
{
    const QString versionPath = m_versionDir.absolutePath();
    QDir().mkpath(versionPath);
    const QString manifestPath = m_versionDir.absoluteFilePath(QLatin1String(LocalManifestFileName));

    // Every package is extracted beside the installed files first, and only files that differ
    // from what is installed are written at all. Until all of them are there and checked, the
    // installed version stays exactly as it was, still startable.
    StagedFiles staged;
    staged.reservePaths(install::versionDirectoryFiles());
    for (const PackageRecord &package : qAsConst(m_packages)) {
        m_sink->report(status_reports::CommitStarted, m_version, package.name());
        const auto patched = m_patchedPackages.constFind(package.name());
        bool extracted = false;
        if (patched != m_patchedPackages.cend()) {
            extracted = !patched->staged || staged.stageWritten(QDir(versionPath), patched->file);
        } else {
            QFile file(package.packageFilePath());
            extracted = file.open(QIODevice::ReadOnly) && stageArchive(&file, QDir(versionPath), &staged);
        }
        if (!extracted) {
            m_sink->report(status_reports::CommitFailed, m_version, package.name());
            return false;
        }
    }
    // The failures that belong to no one package are told with the last one, so the user
    // always reads why the installation stopped.
    const QString lastPackage = m_packages.isEmpty() ? QString() : m_packages.last().name();
    const auto fail = [&] {
        m_sink->report(status_reports::CommitFailed, m_version, lastPackage);
        return false;
    };

    // A manifest that already holds these bytes vouches for this very content: it stays as it
    // is, also while files it lists are put right.
    const bool manifestStays =
        QFileInfo(manifestPath).isFile() && fileContent(manifestPath) == m_manifestData;
    const QStringList targets = staged.targets();
    if (!targets.isEmpty()) {
        // A file held in a way that forbids replacing it (on systems that lock files in use: one
        // a running client has open without sharing; its loaded library is moved aside instead)
        // cannot be replaced: find out before anything changes, rather than undo renames.
        for (const QString &target : targets) {
            if (!platform::canReplaceFile(target))
                return fail();
        }
        // The new files reach the disk before the manifest that vouches for them, so a power
        // cut cannot leave a manifest over empty files.
        if (!platform::syncFileSystem(versionPath))
            return fail();
        // From the first rename until a new manifest is written the directory must not count
        // as installed: a crash in between would otherwise leave a mix of two versions that
        // looks complete. A rename refused all the same (a client started meanwhile holds a
        // file) puts back the files renamed before it, and with them the old manifest.
        const bool hadManifest = !manifestStays && QFileInfo::exists(manifestPath);
        const QByteArray oldManifest = hadManifest ? fileContent(manifestPath) : QByteArray();
        if (hadManifest && !QFile::remove(manifestPath))
            return fail();
        bool rolledBack = false;
        if (!staged.commit(&rolledBack)) {
            if (hadManifest && rolledBack)
                writeIntoPlace(oldManifest, manifestPath);
            return fail();
        }
    }

    // Publish the launcher before the manifest: once the version counts as installed, a start
    // runs it and nothing publishes the launcher any more. The old one is replaced in one
    // rename, so the shortcut and the URL protocol never point at nothing; only when that is
    // refused does it wait as the pending launcher for the next start. A launcher that is
    // already the right one is left alone.
    const QString source = m_versionDir.absoluteFilePath(QLatin1String(install::LauncherFileName));
    const QString target = m_baseDir.absoluteFilePath(QLatin1String(install::LauncherFileName));
    const QString pending = target + QLatin1String(install::PendingSuffix);
    if (QFileInfo(source).isFile() && QFileInfo(source) != QFileInfo(target)
        && !sameContent(source, target)) {
        // A launcher staged by an earlier commit is older than this version; left standing,
        // the next start would swap it in.
        const bool pendingIsThis = sameContent(source, pending);
        if (!pendingIsThis)
            QFile::remove(pending);
        if (copyIntoPlace(source, target))
            QFile::remove(pending);
        else if (!pendingIsThis)
            copyIntoPlace(source, pending);
    } else {
        // Whether or not this version carries a launcher of its own, a staged one is older.
        QFile::remove(pending);
    }

    if (!manifestStays && !writeIntoPlace(m_manifestData, manifestPath))
        return fail();
    return true;
}
