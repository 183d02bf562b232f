#include "job_road.h"

#include "support/installed_layout.h"
#include "support/nginx_server.h"
#include "support/target.h"

#include <QFile>
#include <QFileInfo>

namespace {

// nginx's workers run as an unprivileged user: every directory on the way to the tree must let
// them through.
void openForNginx(const QString &root, const QString &tree)
{
    const QFile::Permissions open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QFile::setPermissions(root, open);
    QFile::setPermissions(tree, open);
}

QList<int> statusesOf(const QList<NginxServer::LogLine> &log, const QByteArray &target)
{
    QList<int> statuses;
    for (const NginxServer::LogLine &line : log) {
        if (line.target == target)
            statuses.append(line.status);
    }
    return statuses;
}

int beaconsOfType(const QList<NginxServer::LogLine> &log, const QByteArray &type)
{
    int count = 0;
    for (const NginxServer::LogLine &line : log) {
        if (line.target.startsWith("/c.gif?") && line.target.endsWith("&type=" + type))
            ++count;
    }
    return count;
}

class NginxRoad : public JobRoad, public ::testing::WithParamInterface<NginxServer::Tls> {};

} // namespace

// Over https nginx offers HTTP/2, whose header names arrive in lower case: the tag must still
// be found and the unchanged catalogue answered 304.
TEST_P(NginxRoad, NginxServesTheReleaseAndAnUnchangedCatalogueIsAnsweredNotModified)
{
    if (!NginxServer::isAvailable())
        GTEST_SKIP() << "nginx is not installed (scripts/setup installs it)";
    // The Windows program's TLS is the system's own (Schannel), which under Wine does not accept
    // the test's own certificate authority: its https road needs a real Windows machine.
    if (GetParam() == NginxServer::Tls::On && target::isWindows())
        GTEST_SKIP() << "Schannel under Wine does not accept the test's certificate authority";
    publish("1.0");
    openForNginx(home.root(), tree());
    NginxServer nginx(tree(), home.root() + "/nginx", GetParam());
    ASSERT_TRUE(nginx.isRunning()) << nginx.startError().constData();
    useServers(nginx.baseUrl());
    if (GetParam() == NginxServer::Tls::On)
        home.setEnv("SSL_CERT_FILE", target::native(target::seen(nginx.caFile())).toUtf8());

    installFromDownload();
    // Each package whole or in pieces (a large one, such as a sanitizer build's program).
    const auto packageRequests = [&] {
        int requests = 0;
        for (const NginxServer::LogLine &line : nginx.accessLog())
            requests += line.target.endsWith(".7z") ? 1 : 0;
        return requests;
    };
    const int installRequests = packageRequests();
    EXPECT_GE(installRequests, 3);
    const QString cache = home.dataDirectory() + "/versions.xml";
    const QByteArray cached = readFile(cache);
    EXPECT_TRUE(cached.startsWith("If-None-Match: \"")) << cached.constData();
    EXPECT_TRUE(cached.endsWith(readFile(tree() + "/bin/versions.xml")));
    EXPECT_EQ(readFile(home.dataDirectory() + "/1.0/manifest.xml"),
              readFile(tree() + "/bin/manifest/1.0.xml"));

    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_EQ(readFile(cache), cached);

    const QList<NginxServer::LogLine> log = nginx.accessLog();
    EXPECT_EQ(statusesOf(log, "/bin/versions.xml"), QList<int>({200, 304}));
    EXPECT_EQ(beaconsOfType(log, "1"), 1);
    EXPECT_EQ(beaconsOfType(log, "2"), 1);
    // The update installs the listed version again from the verified packages in the store:
    // the packages were fetched once, by the install.
    EXPECT_EQ(packageRequests(), installRequests);
}

INSTANTIATE_TEST_SUITE_P(Transport, NginxRoad, ::testing::Values(NginxServer::Tls::Off, NginxServer::Tls::On),
                         [](const ::testing::TestParamInfo<NginxServer::Tls> &info) {
                             return info.param == NginxServer::Tls::On ? "Https" : "Http";
                         });

TEST_F(JobRoad, NginxServesAnUpdateThatFetchesOnlyTheChangedPackages)
{
    if (!NginxServer::isAvailable())
        GTEST_SKIP() << "nginx is not installed (scripts/setup installs it)";
    publish("1.0");
    openForNginx(home.root(), tree());
    NginxServer nginx(tree(), home.root() + "/nginx");
    ASSERT_TRUE(nginx.isRunning()) << nginx.startError().constData();
    useServers(nginx.baseUrl());
    installFromDownload();

    // Only the version file differs: the launcher and the client library are 1.0's packages.
    publish("1.1");
    const QByteArray manifest = readFile(tree() + "/bin/manifest/1.1.xml");
    EXPECT_TRUE(manifest.contains("name=\"Korvel.exe\" version=\"1.0\" no=\"1.0\"")) << manifest.constData();
    EXPECT_TRUE(manifest.contains("name=\"sample_version.txt\" version=\"1.1\" no=\"1.1\""))
        << manifest.constData();
    const int before = nginx.accessLog().size();
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    QMap<QString, QByteArray> installed = filesBelow(home.dataDirectory() + "/1.1");
    EXPECT_EQ(installed.take("manifest.xml"), readFile(tree() + "/bin/manifest/1.1.xml"));
    EXPECT_TRUE(installed == releaseFiles("1.1")) << "1.1 is not whole";
    QList<QByteArray> fetched;
    for (const NginxServer::LogLine &line : nginx.accessLog().mid(before)) {
        if (line.target.endsWith(".7z"))
            fetched.append(line.target);
    }
    EXPECT_EQ(fetched, QList<QByteArray>{"/component/sample_version.txt/1.1/sample_version.txt_1.1.7z"});
    EXPECT_EQ(sampleField(startNormally(installedProgram()), "version"), "1.1");
}
