#include "engine/version_catalogue.h"

#include "engine/http_transfer.h"

#include "loopback_fixture.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFileInfo>

#include <chrono>
#include <csignal>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

const QByteArray CataloguePath = "/bin/versions.xml";
const QByteArray Catalogue = "<?xml version=\"1.0\"?>\n"
                             "<Versions><Version version=\"2.0\"/><Version version=\"1.9\"/>"
                             "</Versions>\n";

QStringList names(const VersionCatalogue &catalogue)
{
    QStringList result;
    for (const VersionEntry &entry : catalogue.versions())
        result << entry.version();
    return result;
}

class VersionCatalogueTest : public LoopbackTest {
protected:
    QString cachePath() const { return home.dataDirectory() + "/versions.xml"; }
    // The If-None-Match header lines of the n-th catalogue request.
    QList<QByteArray> conditionLines(int n) const
    {
        QList<QByteArray> lines;
        for (const QByteArray &line : server.requests(CataloguePath).value(n).headerLines) {
            if (line.toLower().startsWith("if-none-match"))
                lines << line;
        }
        return lines;
    }

    RecordingSink sink;
};

TEST_F(VersionCatalogueTest, EntityTagRoundTrip)
{
    server.serve(CataloguePath,
                 {HttpReply::status(503, "busy"), HttpReply::ok(Catalogue, {"ETag: \"tag-1\""}),
                  HttpReply::status(304)});
    VersionCatalogue catalogue(QDir(home.dataDirectory()), &sink);

    // A job connects to the catalogue's server while its window is built, and its first check
    // goes over that connection.
    prepareTransfers(server.baseUrl());
    for (int waited = 0; server.connectionCount() < 1 && waited < 5000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server.connectionCount(), 1);

    // First check on a fresh machine: directory and empty cache made, nothing conditional.
    EXPECT_FALSE(catalogue.checkVersions());
    EXPECT_EQ(server.connectionCount(), 1);
    EXPECT_TRUE(QFileInfo(cachePath()).isFile());
    EXPECT_EQ(readFile(cachePath()), "");
    EXPECT_TRUE(conditionLines(0).isEmpty());
    EXPECT_EQ(sink.reports, (QList<Report>{{1, 0, "", "", "检查版本"}, {1, -1, "", "", "检查版本失败"}}));

    // A tagged 200 stores the tag line and the body byte for byte.
    sink.reports.clear();
    EXPECT_TRUE(catalogue.checkVersions());
    EXPECT_TRUE(conditionLines(1).isEmpty());
    EXPECT_EQ(readFile(cachePath()), "If-None-Match: \"tag-1\"\r\n" + Catalogue);
    EXPECT_EQ(names(catalogue), (QStringList{"2.0", "1.9"}));
    EXPECT_EQ(sink.reports, (QList<Report>{{1, 0, "", "", "检查版本"}}));

    // The next check asks with the stored tag; 304 parses the cache, which stays as it was.
    EXPECT_TRUE(catalogue.checkVersions());
    EXPECT_EQ(conditionLines(2), (QList<QByteArray>{"If-None-Match: \"tag-1\""}));
    EXPECT_EQ(readFile(cachePath()), "If-None-Match: \"tag-1\"\r\n" + Catalogue);
    EXPECT_EQ(names(catalogue), (QStringList{"2.0", "1.9"}));
    ASSERT_FALSE(catalogue.versions().isEmpty());
    EXPECT_EQ(catalogue.versions().at(0).versionDir(), QDir(home.dataDirectory() + "/2.0"));

    // The checks, the manifest after them, a file fetched beside the packages (a patch) and the
    // first package after that come over one connection kept alive. The other transfers go over
    // connections set up while the manifest came (it is slow here): none is opened after it.
    const QByteArray package = "package bytes";
    const QByteArray md5 = QCryptographicHash::hash(package, QCryptographicHash::Md5).toHex();
    QByteArray manifest = "<M>";
    for (const QByteArray name : {"core", "data", "more"}) {
        manifest +=
            "<Package name=\"" + name + "\" version=\"" + name + "-1\" no=\"1\" hash=\"" + md5 + "\"/>";
        // Each transfer lasts long enough for every worker to take one.
        HttpReply slow = HttpReply::ok(package);
        slow.stallMs = 300;
        server.serve("/component/" + name + "/1/" + name + "_1.7z", slow);
    }
    HttpReply slowManifest = HttpReply::ok(manifest + "<Entry file=\"a.so\" function=\"f\"/></M>");
    slowManifest.stallMs = 300;
    server.serve("/bin/manifest/2.0.xml", slowManifest);
    VersionEntry entry = catalogue.versions().at(0);
    TransferLimits limits = entry.transferLimits();
    limits.concurrentTransfers = 3;
    entry.setTransferLimits(limits);
    ASSERT_TRUE(entry.fetchManifest());
    EXPECT_EQ(server.requestCount("/bin/manifest/2.0.xml"), 1);
    EXPECT_EQ(server.connectionCount(), 3);
    ASSERT_TRUE(entry.downloadAfterManifest(entry.packages().at(0)));
    EXPECT_EQ(server.connectionCount(), 3);
    ASSERT_TRUE(entry.downloadPackages());
    EXPECT_EQ(server.requestCount("/component/core/1/core_1.7z"), 1);
    EXPECT_EQ(server.requestCount("/component/more/1/more_1.7z"), 1);
    EXPECT_EQ(server.connectionCount(), 3);
}

TEST_F(VersionCatalogueTest, UntaggedAnswerLeavesExactlyTheBody)
{
    ASSERT_TRUE(writeFile(cachePath(), "If-None-Match: \"old\"\r\n<Versions/>"));
    // The tag header in another letter case is not the tag.
    server.serve(CataloguePath, HttpReply::ok(Catalogue, {"etag: \"lower\""}));
    VersionCatalogue catalogue(QDir(home.dataDirectory()), &sink);

    EXPECT_TRUE(catalogue.checkVersions());
    EXPECT_EQ(conditionLines(0), (QList<QByteArray>{"If-None-Match: \"old\""}));
    EXPECT_EQ(readFile(cachePath()), Catalogue);

    EXPECT_TRUE(catalogue.checkVersions());
    EXPECT_TRUE(conditionLines(1).isEmpty());
}

TEST_F(VersionCatalogueTest, FailedCheckNeitherChangesNorUsesTheCache)
{
    const QByteArray cached = "If-None-Match: \"t\"\r\n" + Catalogue;
    ASSERT_TRUE(writeFile(cachePath(), cached));
    home.setEnv("KORVEL_CATALOGUE_SERVER",
                QStringLiteral("http://127.0.0.1:%1").arg(TestHttpServer::closedPort()).toUtf8());
    VersionCatalogue catalogue(QDir(home.dataDirectory()), &sink);

    EXPECT_FALSE(catalogue.checkVersions());
    EXPECT_TRUE(catalogue.versions().isEmpty());
    EXPECT_EQ(readFile(cachePath()), cached);
    EXPECT_EQ(sink.reports.value(1), (Report{1, -1, "", "", "检查版本失败"}));
    // The cache itself is still good for a launch.
    EXPECT_TRUE(catalogue.loadLocalCatalogue());
}

// A few bytes and then nothing for long (a server that sends 30 bytes every 30 s stays above any
// low-speed floor): the catalogue and the manifests end at their deadline, and the job with them.
TEST_F(VersionCatalogueTest, TricklingCatalogueAndManifestEndAtTheirDeadline)
{
    HttpReply trickle = HttpReply::ok(Catalogue);
    trickle.stallAfterBytes = 10;
    trickle.stallMs = -1;
    server.serve(CataloguePath, trickle);
    server.serve("/bin/manifest/2.0.xml", trickle);
    TransferLimits limits;
    limits.smallFileDeadlineMs = 1000;
    const auto start = std::chrono::steady_clock::now();

    VersionCatalogue catalogue(QDir(home.dataDirectory()), &sink);
    catalogue.setTransferLimits(limits);
    EXPECT_FALSE(catalogue.checkVersions());
    EXPECT_EQ(sink.reports.value(1), (Report{1, -1, "", "", "检查版本失败"}));

    VersionEntry entry(QDir(home.dataDirectory()), &sink, "2.0", QString());
    entry.setTransferLimits(limits);
    sink.reports.clear();
    EXPECT_FALSE(entry.fetchManifest());
    EXPECT_EQ(sink.reports.value(1), (Report{1, -1, "2.0", "", "下载清单错误"}));
    // Generous bound: only "it ended" is asserted; the low-speed floor alone takes a minute.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_F(VersionCatalogueTest, CatalogueThatCannotBeStoredFailsTheCheck)
{
    // A catalogue used but not stored would install a version the launcher, which reads only
    // the cache, never finds.
    QByteArray large = "<Versions><Version version=\"5\"/>";
    large += QByteArray(64 * 1024, ' ') + "</Versions>";
    server.serve(CataloguePath, HttpReply::ok(large, {"ETag: \"big\""}));
    VersionCatalogue catalogue(QDir(home.dataDirectory()), &sink);
    ASSERT_TRUE(QDir().mkpath(home.dataDirectory()));
    const QList<Report> failed{{1, 0, "", "", "检查版本"}, {1, -2, "", "", "打开版本文件失败"}};

    // A file size limit stands in for a full disk: writes past 100 bytes fail.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 100;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool checked = catalogue.checkVersions();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(checked);
    EXPECT_TRUE(catalogue.versions().isEmpty());
    EXPECT_EQ(sink.reports, failed);
    // No tag over a cut body: the next check asks in full.
    EXPECT_EQ(readFile(cachePath()), "");
    sink.reports.clear();
    EXPECT_TRUE(catalogue.checkVersions());
    EXPECT_TRUE(conditionLines(1).isEmpty());
    EXPECT_EQ(names(catalogue), (QStringList{"5"}));

    // The rename into place refused: something took the cache's name while the answer came
    // (a directory here, a file held open elsewhere on Windows).
    HttpReply slow = HttpReply::ok(Catalogue, {"ETag: \"new\""});
    slow.stallMs = 1000;
    server.serve(CataloguePath, slow);
    server.clearRequests();
    sink.reports.clear();
    bool refused = true;
    std::thread check([&] { refused = catalogue.checkVersions(); });
    const bool asked = server.waitForRequests(1, 10000);
    if (asked) {
        QFile::remove(cachePath());
        QDir().mkpath(cachePath() + "/in-the-way");
    }
    check.join();
    ASSERT_TRUE(asked);
    EXPECT_FALSE(refused);
    EXPECT_TRUE(catalogue.versions().isEmpty());
    EXPECT_EQ(sink.reports, failed);
    EXPECT_EQ(QDir(home.dataDirectory()).entryList(QDir::Files), QStringList());
}

TEST_F(VersionCatalogueTest, CutCacheUnderTheCurrentTagIsFetchedAgain)
{
    // The current tag over a body cut by a crash or a full disk: the server rightly answers
    // 304, and only an unconditional request brings back something to parse.
    const QByteArray tagLine = "If-None-Match: \"tag-1\"\r\n";
    for (const QByteArray &cut : {tagLine + Catalogue.left(20), tagLine}) {
        ASSERT_TRUE(writeFile(cachePath(), cut));
        server.clearRequests();
        server.serve(CataloguePath, {HttpReply::status(304), HttpReply::ok(Catalogue, {"ETag: \"tag-1\""})});
        VersionCatalogue catalogue(QDir(home.dataDirectory()), &sink);

        EXPECT_TRUE(catalogue.checkVersions());
        EXPECT_EQ(names(catalogue), (QStringList{"2.0", "1.9"}));
        ASSERT_EQ(server.requestCount(CataloguePath), 2);
        EXPECT_EQ(conditionLines(0), (QList<QByteArray>{"If-None-Match: \"tag-1\""}));
        EXPECT_TRUE(conditionLines(1).isEmpty());
        EXPECT_EQ(readFile(cachePath()), tagLine + Catalogue);
    }

    // An intact cache answered with 304 asks only once.
    server.clearRequests();
    server.serve(CataloguePath, HttpReply::status(304));
    VersionCatalogue catalogue(QDir(home.dataDirectory()), &sink);
    EXPECT_TRUE(catalogue.checkVersions());
    EXPECT_EQ(server.requestCount(CataloguePath), 1);
}

TEST_F(VersionCatalogueTest, CacheIsReplacedWholeNeverRewrittenInPlace)
{
    const QByteArray old = "If-None-Match: \"old\"\r\n" + Catalogue;
    ASSERT_TRUE(writeFile(cachePath(), old));
    // A hard link sees every write made into the file itself; a replacement leaves it alone.
    const QString link = home.root() + "/cache-link";
    ASSERT_EQ(::link(cachePath().toUtf8(), link.toUtf8()), 0);
    server.serve(CataloguePath,
                 HttpReply::ok("<Versions><Version version=\"3\"/></Versions>", {"ETag: \"new\""}));
    VersionCatalogue catalogue(QDir(home.dataDirectory()), &sink);

    EXPECT_TRUE(catalogue.checkVersions());
    EXPECT_EQ(readFile(cachePath()),
              "If-None-Match: \"new\"\r\n<Versions><Version version=\"3\"/></Versions>");
    EXPECT_EQ(readFile(link), old);
    EXPECT_EQ(QDir(home.dataDirectory()).entryList(QDir::Files), QStringList{"versions.xml"});
}

TEST_F(VersionCatalogueTest, UnusableBaseDirectoryOrCacheFile)
{
    ASSERT_TRUE(writeFile(home.root() + "/plain-file", "x"));
    VersionCatalogue blocked(QDir(home.root() + "/plain-file/base"), &sink);
    EXPECT_FALSE(blocked.checkVersions());
    EXPECT_TRUE(sink.reports.isEmpty());

    ASSERT_TRUE(QDir().mkpath(cachePath())); // a directory where the cache file belongs
    VersionCatalogue catalogue(QDir(home.dataDirectory()), &sink);
    EXPECT_FALSE(catalogue.checkVersions());
    EXPECT_EQ(sink.reports, (QList<Report>{{1, 0, "", "", "检查版本"}, {1, -2, "", "", "打开版本文件失败"}}));
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_FALSE(catalogue.loadLocalCatalogue());
}

TEST_F(VersionCatalogueTest, AnswerWithoutUsableVersionFailsWithoutFailureReport)
{
    server.serve(CataloguePath,
                 HttpReply::ok("<Versions><Version/><Version version=\"\"/><version "
                               "version=\"3\"/></Versions>"));
    VersionCatalogue catalogue(QDir(home.dataDirectory()), &sink);
    EXPECT_FALSE(catalogue.checkVersions());
    EXPECT_EQ(sink.reports, (QList<Report>{{1, 0, "", "", "检查版本"}}));
}

TEST_F(VersionCatalogueTest, ParsingKeepsDocumentOrderAndSkipsUnusableVersions)
{
    VersionCatalogue catalogue(QDir(home.dataDirectory()));
    QByteArray xml = "<Root><Version version=\"a\" prefetch=\"true\"/>"
                     "<Group><Version version=\"b\" prefetch=\"TRUE\"><Version version=\"c\" "
                     "prefetch=\"1\"/></Version></Group>"
                     "<Version version=\"d\" prefetch=\"yes\"/><Version prefetch=\"true\"/>"
                     "<Version version=\"..\"/><Version version=\".\"/><Version version=\"x/y\"/>"
                     "<Version version=\"x\\y\"/><Version version=\"/abs\"/>"
                     "<Version version=\"CON\"/><Version version=\"aux.1\"/><Version version=\"Com9\"/>"
                     "<Version version=\"v:1\"/><Version version=\"v.\"/><Version version=\"v*\"/>"
                     "<Version version=\"e\" prefetch=\"true\"/></Root>";
    QBuffer untagged(&xml);
    untagged.open(QIODevice::ReadOnly);
    EXPECT_TRUE(catalogue.parseCatalogue(untagged));
    EXPECT_EQ(names(catalogue), (QStringList{"a", "b", "c", "d", "e"}));
    QList<bool> prefetch;
    for (const VersionEntry &entry : catalogue.versions())
        prefetch << entry.isPrefetch();
    EXPECT_EQ(prefetch, (QList<bool>{true, false, false, false, true}));

    // A broken document keeps what came before the fault; the tag line is not XML.
    ASSERT_TRUE(writeFile(home.dataDirectory() + "/versions.xml",
                          "If-None-Match: W/\"z\"\r\n<V><Version version=\"1\"/><Version "
                          "version=\"2\"/><<broken <Version version=\"3\"/></V>"));
    EXPECT_TRUE(catalogue.loadLocalCatalogue());
    EXPECT_EQ(names(catalogue), (QStringList{"1", "2"}));
}

} // namespace
