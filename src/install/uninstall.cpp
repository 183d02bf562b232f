#include "install/uninstall.h"

#include "base/commands.h"
#include "base/locations.h"
#include "base/process_start.h"
#include "install/registration.h"
#include "platform/shell_integration.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

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
        const QFileInfoList entries = QDir(path).entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
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

} // namespace

void removeInstallation(const QDir &baseDir)
{
    // Uninstalling deletes a whole directory tree, so it must be the tree an install made. The
    // uninstall task removes the directory the running program sits in; every registration
    // points at the data directory, but a copy of the program can be started with "uninstall"
    // from anywhere, and its folder (downloads, the home directory) is not ours to empty.
    if (isDataDirectory(baseDir))
        removeTree(baseDir.absolutePath());

    {
        QSettings settings(product::uninstallOrganization, product::uninstallApplication);
        settings.beginGroup(product::uninstallGroup);
        settings.beginGroup(product::key);
        settings.remove(QString()); // the current group: the key "kv" with all it holds
        settings.endGroup();
        settings.endGroup();
    }
    {
        QSettings protocol(product::protocolOrganization, product::key);
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
    return {ReplaceCommand,
            programFile, DeleteMarker, QStringLiteral("10"), QStringLiteral("0"),
            baseDir.absolutePath(), DeleteMarker, QStringLiteral("5"), QStringLiteral("0")};
}

bool uninstallProduct(const QDir &baseDir)
{
    removeInstallation(baseDir);
    if (isDataDirectory(baseDir)) {
        relaunchFromTempCopy(
            uninstallCleanupArguments(programFileInfo().absoluteFilePath(), baseDir));
    }
    return true;
}
