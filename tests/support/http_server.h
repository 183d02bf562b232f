#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// One scripted answer of TestHttpServer.
struct HttpReply {
    QByteArray statusLine = "HTTP/1.1 200 OK"; // sent as given, CR LF appended
    QList<QByteArray> headers;                 // each line sent exactly as given, CR LF appended
    QByteArray body;
    // Adds "Content-Length: <body size>" after the given lines unless one of them already names
    // Content-Length (any letter case), and keeps the connection open for the next request.
    // When false, the server closes the connection after the body (the length is then the close).
    bool autoContentLength = true;
    // Close the connection after this many body bytes (< body size: a body cut off mid-way).
    // -1 sends the whole body.
    int closeAfterBytes = -1;
    // After the header block and stallAfterBytes body bytes, send nothing for stallMs
    // milliseconds (-1: until the server is destroyed), then go on.
    int stallMs = 0;
    int stallAfterBytes = 0;
    // Answers "Range: bytes=N-" and "bytes=N-M" as a file server does: 206 with those bytes of
    // the body and their Content-Range, unless an If-Range names another validator than this reply's ETag or
    // Last-Modified line (then the whole body, 200). Applies to a 200 reply only.
    bool servesRanges = false;

    static HttpReply ok(const QByteArray &body, const QList<QByteArray> &headers = {});
    // statusLine "HTTP/1.1 <code> <reason>" for the usual codes.
    static HttpReply status(int code, const QByteArray &body = {}, const QList<QByteArray> &headers = {});
    // 302 with "Location: <location>".
    static HttpReply redirect(const QByteArray &location);
};

// One request as it arrived.
struct HttpRequest {
    QByteArray method;             // "GET"
    QByteArray target;             // path with query, as sent: "/c.gif?a=1"
    QList<QByteArray> headerLines; // every header line exactly as sent, in order, without CR LF
    qint64 receivedMs = 0;         // wall-clock time it was recorded, ms since the epoch

    QByteArray path() const;  // target without the query
    QByteArray query() const; // the text after '?', empty without one
    // Value of the first header line whose name equals name in any letter case (the text after
    // the colon, blanks trimmed); empty when there is none.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
};

// An HTTP/1.1 server on 127.0.0.1 with an ephemeral port, for one test. It runs on threads of its
// own from construction and is stopped and joined by its destructor (a stalled reply included).
// A request is matched on its path (the target without its query): the replies scripted for
// that path are handed out in order and the last one repeats; a path without a script fails
// the test (and gets 404).
// Every request is recorded before it is answered, so after a blocking client call returns, its
// requests are in requests(). All members are safe to call from any thread.
class TestHttpServer {
public:
    TestHttpServer();
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    bool isListening() const { return m_listenFd >= 0; }
    quint16 port() const { return m_port; }
    QString baseUrl() const; // "http://127.0.0.1:PORT", no trailing slash
    QString url(const QString &path) const { return baseUrl() + path; }

    // Replaces the script of path: every request for it gets reply.
    void serve(const QByteArray &path, const HttpReply &reply);
    // Replaces the script of path: the n-th request gets the n-th reply, the last one repeats.
    void serve(const QByteArray &path, const QList<HttpReply> &replies);

    QList<HttpRequest> requests() const;
    QList<HttpRequest> requests(const QByteArray &path) const; // those whose path() is path
    int requestCount(const QByteArray &path) const { return requests(path).size(); }
    void clearRequests();
    // Waits until at least count requests have arrived in all; false after timeoutMs.
    bool waitForRequests(int count, int timeoutMs) const;

    // Connections accepted so far: a client that keeps its connections alive opens few.
    int connectionCount() const { return m_accepted; }

    // A loopback port that nothing listens on (bound, then closed): connecting is refused.
    static quint16 closedPort();

private:
    void acceptLoop();
    void serveConnection(int fd);
    bool sendReply(int fd, const HttpReply &reply);
    bool pause(int ms) const;
    HttpReply nextReply(const QByteArray &path);

    int m_listenFd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::thread m_acceptThread;
    std::vector<std::thread> m_connections; // only touched by the accept thread, then the dtor

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    QMap<QByteArray, QList<HttpReply>> m_scripts;
    QMap<QByteArray, int> m_served;
    QList<HttpRequest> m_requests;
};
