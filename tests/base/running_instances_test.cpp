#include "base/running_instances.h"

#include "support/child_process.h"
#include "support/temp_home.h"

#include "platform/process.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

TEST(RunningInstances, CountsProcessesOfTheSameFileOnly)
{
    TempHome home;
    const QString here = home.root() + QStringLiteral("/a/Korvel.exe");
    const QString elsewhere = home.root() + QStringLiteral("/b/Korvel.exe");
    ASSERT_TRUE(writeFile(here, readFile(QStringLiteral("/bin/sleep"))));
    ASSERT_TRUE(writeFile(elsewhere, readFile(here)));
    for (const QString &f : {here, elsewhere})
        QFile::setPermissions(f, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    EXPECT_EQ(countRunningInstances(QFileInfo(here)), 0);
    ChildProcess first, second, other;
    ASSERT_TRUE(first.start(here, {"30"}));
    ASSERT_TRUE(other.start(elsewhere, {"30"}));
    EXPECT_EQ(countRunningInstances(QFileInfo(here)), 1);
    ASSERT_TRUE(second.start(here, {"30"}));
    EXPECT_EQ(countRunningInstances(QFileInfo(here)), 2);
    EXPECT_EQ(countRunningInstances(QFileInfo(elsewhere)), 1);
    // The same file reached through another spelling of its path is the same file.
    EXPECT_EQ(countRunningInstances(QFileInfo(home.root() + QStringLiteral("/b/../a/Korvel.exe"))), 2);
    // A process counts by the path it was started from, also once that file has been
    // replaced (an update renames a new launcher over it) or deleted.
    ASSERT_TRUE(writeFile(here + ".new", readFile(elsewhere)));
    ASSERT_EQ(::rename(QFile::encodeName(here + ".new"), QFile::encodeName(here)), 0);
    EXPECT_EQ(countRunningInstances(QFileInfo(here)), 2);
    ASSERT_TRUE(QFile::remove(here));
    EXPECT_EQ(countRunningInstances(QFileInfo(here)), 2);
    EXPECT_EQ(countRunningInstances(QFileInfo(home.root() + QStringLiteral("/c/Korvel.exe"))), 0);
    // The caller counts itself.
    EXPECT_GE(countRunningInstances(QFileInfo(platform::executablePath())), 1);
}

} // namespace
