#include "engine/version_catalogue.h"

#include "support/installed_layout.h"
#include "support/temp_home.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

// loadEntryFunction changes the process's directory and PATH for good; each test gets them
// back afterwards.
class EntryFunction : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_oldDir = QDir::currentPath();
        home.setEnv("PATH", qgetenv("PATH"));
        home.setEnv("KORVEL_SAMPLE_EXIT", "23");
        home.setEnv("KORVEL_SAMPLE_REPORT", (home.root() + QStringLiteral("/report")).toUtf8());
    }
    void TearDown() override { QDir::setCurrent(m_oldDir); }

    VersionEntry entry(const QString &version) const
    {
        return VersionEntry(QDir(home.root() + QStringLiteral("/base")), nullptr, version, QString());
    }
    QString versionDir(const QString &version) const
    {
        return home.root() + QStringLiteral("/base/") + version;
    }

    TempHome home;
    QString m_oldDir;
};

TEST_F(EntryFunction, PreparesTheProcessForTheVersionAndKeepsTheLibrary)
{
    const QString dir = versionDir("1.0");
    ASSERT_TRUE(installSampleClient(dir, "1.0"));
    const QByteArray oldPath = qgetenv("PATH");
    VersionEntry e = entry("1.0");
    const CommandHandler handler = e.loadEntryFunction();
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(QDir::currentPath(), dir);
    EXPECT_EQ(qgetenv("PATH"), dir.toUtf8() + ':' + oldPath);
    // Still loaded: the call works after loadEntryFunction returned.
    EXPECT_EQ(handler(u"a \"b c\""), 23);
    EXPECT_EQ(sampleField(readFile(home.root() + "/report"), "tail"), QByteArray("a \"b c\""));
}

TEST_F(EntryFunction, UnsetOrEmptyPathBecomesTheDirectoryAlone)
{
    const QString dir = versionDir("2");
    ASSERT_TRUE(installSampleClient(dir, "2"));
    qunsetenv("PATH");
    EXPECT_NE(entry("2").loadEntryFunction(), nullptr);
    EXPECT_EQ(qgetenv("PATH"), dir.toUtf8());
    qputenv("PATH", "");
    EXPECT_NE(entry("2").loadEntryFunction(), nullptr);
    EXPECT_EQ(qgetenv("PATH"), dir.toUtf8());
}

TEST_F(EntryFunction, MissingFunctionOrBrokenLibraryGivesNullAfterChangingDirectoryOnly)
{
    const QString dir = versionDir("3");
    ASSERT_TRUE(installSampleClient(dir, "3", "korvel_not_exported"));
    const QByteArray oldPath = qgetenv("PATH");
    EXPECT_EQ(entry("3").loadEntryFunction(), nullptr);
    EXPECT_EQ(QDir::currentPath(), dir);
    EXPECT_EQ(qgetenv("PATH"), oldPath);

    // A new file: the one just tried may still be mapped, and the loader would take it again.
    ASSERT_TRUE(writeFile(dir + "/broken.so", "not a library"));
    ASSERT_TRUE(writeLocalManifest(dir, "broken.so", "korvel_entry"));
    EXPECT_EQ(entry("3").loadEntryFunction(), nullptr);
    EXPECT_EQ(qgetenv("PATH"), oldPath);
}

TEST_F(EntryFunction, NotInstalledChangesNothing)
{
    const QString before = QDir::currentPath();
    EXPECT_EQ(entry("missing").loadEntryFunction(), nullptr);
    const QString dir = versionDir("gone");
    ASSERT_TRUE(writeLocalManifest(dir, "gone.so", "korvel_entry"));
    EXPECT_EQ(entry("gone").loadEntryFunction(), nullptr);
    EXPECT_EQ(QDir::currentPath(), before);
}

TEST_F(EntryFunction, NonAsciiNameIsLookedUpByItsUtf8Bytes)
{
    ASSERT_TRUE(installSampleClient(versionDir("4"), "4", QStringLiteral("客户端入口")));
    const CommandHandler handler = entry("4").loadEntryFunction();
    ASSERT_NE(handler, nullptr);
    handler(u"x");
    EXPECT_EQ(sampleField(readFile(home.root() + "/report"), "entry"), QByteArray("客户端入口"));
}

TEST_F(EntryFunction, ManifestAlreadyReadIsNotReadAgain)
{
    const QString dir = versionDir("5");
    ASSERT_TRUE(installSampleClient(dir, "5"));
    VersionEntry e = entry("5");
    ASSERT_TRUE(e.loadLocalManifest());
    ASSERT_TRUE(QFile::remove(dir + "/manifest.xml"));
    EXPECT_NE(e.loadEntryFunction(), nullptr);
}

TEST_F(EntryFunction, EntryFileOutsideTheVersionDirectoryIsRefused)
{
    const QString dir = versionDir("6");
    ASSERT_TRUE(installSampleClient(versionDir("other"), "other"));
    ASSERT_TRUE(writeLocalManifest(dir, "../other/client.so", "korvel_entry"));
    EXPECT_EQ(entry("6").loadEntryFunction(), nullptr);
    ASSERT_TRUE(writeLocalManifest(dir, versionDir("other") + "/client.so", "korvel_entry"));
    EXPECT_EQ(entry("6").loadEntryFunction(), nullptr);
    // A subdirectory of the version is fine.
    ASSERT_TRUE(installSampleClient(dir + "/bin", "6"));
    ASSERT_TRUE(writeLocalManifest(dir, "bin/client.so", "korvel_entry"));
    EXPECT_NE(entry("6").loadEntryFunction(), nullptr);
}

} // namespace
