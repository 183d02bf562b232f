#include "install/registration.h"

#include "base/commands.h"
#include "install/commit.h"
#include "install/settings_lock.h"
#include "platform/command_line.h"
#include "platform/filesystem.h"
#include "platform/shell_integration.h"

#include <QDate>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <limits>

QString launcherPath(const QDir &baseDir)
{
    return QDir::toNativeSeparators(baseDir.absoluteFilePath(QLatin1String(install::LauncherFileName)));
}

namespace {

const QString EstimatedSizeKey = QStringLiteral("EstimatedSize");

// What the installation holds below baseDir, in KiB rounded up, as the list of installed
// programs shows it ("EstimatedSize" counts KiB). Links are not followed.
int installedSizeKiB(const QDir &baseDir)
{
    const qint64 bytes = platform::treeBytes(baseDir.absolutePath());
    return int(qMin<qint64>((bytes + 1023) / 1024, std::numeric_limits<int>::max()));
}

// The user's uninstall entry, open in settings: the entry's group entered, an abandoned lock
// of an earlier writer gone.
void openUninstallEntry(QSettings &settings)
{
    removeAbandonedLock(settings);
    settings.beginGroup(product::uninstallGroup);
    settings.beginGroup(product::key);
}

} // namespace

bool isRegistered()
{
    QSettings settings(product::uninstallOrganization, product::uninstallApplication);
    // The user's own entry only: a machine-wide "kv" (some other program's key, an all-users
    // install) must not stop this user's registration, shortcut and all. Asked for a value the
    // entry always holds, not for its key: in the registry, childGroups() goes on to the
    // machine's keys when the user has no uninstall list at all, fallbacks off or not.
    settings.setFallbacksEnabled(false);
    settings.beginGroup(product::uninstallGroup);
    return settings.contains(product::key + QStringLiteral("/UninstallString"));
}

bool registerProduct(const QDir &baseDir, InstalledSize size)
{
    // Asked before anything is written: our own writes below would make it true.
    const bool previously = isRegistered();
    const QString launcher = launcherPath(baseDir);

    {
        QSettings protocol(product::protocolOrganization, product::key);
        removeAbandonedLock(protocol);
        protocol.setValue(QStringLiteral("EditFlags"), 2);
        protocol.setValue(QStringLiteral("URL Protocol"), QString());
        // A key ending in "." addresses the default value of its registry key.
        protocol.setValue(QStringLiteral("shell/."), QStringLiteral("open"));
        protocol.setValue(QStringLiteral("shell/open/command/."),
                          platform::buildCommandLine(launcher, {QStringLiteral("%1")}));
    }
    platform::registerUrlScheme(product::key, product::displayName, launcher);
    // Unlike the desktop shortcut, the menu entry is the program's own: it follows the launcher
    // on every registration.
    platform::addApplicationMenuEntry(product::displayName, launcher, product::displayName);

    if (!previously) {
        const QDir desktop(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
        platform::createShortcut(desktop.absoluteFilePath(product::displayName + platform::shortcutSuffix()),
                                 launcher, product::displayName);
    }
    // The uninstall entry last: it is what tells that the product is registered. A job killed
    // before it leaves the product unregistered, and the next start or install registers it
    // whole, shortcut included; written first, it would have made a lost shortcut permanent.
    {
        QSettings settings(product::uninstallOrganization, product::uninstallApplication);
        openUninstallEntry(settings);
        settings.setValue(QStringLiteral("DisplayIcon"), launcher);
        settings.setValue(QStringLiteral("DisplayName"), product::displayName);
        settings.setValue(QStringLiteral("DisplayVersion"), product::displayVersion);
        settings.setValue(QStringLiteral("NoModify"), 1);
        settings.setValue(QStringLiteral("NoRepair"), 1);
        settings.setValue(QStringLiteral("Publisher"), product::publisher);
        settings.setValue(QStringLiteral("URLInfoAbout"), product::homePage);
        settings.setValue(QStringLiteral("UninstallString"),
                          platform::buildCommandLine(launcher, {UninstallCommand}));
        // What the system's list of programs and deployment tools read besides. The uninstall
        // asks nothing (it only shows its progress), so the quiet command is the same one.
        settings.setValue(QStringLiteral("InstallLocation"),
                          QDir::toNativeSeparators(baseDir.absolutePath()));
        settings.setValue(QStringLiteral("InstallDate"),
                          QDate::currentDate().toString(QStringLiteral("yyyyMMdd")));
        if (size == InstalledSize::Now)
            settings.setValue(EstimatedSizeKey, installedSizeKiB(baseDir));
        settings.setValue(QStringLiteral("QuietUninstallString"),
                          platform::buildCommandLine(launcher, {UninstallCommand}));
        // The channel that brought the user is kept from the first install; updates must not
        // claim it for themselves.
        if (!previously)
            settings.setValue(QStringLiteral("Distributor"), product::distributor);
    }

    return true;
}

void recordInstalledSize(const QDir &baseDir)
{
    if (!isRegistered())
        return;
    const int sizeKiB = installedSizeKiB(baseDir);
    QSettings settings(product::uninstallOrganization, product::uninstallApplication);
    openUninstallEntry(settings);
    settings.setValue(EstimatedSizeKey, sizeKiB);
}
