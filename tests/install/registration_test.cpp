#include "install/registration.h"
#include "platform/filesystem.h"

#include "registry_home.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

#include <gtest/gtest.h>

namespace {

QString uninstallValue(const QString &name)
{
    QSettings settings(QStringLiteral("Microsoft"), QStringLiteral("Windows"));
    userSettingsOnly(settings);
    return settings.value(QStringLiteral("CurrentVersion/Uninstall/kv/") + name).toString();
}

QString protocolValue(const QString &name)
{
    QSettings settings(QStringLiteral("Classes"), QStringLiteral("kv"));
    userSettingsOnly(settings);
    return settings.value(name).toString();
}

// What the desktop's own checker (desktop-file-utils, which scripts/setup installs) says of an
// entry we wrote: no error; hints are fine.
void expectValidDesktopEntry(const QString &path)
{
    QProcess validate;
    validate.start(QStringLiteral("desktop-file-validate"), {path});
    ASSERT_TRUE(validate.waitForStarted()) << "desktop-file-validate is not installed";
    ASSERT_TRUE(validate.waitForFinished());
    const QByteArray said = validate.readAllStandardOutput() + validate.readAllStandardError();
    EXPECT_EQ(validate.exitCode(), 0) << path.toStdString() << ": " << said.constData();
    EXPECT_FALSE(said.contains("error")) << path.toStdString() << ": " << said.constData();
}

TEST(Registration, FirstRegistrationWritesEveryValueTheShortcutTheMenuEntryAndTheUrlHandler)
{
    RegistryHome home;
    EXPECT_FALSE(isRegistered());
    const QString launcher = home.dataDirectory() + "/Korvel.exe";

    // Given with a trailing slash and a dot: the registrations hold the clean absolute path.
    EXPECT_TRUE(registerProduct(QDir(home.dataDirectory() + "/./")));

    EXPECT_TRUE(isRegistered());
    EXPECT_TRUE(QFileInfo::exists(home.configHome() + "/Microsoft/Windows.conf"));
    EXPECT_TRUE(QFileInfo::exists(home.configHome() + "/Classes/kv.conf"));
    EXPECT_EQ(uninstallValue("DisplayIcon"), launcher);
    EXPECT_EQ(uninstallValue("DisplayName"), "Korvel");
    EXPECT_EQ(uninstallValue("DisplayVersion"), "1.0.4");
    EXPECT_EQ(uninstallValue("NoModify"), "1");
    EXPECT_EQ(uninstallValue("NoRepair"), "1");
    EXPECT_EQ(uninstallValue("Publisher"), "Zorv Inc.");
    EXPECT_TRUE(uninstallValue("URLInfoAbout").startsWith("http://"));
    EXPECT_EQ(uninstallValue("UninstallString"), launcher + "  uninstall");
    EXPECT_EQ(uninstallValue("Distributor"), "ppc");
    EXPECT_EQ(uninstallValue("InstallLocation"), home.dataDirectory());
    EXPECT_EQ(uninstallValue("InstallDate"), QDate::currentDate().toString("yyyyMMdd"));
    EXPECT_EQ(uninstallValue("EstimatedSize"), "0"); // nothing installed below it yet
    EXPECT_EQ(uninstallValue("QuietUninstallString"), launcher + "  uninstall");

    EXPECT_EQ(protocolValue("EditFlags"), "2");
    EXPECT_TRUE(QSettings("Classes", "kv").contains("URL Protocol"));
    EXPECT_EQ(protocolValue("URL Protocol"), "");
    EXPECT_EQ(protocolValue("shell/."), "open");
    EXPECT_EQ(protocolValue("shell/open/command/."), launcher + "  %1");

    EXPECT_EQ(readFile(home.shortcut()),
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Name=Korvel\n"
              "Comment=Korvel\n"
              "Exec=\""
                  + launcher.toUtf8() + "\"\n");
    EXPECT_TRUE(QFileInfo(home.shortcut()).isExecutable());
    // The same in the application menu, where desktops without desktop icons show it.
    EXPECT_EQ(readFile(home.menuEntry()), readFile(home.shortcut()) + "Categories=Network;\n");
    for (const QString &entry : {home.shortcut(), home.menuEntry(), home.urlHandler()})
        expectValidDesktopEntry(entry);

    EXPECT_EQ(readFile(home.urlHandler()),
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Name=Korvel\n"
              "Exec=\""
                  + launcher.toUtf8()
                  + "\" %u\n"
                    "MimeType=x-scheme-handler/kv;\n"
                    "NoDisplay=true\n");
    EXPECT_EQ(readFile(home.mimeApps()),
              "[Default Applications]\n"
              "x-scheme-handler/kv=kv-url-handler.desktop\n");
}

TEST(Registration, LaterRegistrationRepointsEverythingButKeepsDistributorAndShortcutChoice)
{
    RegistryHome home;
    // No size without an entry to hold it.
    recordInstalledSize(QDir(home.root()));
    EXPECT_FALSE(isRegistered());
    EXPECT_EQ(uninstallValue("EstimatedSize"), "");
    registerProduct(QDir(home.root() + "/first"));
    // The size counts every file below the base directory, in KiB rounded up.
    ASSERT_TRUE(writeFile(home.root() + "/second/2.0/client.bin", QByteArray(3000, 'c')));
    ASSERT_TRUE(writeFile(home.root() + "/second/Korvel.exe", QByteArray(1000, 'k')));
    // A file that two versions share, under two names, counts once.
    ASSERT_TRUE(QDir().mkpath(home.root() + "/second/1.0"));
    ASSERT_TRUE(
        platform::shareFile(home.root() + "/second/2.0/client.bin", home.root() + "/second/1.0/client.bin"));
    {
        QSettings settings("Microsoft", "Windows");
        settings.setValue("CurrentVersion/Uninstall/kv/Distributor", "web");
    }
    ASSERT_TRUE(QFile::remove(home.shortcut())); // the user deleted it

    // A job measures the size only once the installation is as it stays.
    registerProduct(QDir(home.root() + "/second"), InstalledSize::Later);
    EXPECT_EQ(uninstallValue("EstimatedSize"), "0");
    recordInstalledSize(QDir(home.root() + "/second"));

    const QString launcher = home.root() + "/second/Korvel.exe";
    EXPECT_EQ(uninstallValue("DisplayIcon"), launcher);
    EXPECT_EQ(uninstallValue("UninstallString"), launcher + "  uninstall");
    EXPECT_EQ(uninstallValue("Distributor"), "web");
    EXPECT_EQ(uninstallValue("InstallLocation"), home.root() + "/second");
    EXPECT_EQ(uninstallValue("EstimatedSize"), "4");
    EXPECT_EQ(uninstallValue("QuietUninstallString"), launcher + "  uninstall");
    EXPECT_EQ(protocolValue("shell/open/command/."), launcher + "  %1");
    EXPECT_TRUE(readFile(home.urlHandler()).contains("Exec=\"" + launcher.toUtf8() + "\" %u\n"));
    EXPECT_FALSE(QFileInfo::exists(home.shortcut()));
    // The menu entry is ours, not the user's choice: it follows the launcher every time.
    EXPECT_TRUE(readFile(home.menuEntry()).contains("\nExec=\"" + launcher.toUtf8() + "\"\n"));
}

TEST(Registration, HomeWithoutADesktopDirectoryStillGetsTheMenuEntry)
{
    RegistryHome home;
    ASSERT_TRUE(QDir(home.desktop()).removeRecursively());
    registerProduct(QDir(home.dataDirectory()));
    EXPECT_FALSE(QFileInfo::exists(home.desktop())); // no desktop is made up
    EXPECT_TRUE(readFile(home.menuEntry()).contains("\nCategories=Network;\n"));
}

TEST(Registration, EntryFoundOnlyInTheSystemWideOrOrganisationSettingsIsNotThisUsersRegistration)
{
    // A machine-wide "kv" (another program's key, an all-users install) and the organisation
    // defaults are not this user's entry: the first registration is made whole.
    RegistryHome home;
    ASSERT_TRUE(writeFile(
        home.configDirs() + "/Microsoft/Windows.conf",
        "[CurrentVersion]\nUninstall\\kv\\DisplayName=Other\nUninstall\\kv\\UninstallString=other\n"));
    ASSERT_TRUE(writeFile(
        home.configHome() + "/Microsoft.conf",
        "[CurrentVersion]\nUninstall\\kv\\DisplayName=Other\nUninstall\\kv\\UninstallString=other\n"));
    ASSERT_TRUE(QSettings("Microsoft", "Windows").childGroups().contains("CurrentVersion"));
    EXPECT_FALSE(isRegistered());

    registerProduct(QDir(home.dataDirectory()));

    EXPECT_TRUE(isRegistered());
    EXPECT_EQ(uninstallValue("DisplayName"), "Korvel");
    EXPECT_EQ(uninstallValue("UninstallString"), home.dataDirectory() + "/Korvel.exe  uninstall");
    EXPECT_EQ(uninstallValue("Distributor"), "ppc");
    EXPECT_TRUE(QFileInfo::exists(home.shortcut()));
    // The other settings are not ours to change.
    EXPECT_EQ(readFile(home.configDirs() + "/Microsoft/Windows.conf"),
              "[CurrentVersion]\nUninstall\\kv\\DisplayName=Other\nUninstall\\kv\\UninstallString=other\n");
}

TEST(Registration, BlankInTheBaseDirectoryIsQuotedAndArgumentFollowsTwoBlanks)
{
    RegistryHome home;
    const QString base = home.root() + "/my dir/korvel";
    const QString launcher = base + "/Korvel.exe";

    registerProduct(QDir(base));

    EXPECT_EQ(uninstallValue("DisplayIcon"), launcher);
    EXPECT_EQ(uninstallValue("UninstallString"), '"' + launcher + "\"  uninstall");
    EXPECT_EQ(protocolValue("shell/open/command/."), '"' + launcher + "\"  %1");
    EXPECT_TRUE(readFile(home.shortcut()).contains("\nExec=\"" + launcher.toUtf8() + "\"\n"));
}

TEST(Registration, CharactersSpecialToDesktopFilesAreEscapedInExec)
{
    RegistryHome home;
    // Legal in a Linux path, each with a meaning in a desktop file: the quote and "$" and "`"
    // inside quotes, "%" as a field code, the backslash twice over, a newline ends the line.
    const QString base = home.root() + "/a\"b$c`d%e\\f\ng";

    registerProduct(QDir(base));

    const QByteArray root = home.root().toUtf8();
    const QByteArray exec = "Exec=\"" + root + "/a\\\\\"b\\\\$c\\\\`d%%e\\\\\\\\f\\ng/Korvel.exe\"";
    EXPECT_TRUE(readFile(home.shortcut()).contains("\n" + exec + "\n"))
        << readFile(home.shortcut()).constData();
    EXPECT_TRUE(readFile(home.urlHandler()).contains("\n" + exec + " %u\n"));
    EXPECT_EQ(readFile(home.shortcut()).count('\n'), 5);
}

TEST(Registration, DefaultHandlerJoinsAnExistingMimeAppsListKeepingItsOtherLines)
{
    RegistryHome home;
    // Other programs' lines stay byte for byte, even ones that are not UTF-8.
    const QByteArray before = "# caf\xe9\n"
                              "[Added Associations]\n"
                              "x-scheme-handler/kv=old.desktop;\n"
                              "\n"
                              "[Default Applications]\n"
                              "text/html=browser.desktop\n"
                              "x-scheme-handler/kv=old.desktop\n"
                              "image/png=viewer.desktop\n"
                              "\n"
                              "[Removed Associations]\n"
                              "text/plain=editor.desktop;\n";
    ASSERT_TRUE(writeFile(home.mimeApps(), before));

    registerProduct(QDir(home.dataDirectory()));

    QByteArray after = before;
    after.replace("kv=old.desktop\n", "kv=kv-url-handler.desktop\n");
    EXPECT_EQ(readFile(home.mimeApps()), after);
}

TEST(Registration, DefaultsSectionIsAddedAfterTheOtherSections)
{
    RegistryHome home;
    ASSERT_TRUE(writeFile(home.mimeApps(), "[Added Associations]\ntext/plain=editor.desktop;"));

    registerProduct(QDir(home.dataDirectory()));

    EXPECT_EQ(readFile(home.mimeApps()),
              "[Added Associations]\n"
              "text/plain=editor.desktop;\n"
              "\n"
              "[Default Applications]\n"
              "x-scheme-handler/kv=kv-url-handler.desktop\n");
}

} // namespace
