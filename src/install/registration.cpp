#include "install/registration.h"

#include "base/command_line.h"
#include "base/commands.h"
#include "install/commit.h"
#include "platform/shell_integration.h"

#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

QString launcherPath(const QDir &baseDir)
{
    return QDir::toNativeSeparators(baseDir.absoluteFilePath(QLatin1String(install::LauncherFileName)));
}

bool isRegistered()
{
    QSettings settings(product::uninstallOrganization, product::uninstallApplication);
    settings.beginGroup(product::uninstallGroup);
    return settings.childGroups().contains(product::key);
}

bool registerProduct(const QDir &baseDir)
{
    // Asked before anything is written: our own writes below would make it true.
    const bool previously = isRegistered();
    const QString launcher = launcherPath(baseDir);

    {
        QSettings settings(product::uninstallOrganization, product::uninstallApplication);
        settings.beginGroup(product::uninstallGroup);
        settings.beginGroup(product::key);
        settings.setValue(QStringLiteral("DisplayIcon"), launcher);
        settings.setValue(QStringLiteral("DisplayName"), product::displayName);
        settings.setValue(QStringLiteral("DisplayVersion"), product::displayVersion);
        settings.setValue(QStringLiteral("NoModify"), 1);
        settings.setValue(QStringLiteral("NoRepair"), 1);
        settings.setValue(QStringLiteral("Publisher"), product::publisher);
        settings.setValue(QStringLiteral("URLInfoAbout"), product::homePage);
        settings.setValue(QStringLiteral("UninstallString"),
                          buildCommandLine(launcher, {UninstallCommand}));
        // The channel that brought the user is kept from the first install; updates must not
        // claim it for themselves.
        if (!previously)
            settings.setValue(QStringLiteral("Distributor"), product::distributor);
        settings.endGroup();
        settings.endGroup();
    }

    {
        QSettings protocol(product::protocolOrganization, product::key);
        protocol.setValue(QStringLiteral("EditFlags"), 2);
        protocol.setValue(QStringLiteral("URL Protocol"), QString());
        // A key ending in "." addresses the default value of its registry key.
        protocol.setValue(QStringLiteral("shell/."), QStringLiteral("open"));
        protocol.setValue(QStringLiteral("shell/open/command/."),
                          buildCommandLine(launcher, {QStringLiteral("%1")}));
    }
    platform::registerUrlScheme(product::key, product::displayName, launcher);
    // Unlike the desktop shortcut, the menu entry is the program's own: it follows the launcher
    // on every registration.
    platform::addApplicationMenuEntry(product::displayName, launcher, product::displayName);

    if (!previously) {
        const QDir desktop(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
        platform::createShortcut(
            desktop.absoluteFilePath(product::displayName + platform::shortcutSuffix()), launcher,
            product::displayName);
    }
    return true;
}
