#include "engine/http_transfer.h"

#include "loopback_fixture.h"

#include <QBuffer>
#include <QFile>

#include <chrono>

namespace {

class HttpTransferTest : public LoopbackTest {
protected:
    // Runs one GET of path into body and keeps its headers in headers.
    int get(const QString &path, const TransferLimits &limits = {})
    {
        body.clear();
        QBuffer buffer(&body);
        buffer.open(QIODevice::WriteOnly);
        HttpTransfer transfer(QUrl(server.url(path)), &buffer, limits);
        transfer.requestHeaders = requestHeaders;
        const int result = transfer.perform();
        headers = transfer.responseHeaders;
        etag = transfer.responseHeader(QStringLiteral("ETag"));
        return result;
    }

    QMap<QString, QString> requestHeaders;
    QByteArray body;
    QMap<QString, QString> headers;
    QString etag;
};

TEST_F(HttpTransferTest, HeaderLinesAreSplitOnlyAtColonBlankAndKeepTheirCase)
{
    server.serve(
        "/tagged",
        HttpReply::ok("abc", {"ETag: \"v1\"", "X-Time: 12: 30: 00", "X-Bare:value", "Server: loop"}));
    server.serve("/lower", HttpReply::ok("abc", {"etag: \"v1\""}));

    EXPECT_EQ(get("/tagged"), 200);
    EXPECT_EQ(body, "abc");
    EXPECT_EQ(etag, "\"v1\"");
    EXPECT_EQ(headers.value("X-Time"), "12");
    EXPECT_TRUE(headers.contains("X-Bare:value"));
    EXPECT_EQ(headers.value("X-Bare:value"), "");
    EXPECT_TRUE(headers.contains("HTTP/1.1 200 OK"));
    EXPECT_TRUE(headers.contains(""));
    EXPECT_EQ(headers.value("Content-Length"), "3");

    EXPECT_EQ(get("/lower"), 200);
    EXPECT_EQ(etag, "");
    EXPECT_EQ(headers.value("etag"), "\"v1\"");
}

TEST_F(HttpTransferTest, RequestHeadersAreSentAsNameColonBlankValue)
{
    server.serve("/v", HttpReply::ok("x"));
    requestHeaders.insert("If-None-Match", "\"t 1\"");
    ASSERT_EQ(get("/v"), 200);

    const HttpRequest request = server.requests().value(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.headerLines.count("If-None-Match: \"t 1\""), 1);
    EXPECT_FALSE(request.hasHeader("Range"));
}

TEST_F(HttpTransferTest, RedirectGivesTheLastStatusAndMergesBothHeaderBlocks)
{
    HttpReply moved = HttpReply::redirect(server.url("/new").toUtf8());
    moved.headers << "X-First: 1"
                  << "X-Both: old";
    server.serve("/old", moved);
    server.serve("/new", HttpReply::ok("new body", {"X-Both: new", "X-Second: 2"}));

    EXPECT_EQ(get("/old"), 200);
    EXPECT_EQ(body, "new body");
    EXPECT_EQ(headers.value("X-First"), "1");
    EXPECT_EQ(headers.value("X-Second"), "2");
    EXPECT_EQ(headers.value("X-Both"), "new");
    EXPECT_TRUE(headers.contains("HTTP/1.1 302 Found"));
    EXPECT_EQ(server.requests().size(), 2);

    server.serve("/loop", HttpReply::redirect(server.url("/loop").toUtf8()));
    EXPECT_EQ(get("/loop"), 47); // CURLE_TOO_MANY_REDIRECTS, not an endless loop
    EXPECT_EQ(server.requestCount("/loop"), TransferLimits().maxRedirects + 1);
}

TEST_F(HttpTransferTest, ResponseWithTooManyHeaderLinesOrBytesEndsWith23)
{
    // Status line, the given lines, Content-Length and the empty line: 10 lines with 7 given.
    TransferLimits ten;
    ten.maxHeaderLines = 10;
    QList<QByteArray> seven;
    for (int i = 0; i < 7; ++i)
        seven << "X-Line-" + QByteArray::number(i) + ": v";
    server.serve("/seven", HttpReply::ok("body", seven));
    server.serve("/eight", HttpReply::ok("body", seven + QList<QByteArray>{"X-Line-7: v"}));
    EXPECT_EQ(get("/seven", ten), 200);
    EXPECT_EQ(body, "body");
    EXPECT_EQ(get("/eight", ten), 23);
    EXPECT_TRUE(body.isEmpty());

    // The count is per response: each block of a redirect chain may hold as many.
    HttpReply moved = HttpReply::redirect(server.url("/seven").toUtf8());
    moved.headers += seven.mid(1);
    server.serve("/moved", moved);
    EXPECT_EQ(get("/moved", ten), 200);

    // Bytes: one line longer than the whole block may be.
    TransferLimits small;
    small.maxHeaderBytes = 1000;
    server.serve("/long", HttpReply::ok("body", {"X-Long: " + QByteArray(1000, 'l')}));
    EXPECT_EQ(get("/long", small), 23);
    EXPECT_EQ(get("/long"), 200);

    // What a server that never ends its header block sends, under the program's own limits.
    QList<QByteArray> flood;
    for (int i = 0; i < 5000; ++i)
        flood << "Set-Cookie: c" + QByteArray::number(i) + "=1";
    server.serve("/flood", HttpReply::ok("body", flood));
    EXPECT_EQ(get("/flood"), 23);
    EXPECT_LE(headers.size(), TransferLimits().maxHeaderLines);
}

TEST_F(HttpTransferTest, OnlyHttpAndHttpsAreSpokenFirstOrAfterARedirect)
{
    // An FTP redirect to this very server would otherwise be followed (FTP spoken to an HTTP
    // server), and a file URL would read a local file into the target.
    server.serve("/to-ftp",
                 HttpReply::redirect(QStringLiteral("ftp://127.0.0.1:%1/x").arg(server.port()).toUtf8()));
    EXPECT_EQ(get("/to-ftp"), 1); // CURLE_UNSUPPORTED_PROTOCOL
    EXPECT_EQ(server.requests().size(), 1);

    const QString local = home.root() + "/local.txt";
    ASSERT_TRUE(writeFile(local, "local secret"));
    server.serve("/to-file", HttpReply::redirect(QUrl::fromLocalFile(local).toEncoded()));
    EXPECT_EQ(get("/to-file"), 1);

    QByteArray read;
    QBuffer buffer(&read);
    buffer.open(QIODevice::WriteOnly);
    HttpTransfer direct(QUrl::fromLocalFile(local), &buffer);
    EXPECT_EQ(direct.perform(), 1);
    EXPECT_TRUE(read.isEmpty());
}

TEST_F(HttpTransferTest, ErrorStatusKeepsTheErrorPageInTheTarget)
{
    server.serve("/gone", HttpReply::status(404, "<h1>no</h1>"));
    EXPECT_EQ(get("/gone"), 404);
    EXPECT_EQ(body, "<h1>no</h1>");
}

TEST_F(HttpTransferTest, TransportFailuresGiveLibcurlCodes)
{
    QByteArray sink;
    QBuffer buffer(&sink);
    buffer.open(QIODevice::WriteOnly);
    HttpTransfer refused(QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(TestHttpServer::closedPort())),
                         &buffer);
    EXPECT_EQ(refused.perform(), 7);
    EXPECT_EQ(refused.lastResult(), 7);
    EXPECT_TRUE(refused.responseHeaders.isEmpty());

    HttpReply cut = HttpReply::ok(QByteArray(1000, 'x'));
    cut.closeAfterBytes = 100;
    server.serve("/cut", cut);
    EXPECT_EQ(get("/cut"), 18); // CURLE_PARTIAL_FILE: a short body is never a success
}

TEST_F(HttpTransferTest, TargetThatRefusesTheWriteEndsWith23)
{
    server.serve("/p", HttpReply::ok(QByteArray(5000, 'p')));
    const QString path = home.root() + "/readonly";
    ASSERT_TRUE(writeFile(path, "old"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)); // write() fails as on a full disk

    HttpTransfer transfer(QUrl(server.url("/p")), &file);
    EXPECT_EQ(transfer.perform(), 23);
    file.close();
    EXPECT_EQ(readFile(path), "old");
}

TEST_F(HttpTransferTest, StalledServerEndsInTheTimeOutCode)
{
    HttpReply stall = HttpReply::ok(QByteArray(1000, 's'));
    // Nothing of the body ever comes: libcurl averages its speed over a few seconds, so bytes
    // sent before the stall would only make the test slower.
    stall.stallMs = -1; // until the server goes
    server.serve("/stall", stall);

    TransferLimits shortLimits;
    shortLimits.connectTimeoutMs = 2000;
    shortLimits.lowSpeedBytesPerSecond = 1;
    shortLimits.lowSpeedSeconds = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get("/stall", shortLimits), 28);
    // Generous bound: only "it did not hang" is asserted, not a timing.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(body.isEmpty());
}

} // namespace
