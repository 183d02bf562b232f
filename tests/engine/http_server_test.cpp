#include "support/http_server.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

// Sends raw request bytes on a fresh connection and returns everything the server sent until
// it closed the connection (or nothing more came for a while).
QByteArray exchange(quint16 port, const QByteArray &request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    QByteArray answer;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
        timeval tv{0, 300000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
            answer.append(buf, int(n));
    }
    ::close(fd);
    return answer;
}

} // namespace

// The fixture's own guarantees that the other tests lean on: exact header lines both ways,
// scripts per request count, a failure for what nobody scripted, and a destructor that ends a stall at once.
TEST(TestHttpServer, SendsScriptedLinesAndRecordsRequestsExactly)
{
    TestHttpServer server;
    ASSERT_TRUE(server.isListening());
    server.serve("/a", {HttpReply::ok("first", {"etag:\"x\""}), HttpReply::status(500)});

    const QByteArray first = exchange(server.port(), "GET /a?q=1 HTTP/1.1\r\nHost: h\r\nx-Odd:v\r\n\r\n");
    EXPECT_EQ(first, "HTTP/1.1 200 OK\r\netag:\"x\"\r\nContent-Length: 5\r\n\r\nfirst");
    EXPECT_TRUE(exchange(server.port(), "GET /a HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 500 "));
    EXPECT_TRUE(exchange(server.port(), "GET /a HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 500 "));
    QByteArray unscripted;
    EXPECT_NONFATAL_FAILURE_ON_ALL_THREADS(unscripted = exchange(server.port(), "GET /b HTTP/1.1\r\n\r\n"),
                                           "request nobody scripted: /b");
    EXPECT_TRUE(unscripted.startsWith("HTTP/1.1 404 "));

    const QList<HttpRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 4);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/a?q=1");
    EXPECT_EQ(requests[0].query(), "q=1");
    EXPECT_EQ(requests[0].headerLines, (QList<QByteArray>{"Host: h", "x-Odd:v"}));
    EXPECT_EQ(requests[0].header("X-ODD"), "v");
    EXPECT_EQ(server.requestCount("/a"), 3);
}

TEST(TestHttpServer, CutsBodiesAndStopsDuringAStall)
{
    const auto start = std::chrono::steady_clock::now();
    {
        TestHttpServer server;
        HttpReply cut = HttpReply::ok("0123456789");
        cut.closeAfterBytes = 4;
        server.serve("/cut", cut);
        EXPECT_TRUE(
            exchange(server.port(), "GET /cut HTTP/1.1\r\n\r\n").endsWith("Content-Length: 10\r\n\r\n0123"));

        HttpReply stall = HttpReply::ok("0123456789");
        stall.stallMs = -1;
        stall.stallAfterBytes = 2;
        server.serve("/stall", stall);
        EXPECT_TRUE(exchange(server.port(), "GET /stall HTTP/1.1\r\n\r\n").endsWith("\r\n\r\n01"));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}
