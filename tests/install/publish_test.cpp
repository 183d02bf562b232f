#include "engine/version_catalogue.h"

#include "support/http_server.h"
#include "support/temp_home.h"
#include "support/tools.h"

#include <QDir>
#include <QDateTime>
#include <QFile>

#include <gtest/gtest.h>

namespace {

const QString kPublisher = QStringLiteral(KORVEL_BUILD_DIR "/korvel-publish");

int publish(const QString &version, const QString &source, const QString &tree,
            const QStringList &extra = {})
{
    QByteArray output;
    const int rc = runTool(kPublisher,
                           QStringList{"--version", version, "--source", source, "--output", tree,
                                       "--entry-file", "libclient.so", "--entry-function",
                                       "korvel_main"}
                               + extra,
                           {}, {}, &output);
    if (rc != 0)
        ADD_FAILURE() << output.constData();
    return rc;
}

QStringList listedVersions(const QString &catalogue)
{
    QStringList versions;
    QFile file(catalogue);
    VersionCatalogue parsed(QDir(QFileInfo(catalogue).absolutePath()));
    if (file.open(QIODevice::ReadOnly) && parsed.parseCatalogue(file)) {
        for (const VersionEntry &entry : parsed.versions())
            versions.append(entry.version() + (entry.isPrefetch() ? "*" : ""));
    }
    return versions;
}

void makeRelease(const QString &source, const QByteArray &flavour)
{
    ASSERT_TRUE(writeFile(source + "/Korvel.exe", readFile("/bin/true")));
    ASSERT_TRUE(writeFile(source + "/libclient.so", "client library " + flavour));
    ASSERT_TRUE(writeFile(source + "/data/strings.txt", "strings " + flavour));
    ASSERT_TRUE(writeFile(source + QStringLiteral("/data/图片/logo.png"), QByteArray(5000, 'p')));
    ASSERT_TRUE(writeFile(source + "/data/empty", QByteArray()));
}

} // namespace

TEST(Publisher, ATreeItPublishesInstallsThroughTheEngine)
{
    TempHome home;
    const QString source = home.root() + "/release";
    const QString tree = home.root() + "/tree";
    makeRelease(source, "3.1");
    ASSERT_EQ(publish("3.1", source, tree), 0);

    // Whatever a static server would serve, served from loopback as all three servers.
    TestHttpServer server;
    ASSERT_TRUE(server.isListening());
    const QMap<QString, QByteArray> published = filesBelow(tree);
    for (auto it = published.cbegin(); it != published.cend(); ++it)
        server.serve("/" + it.key().toUtf8(), HttpReply::ok(it.value()));
    ASSERT_TRUE(published.contains("bin/versions.xml"));
    ASSERT_TRUE(published.contains("bin/manifest/3.1.xml"));
    for (const char *variable : {"KORVEL_CATALOGUE_SERVER", "KORVEL_COMPONENT_SERVER",
                                 "KORVEL_PACKAGE_SERVER"})
        home.setEnv(variable, server.baseUrl().toUtf8());

    VersionCatalogue catalogue(QDir(home.dataDirectory()));
    ASSERT_TRUE(catalogue.checkVersions());
    ASSERT_EQ(catalogue.versions().size(), 1);
    VersionEntry entry = catalogue.versions().first();
    ASSERT_TRUE(entry.fetchManifest());
    EXPECT_EQ(entry.packages().size(), 3); // Korvel.exe, data, libclient.so
    ASSERT_TRUE(entry.downloadPackages());
    ASSERT_TRUE(entry.commitVersion());

    const QString installed = home.dataDirectory() + "/3.1";
    QMap<QString, QByteArray> expected = filesBelow(source);
    expected["manifest.xml"] = published["bin/manifest/3.1.xml"];
    EXPECT_EQ(filesBelow(installed), expected);
    EXPECT_EQ(readFile(home.dataDirectory() + "/Korvel.exe"), readFile("/bin/true"));
    EXPECT_TRUE(VersionEntry(QDir(home.dataDirectory()), nullptr, "3.1", "").loadLocalManifest());
    // Every package came from the component mirror, the first one tried.
    for (const PackageRecord &package : entry.packages())
        EXPECT_EQ(server.requestCount(QStringLiteral("/component/%1/%2/%1_%2.7z")
                                          .arg(package.name(), package.no())
                                          .toUtf8()),
                  1);
}

TEST(Publisher, RepublishingIsByteIdenticalAndKeepsListedVersions)
{
    TempHome home;
    const QString source = home.root() + "/release";
    makeRelease(source, "1");
    const QString first = home.root() + "/first";
    const QString second = home.root() + "/second";
    ASSERT_EQ(publish("1.0", source, first), 0);
    // Times must not matter, only content.
    QFile touched(source + "/data/strings.txt");
    ASSERT_TRUE(touched.open(QIODevice::ReadWrite));
    touched.setFileTime(QDateTime::currentDateTimeUtc().addDays(-3), QFileDevice::FileModificationTime);
    touched.close();
    ASSERT_EQ(publish("1.0", source, second), 0);
    EXPECT_EQ(filesBelow(first), filesBelow(second));
    ASSERT_EQ(publish("1.0", source, second), 0);
    EXPECT_EQ(filesBelow(first), filesBelow(second));
    EXPECT_EQ(filesBelow(first)["component/data/1.0/data_1.0.7z"], filesBelow(first)["data/1.0/data_1.0.7z"]);

    makeRelease(source, "2");
    ASSERT_EQ(publish("2.0", source, first), 0);
    EXPECT_EQ(listedVersions(first + "/bin/versions.xml"), QStringList({"2.0", "1.0"}));
    ASSERT_EQ(publish("2.1-beta", source, first, {"--prefetch"}), 0);
    ASSERT_EQ(publish("2.2-beta", source, first, {"--prefetch"}), 0);
    EXPECT_EQ(listedVersions(first + "/bin/versions.xml"),
              QStringList({"2.0", "2.2-beta*", "2.1-beta*", "1.0"}));
    // Publishing a listed version again moves it rather than listing it twice.
    ASSERT_EQ(publish("1.0", source, first), 0);
    EXPECT_EQ(listedVersions(first + "/bin/versions.xml"),
              QStringList({"1.0", "2.0", "2.2-beta*", "2.1-beta*"}));
    EXPECT_TRUE(QFile::exists(first + "/bin/manifest/2.1-beta.xml"));
    EXPECT_TRUE(QFile::exists(first + "/libclient.so/2.0/libclient.so_2.0.7z"));
}

TEST(Publisher, GroupsPackagesAsToldAndRefusesBadRequests)
{
    TempHome home;
    const QString source = home.root() + "/release";
    makeRelease(source, "g");
    ASSERT_TRUE(writeFile(home.root() + "/packages.txt",
                          "# the launcher and the library travel together\n"
                          "core Korvel.exe libclient.so\n"));
    ASSERT_EQ(publish("1.0", source, home.root() + "/tree", {"--packages", home.root() + "/packages.txt"}), 0);
    const QByteArray manifest = readFile(home.root() + "/tree/bin/manifest/1.0.xml");
    EXPECT_TRUE(manifest.contains("name=\"core\""));
    EXPECT_TRUE(manifest.contains("name=\"data\""));
    EXPECT_FALSE(manifest.contains("name=\"libclient.so\""));

    QByteArray output;
    const QStringList base{"--source", source, "--output", home.root() + "/bad",
                           "--entry-function", "f"};
    EXPECT_NE(runTool(kPublisher, base + QStringList{"--version", "1.0", "--entry-file", "missing.so"},
                      {}, {}, &output), 0);
    // A file beside the source is not in any package: clients would never find it.
    EXPECT_NE(runTool(kPublisher, base + QStringList{"--version", "1.0", "--entry-file", "../packages.txt"},
                      {}, {}, &output), 0);
    EXPECT_NE(runTool(kPublisher, base + QStringList{"--version", "../x", "--entry-file", "libclient.so"},
                      {}, {}, &output), 0);
    EXPECT_NE(runTool(kPublisher, QStringList{"--version", "1.0"}, {}, {}, &output), 0);
    EXPECT_FALSE(QFile::exists(home.root() + "/bad/bin/versions.xml"));
}
