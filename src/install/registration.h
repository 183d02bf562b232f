#pragma once

#include "base/product.h"

#include <QDir>
#include <QString>

// The product as the system knows it: the entry in the list of installed programs, the "kv" URL
// protocol and the desktop shortcut. The registry is reached through QSettings in its native
// format with user scope (INI files under $XDG_CONFIG_HOME on this system).
namespace product {

// These texts leave the program: the registry, the shortcut and the statistics beacon use them.
inline const QString key = QStringLiteral("kv"); // uninstall subkey and URL scheme
inline const QString displayName = QStringLiteral(KORVEL_PRODUCT_NAME);
inline const QString displayVersion = QStringLiteral(KORVEL_VERSION_TEXT);
inline const QString publisher = QStringLiteral(KORVEL_COMPANY_NAME);
inline const QString distributor = QStringLiteral("ppc");
inline const QString homePage = QStringLiteral("http://korvel.example/");

// Where the uninstall entry and the URL protocol live in QSettings terms.
inline const QString uninstallOrganization = QStringLiteral("Microsoft");
inline const QString uninstallApplication = QStringLiteral("Windows");
inline const QString uninstallGroup = QStringLiteral("CurrentVersion/Uninstall");
inline const QString protocolOrganization = QStringLiteral("Classes");

} // namespace product

// The launcher every registration points to: baseDir's "Korvel.exe", absolute, in native form.
QString launcherPath(const QDir &baseDir);

// True when the current user's own uninstall entry "kv" exists (with its "UninstallString",
// which every registration writes). QSettings' fallbacks (the organisation-wide and the
// machine-wide settings, $XDG_CONFIG_DIRS here) are not consulted.
bool isRegistered();

// Writes the uninstall entry (with the install location, date, size in KiB and a quiet
// uninstall command beside the display values), the URL protocol (also made known to the
// desktop) and the application-menu entry where the system keeps one apart, all pointing at
// baseDir's launcher. When the product was not registered before, also writes "Distributor"
// and puts the shortcut on the desktop; a later call leaves both as they are, so a shortcut the
// user deleted stays deleted. The uninstall entry, which isRegistered() looks for, is written
// last: a registration cut short counts as not made, and the next one makes all of it.
// Failed writes leave that piece missing and are not reported.
// Always returns true. Call on the thread that runs the task; not concurrently with itself.
// With InstalledSize::Later the size is left as it is, for recordInstalledSize to write once the
// installation is as it stays.
enum class InstalledSize { Now, Later };
bool registerProduct(const QDir &baseDir, InstalledSize size = InstalledSize::Now);

// Measures what the installation below baseDir holds and writes it as the uninstall entry's size,
// where the product is registered; otherwise nothing.
void recordInstalledSize(const QDir &baseDir);
