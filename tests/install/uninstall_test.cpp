#include "install/uninstall.h"

#include "install/registration.h"
#include "install/statistics.h"
#include "registry_home.h"
#include "support/child_process.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <gtest/gtest.h>

namespace {

QStringList userGroups(const QString &organization, const QString &application, const QString &group)
{
    QSettings settings(organization, application);
    userSettingsOnly(settings);
    settings.beginGroup(group);
    return settings.childGroups();
}

QStringList userKeys(const QString &organization, const QString &application)
{
    QSettings settings(organization, application);
    userSettingsOnly(settings);
    return settings.allKeys();
}

bool makeReadOnly(const QString &path)
{
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadUser | QFile::ExeUser);
}

TEST(Uninstall, RemovesTreeRegistrationsAndDesktopEntriesButKeepsTheMachineId)
{
    RegistryHome home;
    const QString base = home.dataDirectory();
    ASSERT_TRUE(writeFile(home.mimeApps(), "[Default Applications]\ntext/html=browser.desktop\n"));
    {
        QSettings other("Microsoft", "Windows");
        other.setValue("CurrentVersion/Uninstall/other/DisplayName", "Other");
    }
    registerProduct(QDir(base));
    const QString id = machineId();

    ASSERT_TRUE(writeFile(base + "/Korvel.exe", "program"));
    ASSERT_TRUE(writeFile(base + "/versions.xml", "catalogue"));
    ASSERT_TRUE(writeFile(base + "/1.0.4/bin/client.so", "client"));
    ASSERT_TRUE(writeFile(base + "/packages/a.7z.partial", "part"));
    ASSERT_TRUE(writeFile(base + "/.hidden", "h"));
    ASSERT_TRUE(QDir().mkpath(base + "/empty/nested"));
    ASSERT_TRUE(writeFile(base + "/readonly.txt", "r"));
    ASSERT_TRUE(makeReadOnly(base + "/readonly.txt"));
    ASSERT_TRUE(writeFile(base + "/locked/inner/file.txt", "l"));
    ASSERT_TRUE(makeReadOnly(base + "/locked/inner/file.txt"));
    ASSERT_TRUE(makeReadOnly(base + "/locked/inner"));
    ASSERT_TRUE(makeReadOnly(base + "/locked"));
    // Links inside the tree go, what they point at stays.
    ASSERT_TRUE(writeFile(home.root() + "/outside/keep.txt", "mine"));
    ASSERT_TRUE(QFile::link(home.root() + "/outside", base + "/link-to-dir"));
    ASSERT_TRUE(QFile::link(home.root() + "/outside/keep.txt", base + "/link-to-file"));
    ASSERT_TRUE(makeReadOnly(home.root() + "/outside"));

    removeInstallation(QDir(base));

    EXPECT_FALSE(QFileInfo::exists(base));
    EXPECT_EQ(readFile(home.root() + "/outside/keep.txt"), "mine");
    QFile::setPermissions(home.root() + "/outside", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    EXPECT_FALSE(isRegistered());
    EXPECT_EQ(userGroups("Microsoft", "Windows", "CurrentVersion/Uninstall"), QStringList{"other"});
    EXPECT_TRUE(userKeys("Classes", "kv").isEmpty());
    EXPECT_FALSE(QFileInfo::exists(home.shortcut()));
    EXPECT_FALSE(QFileInfo::exists(home.menuEntry()));
    EXPECT_FALSE(QFileInfo::exists(home.urlHandler()));
    EXPECT_EQ(readFile(home.mimeApps()), "[Default Applications]\ntext/html=browser.desktop\n");
    EXPECT_EQ(machineId(), id);
}

TEST(Uninstall, FolderOtherThanTheDataDirectoryKeepsItsFiles)
{
    RegistryHome home;
    registerProduct(QDir(home.dataDirectory()));
    const QString downloads = home.home() + "/Downloads";
    ASSERT_TRUE(writeFile(downloads + "/Korvel.exe", "program"));
    ASSERT_TRUE(writeFile(downloads + "/photo.jpg", "precious"));
    ASSERT_TRUE(writeFile(home.dataDirectory() + "/versions.xml", "catalogue"));

    // The running program here is this test, which must never be started as a temporary copy:
    // with no temporary directory to copy it into, a fault below could not start it either.
    home.setEnv("TMPDIR", (home.root() + "/no-such-dir").toUtf8());

    EXPECT_TRUE(uninstallProduct(QDir(downloads)));

    EXPECT_EQ(readFile(downloads + "/photo.jpg"), "precious");
    EXPECT_TRUE(QFileInfo::exists(downloads + "/Korvel.exe"));
    EXPECT_TRUE(QFileInfo::exists(home.dataDirectory() + "/versions.xml"));
    // The user asked to uninstall: the registrations go all the same.
    EXPECT_FALSE(isRegistered());
    EXPECT_FALSE(QFileInfo::exists(home.shortcut()));
}

TEST(Uninstall, WhatTheUserChangedOrDeletedMeanwhileIsNoError)
{
    RegistryHome home;
    registerProduct(QDir(home.dataDirectory()));
    ASSERT_TRUE(QFile::remove(home.shortcut()));
    const QByteArray userChoice = "[Default Applications]\nx-scheme-handler/kv=other.desktop\n";
    ASSERT_TRUE(writeFile(home.mimeApps(), userChoice));

    removeInstallation(QDir(home.dataDirectory())); // nothing below it was ever made

    EXPECT_FALSE(isRegistered());
    EXPECT_FALSE(QFileInfo::exists(home.urlHandler()));
    EXPECT_EQ(readFile(home.mimeApps()), userChoice);
}

TEST(Uninstall, TemporaryCopyDeletesTheProgramThenTheDirectoryBothRequired)
{
    const QStringList arguments = uninstallCleanupArguments("/home/u/data/ostrel/korvel/Korvel.exe",
                                                            QDir("/home/u/data/ostrel/korvel/"));
    EXPECT_EQ(arguments,
              QStringList({"replace", "/home/u/data/ostrel/korvel/Korvel.exe", "\"\"", "10", "0",
                           "/home/u/data/ostrel/korvel", "\"\"", "5", "0"}));
}

TEST(Uninstall, ProgramStartedWithTheCleanupArgumentsDeletesTheProgramAndItsDirectory)
{
    RegistryHome home;
    const QString base = home.dataDirectory();
    const QString program = base + "/Korvel.exe";
    ASSERT_TRUE(QDir().mkpath(base));
    ASSERT_TRUE(QFile::copy(KORVEL_EXE, program));
    ASSERT_TRUE(writeFile(base + "/1.0.4/client.so", "client"));
    // The temporary copy is the program under another name outside the directory.
    const QString copy = home.temp() + "/Kor1A2B.tmp";
    ASSERT_TRUE(QFile::copy(KORVEL_EXE, copy));

    // The list ends without a command to start, which the replace command answers with -1.
    EXPECT_EQ(runProgram(copy, uninstallCleanupArguments(program, QDir(base)), home.root()),
              exitStatusOf(-1));

    EXPECT_FALSE(QFileInfo::exists(program));
    EXPECT_FALSE(QFileInfo::exists(base));
    EXPECT_TRUE(QFileInfo::exists(home.dataHome() + "/ostrel"));
}

} // namespace
