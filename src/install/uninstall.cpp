#include "install/uninstall.h"

#include "base/commands.h"
#include "base/locations.h"
#include "base/process_start.h"
#include "base/running_instances.h"
#include "engine/path_names.h"
#include "engine/version_catalogue.h"
#include "install/commit.h"
#include "install/registration.h"
#include "install/settings_lock.h"
#include "platform/save_file.h"
#include "platform/shell_integration.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QPair>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>

namespace {

// Deletes path and everything below it, as far as it can. A file whose deletion fails gets
// write permission for its owner and is tried once more; a directory gets read, write and
// search permission for its owner first, because here (unlike on Windows) a read-only folder
// keeps its entries. Links are removed themselves, never followed, so nothing outside the tree
// is touched.
void removeTree(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        const QFile::Permissions needed = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        const QFile::Permissions permissions = QFile::permissions(path);
        if ((permissions & needed) != needed)
            QFile::setPermissions(path, permissions | needed);
        const QFileInfoList entries =
            QDir(path).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo &entry : entries)
            removeTree(entry.absoluteFilePath());
        QDir().rmdir(path);
        return;
    }
    if (!QFile::remove(path) && !info.isSymLink()) {
        QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOwner);
        QFile::remove(path);
    }
}

// Removes what makes a start run an installed client from baseDir: the cached catalogue, then
// every version's manifest (a later install writes a catalogue again before it commits). Until
// these are gone no other file is touched, so a removal cut short at any moment never leaves a
// version that starts with files missing.
void makeUnstartable(const QDir &baseDir)
{
    QFile::remove(baseDir.absoluteFilePath(QLatin1String(CatalogueFileName)));
    QFile::remove(baseDir.absoluteFilePath(QLatin1String(LocalManifestFileName)));
    const QFileInfoList versions =
        baseDir.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QFileInfo &version : versions)
        QFile::remove(
            QDir(version.absoluteFilePath()).absoluteFilePath(QLatin1String(LocalManifestFileName)));
}

// Whether a copy of the program other than this process runs: this program's file, or the
// launcher in baseDir (a client runs inside it), also when that file was replaced since.
bool anotherCopyRuns(const QDir &baseDir)
{
    const QFileInfo self = programFileInfo();
    const QFileInfo launcher(baseDir.absoluteFilePath(QLatin1String(install::LauncherFileName)));
    if (countRunningInstances(self) != 1)
        return true;
    return self.absoluteFilePath() != launcher.absoluteFilePath() && countRunningInstances(launcher) != 0;
}

// Of the installed versions among listed other than kept, the one whose manifest was written
// last.
QString newestOtherVersion(const QDir &baseDir, const QSet<QString> &listed, const QString &kept)
{
    QString newestName;
    QDateTime newest;
    for (const QString &name : listed) {
        if (name == kept || name == QLatin1String(PackageStoreDirName)
            || !VersionEntry(baseDir, nullptr, name, QString()).loadLocalManifest())
            continue;
        const QDateTime written =
            QFileInfo(QDir(baseDir.filePath(name)).filePath(QLatin1String(LocalManifestFileName)))
                .lastModified();
        if (newestName.isEmpty() || written > newest) {
            newestName = name;
            newest = written;
        }
    }
    return newestName;
}

// Removes the package files of the store that are not kept. Only files named as the store names
// them go; anything else there (a note, a folder of the user's) stays, and so does the folder
// that holds it.
void removeUnlisted(const QDir &store, const QSet<QString> &keptPackages)
{
    const QFileInfoList packageDirectories =
        store.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QFileInfo &directory : packageDirectories) {
        const QFileInfoList files =
            QDir(directory.absoluteFilePath()).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
        for (const QFileInfo &file : files) {
            if (PackageRecord::isStoreFileName(file.fileName())
                && !keptPackages.contains(file.absoluteFilePath()))
                removeTree(file.absoluteFilePath());
        }
        QDir().rmdir(directory.absoluteFilePath()); // only once it has become empty
    }
}

// The versions installed here that a later task may have to tidy up. A server lists only its
// newest versions, so after two updates the one installed first is named by no catalogue a task
// reads; without this record it would stay on the disk for ever. A folder enters only once a
// catalogue has named it, so the record never makes anything ours that was not.
QSet<QString> rememberedVersions(const QDir &baseDir)
{
    QSet<QString> names;
    QFile file(baseDir.absoluteFilePath(QLatin1String(InstalledVersionsFileName)));
    if (!file.open(QIODevice::ReadOnly))
        return names;
    // A handful of names; anything much larger was not written by us.
    const QList<QByteArray> lines = file.read(64 * 1024).split('\n');
    for (const QByteArray &line : lines) {
        const QString name = QString::fromUtf8(line.trimmed());
        if (isPlainName(name))
            names.insert(name);
    }
    return names;
}

// Keeps in the record those of names whose folders are there (a failed removal is tried again).
void rememberVersions(const QDir &baseDir, const QSet<QString> &names)
{
    QStringList present;
    for (const QString &name : names) {
        const QFileInfo directory(baseDir.filePath(name));
        if (directory.isDir() && !directory.isSymLink())
            present.append(name);
    }
    present.sort();
    const QByteArray content = present.join(QLatin1Char('\n')).toUtf8() + '\n';
    const QString path = baseDir.absoluteFilePath(QLatin1String(InstalledVersionsFileName));
    {
        QFile old(path);
        // An update with nothing new writes nothing.
        if (old.open(QIODevice::ReadOnly) && old.read(content.size() + 1) == content)
            return;
    } // closed first: Windows does not replace a file that is open without delete sharing
    platform::saveFile(path, content);
}

void keepPackagesOf(const VersionEntry &entry, QSet<QString> *kept)
{
    for (const PackageRecord &package : entry.packages())
        kept->insert(QFileInfo(package.packageFilePath()).absoluteFilePath());
}

} // namespace

QStringList installedVersionDirectories(const QDir &baseDir, const QString &replaced,
                                        const QStringList &listed)
{
    QSet<QString> names = rememberedVersions(baseDir);
    names.unite(QSet<QString>(listed.cbegin(), listed.cend()));
    names.remove(QLatin1String(PackageStoreDirName));
    QList<QPair<QDateTime, QString>> installed;
    for (const QString &name : qAsConst(names)) {
        const QFileInfo directory(baseDir.filePath(name));
        const QFileInfo manifest(
            QDir(directory.absoluteFilePath()).filePath(QLatin1String(LocalManifestFileName)));
        if (name.isEmpty() || !directory.isDir() || directory.isSymLink() || !manifest.isFile())
            continue;
        // The version replaced sorts before every other.
        installed.append(
            {name == replaced ? QDateTime() : manifest.lastModified(), directory.absoluteFilePath()});
    }
    std::sort(installed.begin(), installed.end(), [](const auto &a, const auto &b) {
        if (a.first.isNull() != b.first.isNull())
            return a.first.isNull();
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    QStringList directories;
    for (const auto &version : qAsConst(installed))
        directories.append(version.second);
    return directories;
}

void removeOldVersions(const VersionCatalogue &catalogue, const QString &current, const QString &before,
                       const QStringList &listedBefore)
{
    const QDir &baseDir = catalogue.baseDir();
    if (!isDataDirectory(baseDir))
        return;
    // Only a folder named by a catalogue that a task read can be a version of ours; every
    // other one (logs, the user's files, a copy of a version under another name) is not ours
    // to touch, however much it looks like a version.
    QSet<QString> listed = rememberedVersions(baseDir);
    listed.unite(QSet<QString>(listedBefore.cbegin(), listedBefore.cend()));
    // What this task fetched stays, whether or not it could be installed: a prefetch that
    // failed halfway goes on from there next time.
    QSet<QString> worked;
    QSet<QString> keptPackages;
    for (const VersionEntry &entry : catalogue.versions()) {
        listed.insert(entry.version());
        if (!entry.manifestData().isEmpty()) {
            worked.insert(entry.version());
            keepPackagesOf(entry, &keptPackages);
        }
    }
    listed.remove(QLatin1String(PackageStoreDirName));
    // Recorded before anything goes, so a task that removes nothing now (a client runs) still
    // leaves the names for the next one.
    rememberVersions(baseDir, listed);
    if (current.isEmpty() || anotherCopyRuns(baseDir))
        return;
    const QString previous =
        before.isEmpty() || before == current ? newestOtherVersion(baseDir, listed, current) : before;
    for (const QString &kept : {current, previous}) {
        VersionEntry entry(baseDir, nullptr, kept, QString());
        if (kept.isEmpty() || !entry.loadLocalManifest()) {
            if (kept == current)
                return; // what runs must be known before anything goes
            continue;
        }
        keepPackagesOf(entry, &keptPackages);
    }

    QStringList doomed;
    for (const QString &name : qAsConst(listed)) {
        const QFileInfo directory(baseDir.filePath(name));
        if (name != current && name != previous && !worked.contains(name) && directory.isDir()
            && !directory.isSymLink())
            doomed.append(directory.absoluteFilePath());
    }
    for (const QString &directory : qAsConst(doomed))
        QFile::remove(QDir(directory).absoluteFilePath(QLatin1String(LocalManifestFileName)));
    for (const QString &directory : qAsConst(doomed))
        removeTree(directory);
    removeUnlisted(QDir(baseDir.absoluteFilePath(QLatin1String(PackageStoreDirName))), keptPackages);
    rememberVersions(baseDir, listed);
}

void removeInstallation(const QDir &baseDir)
{
    // Uninstalling deletes a whole directory tree, so it must be the tree an install made. The
    // uninstall task removes the directory the running program sits in; every registration
    // points at the data directory, but a copy of the program can be started with "uninstall"
    // from anywhere, and its folder (downloads, the home directory) is not ours to empty.
    if (isDataDirectory(baseDir)) {
        makeUnstartable(baseDir);
        removeTree(baseDir.absolutePath());
    }

    {
        QSettings settings(product::uninstallOrganization, product::uninstallApplication);
        removeAbandonedLock(settings);
        settings.beginGroup(product::uninstallGroup);
        settings.beginGroup(product::key);
        settings.remove(QString()); // the current group: the key "kv" with all it holds
        settings.endGroup();
        settings.endGroup();
    }
    {
        QSettings protocol(product::protocolOrganization, product::key);
        removeAbandonedLock(protocol);
        protocol.remove(QString());
    }
    platform::unregisterUrlScheme(product::key);
    platform::removeApplicationMenuEntry(product::displayName);

    QDir(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation))
        .remove(product::displayName + platform::shortcutSuffix());
}

QStringList uninstallCleanupArguments(const QString &programFile, const QDir &baseDir)
{
    // The program first and required: while it still runs, its directory cannot go either.
    // One group of the replace command per line: target, source, attempts, required.
    // clang-format off
    return {ReplaceCommand,
            programFile, DeleteMarker, QStringLiteral("10"), QStringLiteral("0"),
            baseDir.absolutePath(), DeleteMarker, QStringLiteral("5"), QStringLiteral("0")};
    // clang-format on
}

bool uninstallProduct(const QDir &baseDir)
{
    removeInstallation(baseDir);
    if (isDataDirectory(baseDir)) {
        relaunchFromTempCopy(uninstallCleanupArguments(programFileInfo().absoluteFilePath(), baseDir));
    }
    return true;
}
