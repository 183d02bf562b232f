#include "support/http_server.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

// How often blocked threads look at the stop flag.
constexpr int PollSliceMs = 20;

QByteArray reasonPhrase(int code)
{
    switch (code) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// The value of the reply's header line named name (any letter case), trimmed; empty when none.
QByteArray replyHeader(const HttpReply &reply, const QByteArray &name)
{
    for (const QByteArray &line : reply.headers) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

// What a file server answers to request with reply's file (HttpReply::servesRanges).
HttpReply rangeReply(const HttpReply &reply, const HttpRequest &request)
{
    const QByteArray range = request.header("Range");
    const int dash = range.indexOf('-');
    if (!reply.statusLine.startsWith("HTTP/1.1 200") || !range.startsWith("bytes=") || dash < 0)
        return reply;
    bool number = false;
    const qint64 from = range.mid(6, dash - 6).toLongLong(&number);
    if (!number || from < 0 || from >= reply.body.size())
        return reply;
    qint64 last = reply.body.size() - 1;
    if (dash + 1 < range.size()) {
        last = range.mid(dash + 1).toLongLong(&number);
        if (!number || last < from)
            return reply;
        last = qMin<qint64>(last, reply.body.size() - 1);
    }
    const QByteArray validator = request.header("If-Range");
    if (request.hasHeader("If-Range") && validator != replyHeader(reply, "ETag")
        && validator != replyHeader(reply, "Last-Modified"))
        return reply;
    HttpReply partial = reply;
    partial.statusLine = "HTTP/1.1 206 Partial Content";
    partial.body = reply.body.mid(int(from), int(last + 1 - from));
    partial.headers.append("Content-Range: bytes " + QByteArray::number(from) + '-' + QByteArray::number(last)
                           + '/' + QByteArray::number(reply.body.size()));
    partial.stallAfterBytes = qMax(0, reply.stallAfterBytes - int(from));
    return partial;
}

bool namesContentLength(const QByteArray &line)
{
    const int colon = line.indexOf(':');
    return colon > 0 && line.left(colon).trimmed().toLower() == "content-length";
}

} // namespace

HttpReply HttpReply::ok(const QByteArray &body, const QList<QByteArray> &headers)
{
    return status(200, body, headers);
}

HttpReply HttpReply::status(int code, const QByteArray &body, const QList<QByteArray> &headers)
{
    HttpReply r;
    r.statusLine = "HTTP/1.1 " + QByteArray::number(code) + ' ' + reasonPhrase(code);
    r.headers = headers;
    r.body = body;
    return r;
}

HttpReply HttpReply::redirect(const QByteArray &location)
{
    return status(302, {}, {"Location: " + location});
}

QByteArray HttpRequest::path() const
{
    const int q = target.indexOf('?');
    return q < 0 ? target : target.left(q);
}

QByteArray HttpRequest::query() const
{
    const int q = target.indexOf('?');
    return q < 0 ? QByteArray() : target.mid(q + 1);
}

QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (const QByteArray &line : headerLines) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

bool HttpRequest::hasHeader(const QByteArray &name) const
{
    for (const QByteArray &line : headerLines) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).toLower() == name.toLower())
            return true;
    }
    return false;
}

TestHttpServer::TestHttpServer()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(fd);
        return;
    }
    m_listenFd = fd;
    m_port = ntohs(addr.sin_port);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer()
{
    m_stop = true;
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    for (std::thread &t : m_connections)
        t.join();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

void TestHttpServer::serve(const QByteArray &path, const HttpReply &reply)
{
    serve(path, QList<HttpReply>{reply});
}

void TestHttpServer::serve(const QByteArray &path, const QList<HttpReply> &replies)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scripts[path] = replies;
    m_served[path] = 0;
}

QList<HttpRequest> TestHttpServer::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

QList<HttpRequest> TestHttpServer::requests(const QByteArray &path) const
{
    QList<HttpRequest> result;
    for (const HttpRequest &r : requests()) {
        if (r.path() == path)
            result.append(r);
    }
    return result;
}

void TestHttpServer::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

bool TestHttpServer::waitForRequests(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_requests.size() >= count; });
}

quint16 TestHttpServer::closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

void TestHttpServer::acceptLoop()
{
    while (!m_stop) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, PollSliceMs) <= 0)
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++m_accepted;
        m_connections.emplace_back([this, fd] { serveConnection(fd); });
    }
}

// Sleeps ms milliseconds (-1: until stopped); false when the server is being stopped.
bool TestHttpServer::pause(int ms) const
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!m_stop) {
        if (ms >= 0 && std::chrono::steady_clock::now() >= end)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

HttpReply TestHttpServer::nextReply(const QByteArray &path)
{
    const auto it = m_scripts.constFind(path);
    // A request nobody expected is a fault of the program (or of the test's script) that a
    // silent 404 would let pass as a missing file: a test that wants a 404 scripts it.
    if (it == m_scripts.constEnd() || it->isEmpty()) {
        ADD_FAILURE() << "request nobody scripted: " << path.constData();
        return HttpReply::status(404, "not found");
    }
    int &served = m_served[path];
    const HttpReply reply = it->at(qMin(served, it->size() - 1));
    ++served;
    return reply;
}

void TestHttpServer::serveConnection(int fd)
{
    QByteArray pending;
    bool open = true;
    while (open && !m_stop) {
        const int end = pending.indexOf("\r\n\r\n");
        if (end < 0) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, PollSliceMs) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            pending.append(buf, int(n));
            continue;
        }
        // Only GET without a body is expected: the head is the whole request.
        const QList<QByteArray> lines = pending.left(end).split('\n');
        pending.remove(0, end + 4);
        HttpRequest request;
        const QList<QByteArray> words = lines.value(0).trimmed().split(' ');
        request.method = words.value(0);
        request.target = words.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            QByteArray line = lines.at(i);
            if (line.endsWith('\r'))
                line.chop(1);
            request.headerLines.append(line);
        }
        HttpReply reply;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            request.receivedMs = QDateTime::currentMSecsSinceEpoch();
            m_requests.append(request);
            reply = nextReply(request.path());
        }
        if (reply.servesRanges)
            reply = rangeReply(reply, request);
        m_arrived.notify_all();
        open = sendReply(fd, reply);
    }
    ::close(fd);
}

// Sends one scripted reply; false when the connection must end after it.
bool TestHttpServer::sendReply(int fd, const HttpReply &reply)
{
    QByteArray head = reply.statusLine + "\r\n";
    bool hasLength = false;
    for (const QByteArray &line : reply.headers) {
        head += line + "\r\n";
        hasLength = hasLength || namesContentLength(line);
    }
    if (reply.autoContentLength && !hasLength)
        head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    head += "\r\n";
    if (!sendAll(fd, head.constData(), size_t(head.size())))
        return false;

    const int bodySize =
        reply.closeAfterBytes >= 0 ? qMin(reply.closeAfterBytes, reply.body.size()) : reply.body.size();
    int sent = 0;
    if (reply.stallMs != 0) {
        const int before = qMin(reply.stallAfterBytes, bodySize);
        if (!sendAll(fd, reply.body.constData(), size_t(before)) || !pause(reply.stallMs))
            return false;
        sent = before;
    }
    if (!sendAll(fd, reply.body.constData() + sent, size_t(bodySize - sent)))
        return false;
    return reply.autoContentLength && reply.closeAfterBytes < 0;
}
