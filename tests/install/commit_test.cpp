#include "engine/status_sink.h"
#include "engine/version_catalogue.h"
#include "install/package_staging.h"

#include "support/recording_sink.h"
#include "support/temp_home.h"
#include "support/tools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <gtest/gtest.h>

#include <vector>

namespace {

const QString kStart = QStringLiteral("开始安装");
const QString kFailed = QStringLiteral("安装失败");

// A version "2.0" in base directory home/base whose packages are built from trees of files.
class CommitTest : public ::testing::Test {
protected:
    QString base() const { return home.root() + "/base"; }
    QString versionDir() const { return base() + "/2.0"; }

    // Makes the package file for name from files (path -> content) and lists it.
    void addPackage(const QString &name, const QMap<QString, QByteArray> &files)
    {
        const QString src = home.root() + "/src-" + name;
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            ASSERT_TRUE(writeFile(src + '/' + it.key(), it.value()));
        packageXml += QStringLiteral("<Package name='%1' version='2.0' no='7' hash='00'/>").arg(name);
        archives[name] = src;
    }

    VersionEntry makeEntry()
    {
        VersionEntry entry(QDir(base()), &sink, "2.0", "");
        const QByteArray xml =
            ("<M>" + packageXml + "<Entry file='libclient.so' function='run'/></M>").toUtf8();
        EXPECT_TRUE(entry.parseManifest(xml));
        for (const PackageRecord &package : entry.packages()) {
            if (archives.contains(package.name()) && !QFile::exists(package.packageFilePath())) {
                EXPECT_TRUE(make7z(archives[package.name()], package.packageFilePath(), {"."}));
            }
        }
        return entry;
    }

    TempHome home;
    RecordingSink sink;
    QString packageXml;
    QMap<QString, QString> archives;
};

} // namespace

TEST_F(CommitTest, ExtractsInOrderWritesTheManifestAndPublishesTheLauncher)
{
    addPackage("client", {{"Korvel.exe", "launcher v2"}, {"libclient.so", "lib"}, {"data/a", "1"}});
    addPackage("data", {{"data/a", "overwritten"}, {"data/b", "2"}});
    VersionEntry entry = makeEntry();
    ASSERT_TRUE(writeFile(base() + "/Korvel.exe", "launcher v1"));

    ASSERT_TRUE(entry.commitVersion());
    EXPECT_EQ(sink.reports, (QList<Report>{{3, 0, "2.0", "client", kStart}, {3, 0, "2.0", "data", kStart}}));
    EXPECT_EQ(readFile(versionDir() + "/data/a"), "overwritten");
    EXPECT_EQ(readFile(versionDir() + "/data/b"), "2");
    EXPECT_EQ(readFile(versionDir() + "/manifest.xml"), entry.manifestData());
    EXPECT_EQ(readFile(base() + "/Korvel.exe"), "launcher v2");
    EXPECT_FALSE(QFile::exists(base() + "/Korvel.exe.pending"));
    EXPECT_FALSE(QFile::exists(base() + "/Korvel.exe.new"));
    EXPECT_TRUE(VersionEntry(QDir(base()), nullptr, "2.0", "").loadLocalManifest());

    // Committing what is already there writes nothing: files, manifest and launcher stay.
    const QMap<QString, quint64> installed = fileIdentities(base());
    ASSERT_TRUE(entry.commitVersion());
    EXPECT_EQ(fileIdentities(base()), installed);

    // Committing again overwrites the files and the manifest.
    ASSERT_TRUE(writeFile(versionDir() + "/data/b", "changed by hand"));
    ASSERT_TRUE(writeFile(versionDir() + "/manifest.xml", "stale"));
    ASSERT_TRUE(entry.commitVersion());
    EXPECT_EQ(readFile(versionDir() + "/data/b"), "2");
    EXPECT_EQ(readFile(versionDir() + "/manifest.xml"), entry.manifestData());
}

TEST_F(CommitTest, AFailedPackageStopsTheCommitAndLeavesTheInstalledVersionAsItWas)
{
    addPackage("first", {{"Korvel.exe", "launcher"}, {"libclient.so", "lib"}});
    addPackage("broken", {{"b.txt", "b"}});
    addPackage("third", {{"c.txt", "c"}});
    VersionEntry entry = makeEntry();
    // An earlier installation of the same version counts as installed until now.
    ASSERT_TRUE(writeFile(versionDir() + "/manifest.xml", entry.manifestData()));
    ASSERT_TRUE(writeFile(versionDir() + "/libclient.so", "old lib"));
    ASSERT_TRUE(VersionEntry(QDir(base()), nullptr, "2.0", "").loadLocalManifest());
    ASSERT_TRUE(writeFile(entry.packages().at(1).packageFilePath(), "not an archive"));

    EXPECT_FALSE(entry.commitVersion());
    EXPECT_EQ(sink.reports,
              (QList<Report>{{3, 0, "2.0", "first", kStart},
                             {3, 0, "2.0", "broken", kStart},
                             {3, 0, "2.0", "broken", kFailed}}));
    // Nothing changed: the earlier installation still starts as it did.
    EXPECT_EQ(readFile(versionDir() + "/libclient.so"), "old lib");
    EXPECT_FALSE(QFile::exists(versionDir() + "/c.txt"));
    EXPECT_EQ(readFile(versionDir() + "/manifest.xml"), entry.manifestData());
    EXPECT_TRUE(VersionEntry(QDir(base()), nullptr, "2.0", "").loadLocalManifest());
    EXPECT_FALSE(QFile::exists(base() + "/Korvel.exe"));
    EXPECT_EQ(filesBelow(versionDir()).keys(), QStringList({"libclient.so", "manifest.xml"}));

    // A package file deleted after its download fails the same way.
    sink.reports.clear();
    QFile::remove(entry.packages().at(0).packageFilePath());
    EXPECT_FALSE(entry.commitVersion());
    EXPECT_EQ(sink.reports, (QList<Report>{{3, 0, "2.0", "first", kStart}, {3, 0, "2.0", "first", kFailed}}));
}

TEST_F(CommitTest, AFailureAfterThePackagesIsReportedWithTheLastPackage)
{
    addPackage("client", {{"Korvel.exe", "launcher"}, {"libclient.so", "lib"}});
    addPackage("data", {{"b.txt", "b"}});
    VersionEntry entry = makeEntry();
    // Nothing can be written where the manifest goes.
    ASSERT_TRUE(QDir().mkpath(versionDir() + "/manifest.xml/held"));

    EXPECT_FALSE(entry.commitVersion());
    EXPECT_EQ(sink.reports,
              (QList<Report>{{3, 0, "2.0", "client", kStart},
                             {3, 0, "2.0", "data", kStart},
                             {3, 0, "2.0", "data", kFailed}}));
    EXPECT_FALSE(VersionEntry(QDir(base()), nullptr, "2.0", "").loadLocalManifest());
}

TEST_F(CommitTest, WithoutPackagesOrLauncherTheManifestIsWrittenAndAStagedLauncherRemoved)
{
    VersionEntry entry = makeEntry();
    ASSERT_TRUE(entry.packages().isEmpty());
    // A launcher staged by an earlier version is older than this one; left standing, the next
    // start would swap it in.
    ASSERT_TRUE(writeFile(base() + "/Korvel.exe.pending", "an older pending launcher"));
    ASSERT_TRUE(entry.commitVersion());
    EXPECT_TRUE(sink.reports.isEmpty());
    EXPECT_EQ(readFile(versionDir() + "/manifest.xml"), entry.manifestData());
    EXPECT_FALSE(QFile::exists(base() + "/Korvel.exe"));
    EXPECT_FALSE(QFile::exists(base() + "/Korvel.exe.pending"));
}

TEST_F(CommitTest, ALauncherThatCannotBeReplacedWaitsAsThePendingLauncher)
{
    addPackage("client", {{"Korvel.exe", "launcher v2"}, {"libclient.so", "lib"}});
    VersionEntry entry = makeEntry();
    // Something that no rename can replace stands where the launcher goes.
    ASSERT_TRUE(QDir().mkpath(base() + "/Korvel.exe/in-use"));
    ASSERT_TRUE(writeFile(base() + "/Korvel.exe.pending", "an older pending launcher"));

    ASSERT_TRUE(entry.commitVersion());
    EXPECT_TRUE(QFileInfo(base() + "/Korvel.exe/in-use").isDir());
    EXPECT_EQ(readFile(base() + "/Korvel.exe.pending"), "launcher v2");
    EXPECT_FALSE(QFile::exists(base() + "/Korvel.exe.new"));
    EXPECT_FALSE(QFile::exists(base() + "/Korvel.exe.pending.new"));
    EXPECT_EQ(readFile(versionDir() + "/manifest.xml"), entry.manifestData());

    // Once the launcher can be replaced, it is replaced directly, and the launcher staged
    // before is gone: the next start must not swap the older one back in.
    ASSERT_TRUE(QDir(base() + "/Korvel.exe").removeRecursively());
    ASSERT_TRUE(writeFile(base() + "/Korvel.exe.pending", "an older pending launcher"));
    ASSERT_TRUE(entry.commitVersion());
    EXPECT_EQ(readFile(base() + "/Korvel.exe"), "launcher v2");
    EXPECT_FALSE(QFile::exists(base() + "/Korvel.exe.pending"));
}

TEST_F(CommitTest, PackagesWhoseFilesWouldShareAFileAreRefusedBeforeAnythingChanges)
{
    // The files the commit writes itself beside the packages' (the manifest, and the side file
    // it is written into first), and one file that two packages spell in different letter case:
    // Windows keeps one file for both, so the second rename would fail halfway through.
    const QList<QList<QPair<QString, QMap<QString, QByteArray>>>> cases = {
        {{"client", {{"Korvel.exe", "launcher"}, {"libclient.so", "lib"}, {"manifest.xml", "a file"}}}},
        {{"client", {{"Korvel.exe", "launcher"}, {"libclient.so", "lib"}, {"MANIFEST.xml.new", "a file"}}}},
        {{"client", {{"Korvel.exe", "launcher"}, {"libclient.so", "lib"}, {"Data/a.txt", "1"}}},
         {"data", {{"data/a.txt", "2"}}}},
    };
    for (const auto &packages : cases) {
        SCOPED_TRACE(packages.last().second.lastKey().toStdString());
        QDir(base()).removeRecursively();
        packageXml.clear();
        archives.clear();
        QDir(home.dataDirectory()).removeRecursively();
        for (const auto &package : packages)
            addPackage(package.first, package.second);
        VersionEntry entry = makeEntry();
        // An installed version of the same name, as an earlier commit left it.
        ASSERT_TRUE(writeFile(versionDir() + "/libclient.so", "old lib"));
        ASSERT_TRUE(
            writeFile(versionDir() + "/manifest.xml", "<M><Entry file='libclient.so' function='run'/></M>"));
        const QMap<QString, QByteArray> installed = filesBelow(base());
        sink.reports.clear();

        EXPECT_FALSE(entry.commitVersion());
        EXPECT_EQ(sink.reports.last().text, kFailed);
        EXPECT_EQ(filesBelow(base()), installed);
    }
}

// Packages are extracted beside the installed files as they arrive, before the last one is in,
// and the commit takes them over with the reports it always made. An install abandoned after
// some packages, or one whose package cannot be extracted, leaves nothing staged behind.
TEST_F(CommitTest, PackagesStagedAsTheyArriveAreTakenOverByTheCommit)
{
    addPackage("client", {{"Korvel.exe", "launcher v2"}, {"libclient.so", "lib"}});
    addPackage("data", {{"data/b", "2"}});
    addPackage("broken", {{"x", "x"}});
    VersionEntry entry = makeEntry();
    const QString staged = versionDir() + "/libclient.so.korvel-new";
    {
        PackageStaging staging(entry);
        staging.packageArrived(0);
        EXPECT_TRUE(staging.waitStaged(0));
        EXPECT_TRUE(QFile::exists(staged));
        EXPECT_FALSE(QFile::exists(versionDir() + "/libclient.so"));
        staging.packagesAbandoned();
        EXPECT_FALSE(QFile::exists(staged));
    }

    // The third package is not a 7z archive: the commit stops at it, with nothing beside.
    ASSERT_TRUE(writeFile(entry.packages().at(2).packageFilePath(), "not an archive"));
    {
        PackageStaging staging(entry);
        for (int i = 0; i < 3; ++i)
            staging.packageArrived(i);
        EXPECT_FALSE(entry.commitVersion(&staging));
        EXPECT_EQ(sink.reports,
                  (QList<Report>{{3, 0, "2.0", "client", kStart},
                                 {3, 0, "2.0", "data", kStart},
                                 {3, 0, "2.0", "broken", kStart},
                                 {3, 0, "2.0", "broken", kFailed}}));
        EXPECT_FALSE(QFile::exists(staged));
        EXPECT_FALSE(QFile::exists(versionDir() + "/libclient.so"));
    }

    ASSERT_TRUE(QFile::remove(entry.packages().at(2).packageFilePath()));
    ASSERT_TRUE(make7z(archives["broken"], entry.packages().at(2).packageFilePath(), {"."}));
    sink.reports.clear();
    PackageStaging staging(entry);
    for (int i = 0; i < 3; ++i)
        staging.packageArrived(i);
    ASSERT_TRUE(entry.commitVersion(&staging));
    EXPECT_EQ(sink.reports.size(), 3);
    EXPECT_EQ(readFile(versionDir() + "/libclient.so"), "lib");
    EXPECT_EQ(readFile(versionDir() + "/data/b"), "2");
    EXPECT_EQ(readFile(versionDir() + "/x"), "x");
    EXPECT_FALSE(QFile::exists(staged));
    EXPECT_EQ(readFile(versionDir() + "/manifest.xml"), entry.manifestData());
}

// Packages are extracted in the order they arrive, which need not be the manifest's: whatever
// that order, the commit gives what extracting them in manifest order gives. Where two packages
// hold one path the later one in the manifest wins, also when its file is already in place and
// the earlier one's would replace it; a package that cannot be extracted fails the commit with
// the report manifest order gives, nothing changed.
TEST_F(CommitTest, PackagesStagedInAnyOrderGiveWhatManifestOrderGives)
{
    addPackage("client", {{"Korvel.exe", "launcher"}, {"libclient.so", "lib"}, {"a", "a0"}, {"b", "b0"}});
    addPackage("data", {{"a", "a1"}, {"b", "b1"}, {"c", "c1"}});
    addPackage("more", {{"c", "c2"}, {"d", "d2"}});
    VersionEntry entry = makeEntry();
    const std::vector<std::vector<int>> orders = {{0, 1, 2}, {2, 1, 0}, {1, 0, 2}, {2, 0, 1}};
    for (const std::vector<int> &order : orders) {
        SCOPED_TRACE(::testing::PrintToString(order));
        QDir(versionDir()).removeRecursively();
        // Installed already: the later package's "a", which the earlier one's would replace.
        ASSERT_TRUE(writeFile(versionDir() + "/a", "a1"));
        PackageStaging staging(entry);
        for (int index : order) {
            staging.packageArrived(index);
            ASSERT_TRUE(staging.waitStaged(index));
        }
        ASSERT_TRUE(entry.commitVersion(&staging));
        QMap<QString, QByteArray> expected = {{"Korvel.exe", "launcher"},
                                              {"libclient.so", "lib"},
                                              {"a", "a1"},
                                              {"b", "b1"},
                                              {"c", "c2"},
                                              {"d", "d2"}};
        expected.insert("manifest.xml", entry.manifestData());
        EXPECT_EQ(filesBelow(versionDir()), expected);
    }

    ASSERT_TRUE(QFile::remove(entry.packages().at(1).packageFilePath()));
    ASSERT_TRUE(writeFile(entry.packages().at(1).packageFilePath(), "not an archive"));
    for (const std::vector<int> &order : orders) {
        SCOPED_TRACE(::testing::PrintToString(order));
        const QMap<QString, QByteArray> installed = filesBelow(versionDir());
        sink.reports.clear();
        PackageStaging staging(entry);
        for (int index : order) {
            staging.packageArrived(index);
            staging.waitStaged(index);
        }
        EXPECT_FALSE(entry.commitVersion(&staging));
        EXPECT_EQ(sink.reports,
                  (QList<Report>{{3, 0, "2.0", "client", kStart},
                                 {3, 0, "2.0", "data", kStart},
                                 {3, 0, "2.0", "data", kFailed}}));
        EXPECT_EQ(filesBelow(versionDir()), installed);
    }
}
