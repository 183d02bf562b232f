#pragma once

#include "support/target.h"
#include "support/temp_home.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

// A private home for tests that go through QSettings and the desktop. QSettings works out the
// user's settings directory once per process, so each test points it at its own home; the
// desktop directory exists as it does on a desktop account.
class RegistryHome : public TempHome {
public:
    RegistryHome()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configHome());
        QDir().mkpath(desktop());
    }

    QString desktop() const
    {
        return target::isWindows() ? target::wineProfile() + QStringLiteral("/Desktop")
                                   : home() + QStringLiteral("/Desktop");
    }
    QString shortcut() const
    {
        return desktop()
            + (target::isWindows() ? QStringLiteral("/Korvel.lnk") : QStringLiteral("/Korvel.desktop"));
    }
    // Entries for the freedesktop menus and URL handlers: Linux only (Windows reads the
    // registry for the scheme).
    bool makesDesktopEntries() const { return !target::isWindows(); }
    QString menuEntry() const { return dataHome() + QStringLiteral("/applications/Korvel.desktop"); }
    QString urlHandler() const { return dataHome() + QStringLiteral("/applications/kv-url-handler.desktop"); }
    QString mimeApps() const { return configHome() + QStringLiteral("/mimeapps.list"); }
};

// The user's own settings only, as the program wrote them (no fallbacks mixed in).
inline void userSettingsOnly(QSettings &settings)
{
    settings.setFallbacksEnabled(false);
}
