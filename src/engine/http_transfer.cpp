#include "engine/http_transfer.h"

#include "engine/signed_release.h"
#include "platform/process.h"
#include "platform/proxy.h"
#include "platform/socket.h"

#include "engine/curl_owner.h"

#include <QIODevice>
#include <QStringList>

#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Every server of this program speaks HTTP. Anything else, first or behind a redirect (FTP,
// a local file, ...), would be a server's way to make it fetch or read what it should not.
constexpr char AllowedProtocols[] = "http,https";
constexpr char HttpsOnly[] = "https";
// Over https libcurl would negotiate HTTP/2 where the server offers it, and HTTP/2 header names
// arrive in lower case: "ETag" would never be found and every catalogue check would fetch the
// whole catalogue. This program speaks HTTP/1.1 with header names as the server spells them.
constexpr long HttpVersion = CURL_HTTP_VERSION_1_1;
// The trust store OpenSSL's own programs take from this variable. libcurl reads only the
// bundle compiled into it, so a user (or a test) who names another one would otherwise be
// refused every https server that store vouches for.
constexpr char TrustStoreVariable[] = "SSL_CERT_FILE";

size_t writeBody(char *data, size_t size, size_t count, void *target)
{
    const qint64 written = static_cast<QIODevice *>(target)->write(data, qint64(size * count));
    // -1 would come back to libcurl as a huge count (or, truncated, as its pause value); any
    // number other than size * count makes libcurl abort with CURLE_WRITE_ERROR, so say 0.
    return written < 0 ? 0 : size_t(written);
}

size_t parseHeaderLine(char *data, size_t size, size_t count, void *counting)
{
    auto *header = static_cast<HttpTransfer::HeaderCount *>(counting);
    const size_t length = size * count;
    // Each response of a redirect chain (and each interim 1xx) begins with its status line.
    if (length >= 5 && memcmp(data, "HTTP/", 5) == 0) {
        header->lines = 0;
        header->bytes = 0;
    }
    ++header->lines;
    header->bytes += int(qMin(length, size_t(header->maxBytes) + 1));
    // Any count other than length makes libcurl stop with CURLE_WRITE_ERROR.
    if (header->lines > header->maxLines || header->bytes > header->maxBytes)
        return 0;
    addResponseHeaderLine(QByteArray::fromRawData(data, int(length)), header->headers);
    return length;
}

qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// libcurl calls this at least once a second, also while nothing arrives.
int watchProgress(void *watching, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t)
{
    auto *watch = static_cast<HttpTransfer::ProgressWatch *>(watching);
    if (watch->cancel && watch->cancel->load())
        return 1;
    if (watch->minAverageBytesPerSecond <= 0)
        return 0;
    const qint64 allowedMs =
        watch->graceMs + qint64(std::max(total, now)) * 1000 / watch->minAverageBytesPerSecond;
    if (monotonicMs() - watch->startMs <= allowedMs)
        return 0;
    watch->tooSlow = true;
    return 1;
}

QByteArray addressBytes(const curl_sockaddr *address)
{
    // libcurl's address holds addrlen bytes from addr on (an IPv6 address outgrows sockaddr).
    return QByteArray(reinterpret_cast<const char *>(&address->addr), int(address->addrlen));
}

curl_socket_t socketFor(const curl_sockaddr *address)
{
    const platform::SocketId socket =
        platform::openSocket(address->family, address->socktype, address->protocol);
    return socket == platform::NoSocket ? CURL_SOCKET_BAD : curl_socket_t(socket);
}

// The sockets libcurl opens while it connects ahead (two where it tries IPv6 and IPv4 at once),
// with their addresses; the one it connected is kept when libcurl lets go of it.
struct AheadOpening {
    struct Opened {
        platform::SocketId socket;
        int family;
        QByteArray address;
    };
    std::vector<Opened> opened;
    platform::SocketId kept = platform::NoSocket;
};

curl_socket_t openAhead(void *context, curlsocktype, curl_sockaddr *address)
{
    const curl_socket_t socket = socketFor(address);
    if (socket != CURL_SOCKET_BAD)
        static_cast<AheadOpening *>(context)->opened.push_back(
            {platform::SocketId(socket), address->family, addressBytes(address)});
    return socket;
}

int closeAhead(void *context, curl_socket_t socket)
{
    if (platform::SocketId(socket) != static_cast<AheadOpening *>(context)->kept)
        platform::closeSocket(platform::SocketId(socket));
    return 0;
}

} // namespace

// libcurl's socket callbacks of a transfer that may go over a socket set up ahead.
struct SocketAheadAccess {
    static curl_socket_t open(void *context, curlsocktype purpose, curl_sockaddr *address)
    {
        auto *connection = static_cast<TransferConnection *>(context);
        SocketAhead &ahead = connection->m_ahead;
        if (purpose == CURLSOCKTYPE_IPCXN && ahead.isOpen() && address->family == ahead.m_family
            && addressBytes(address) == ahead.m_address) {
            connection->m_adopted = std::exchange(ahead.m_socket, platform::NoSocket);
            return curl_socket_t(connection->m_adopted);
        }
        return socketFor(address);
    }
    static int options(void *context, curl_socket_t socket, curlsocktype)
    {
        const auto *connection = static_cast<const TransferConnection *>(context);
        return platform::SocketId(socket) == connection->m_adopted ? CURL_SOCKOPT_ALREADY_CONNECTED
                                                                   : CURL_SOCKOPT_OK;
    }
};

SocketAhead &SocketAhead::operator=(SocketAhead &&other) noexcept
{
    if (this != &other) {
        close();
        m_socket = std::exchange(other.m_socket, platform::NoSocket);
        m_family = other.m_family;
        m_address = std::move(other.m_address);
    }
    return *this;
}

void SocketAhead::close()
{
    platform::closeSocket(std::exchange(m_socket, platform::NoSocket));
}

bool SocketAhead::connect(const QUrl &url, const TransferLimits &limits, CurlShare *share,
                          const std::atomic<bool> *cancel)
{
    close();
    // Through a proxy the transfer's connection is the proxy's: one to the server itself would
    // go unused (and may well be refused on such a network).
    if (platform::environmentNamesProxy(url.scheme()) || !platform::systemProxyFor(url.toString()).isEmpty())
        return false;
    // Plain http to the same host and port: libcurl then stops at the TCP connection, which is
    // all that is wanted here.
    QUrl server;
    server.setScheme(QStringLiteral("http"));
    server.setHost(url.host());
    server.setPort(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
    server.setPath(QStringLiteral("/"));
    const QByteArray address = server.toEncoded();

    // Declared before the handle: libcurl lets go of its sockets when the handle goes.
    AheadOpening opening;
    HttpTransfer::ProgressWatch watch;
    watch.cancel = cancel;
    CurlEasy handle(curl_easy_init());
    CURL *h = handle.get();
    if (!h)
        return false;
    if (share && share->get())
        curl_easy_setopt(h, CURLOPT_SHARE, share->get());
    curl_easy_setopt(h, CURLOPT_URL, address.constData());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    curl_easy_setopt(h, CURLOPT_OPENSOCKETFUNCTION, &openAhead);
    curl_easy_setopt(h, CURLOPT_OPENSOCKETDATA, static_cast<void *>(&opening));
    curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, &closeAhead);
    curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, static_cast<void *>(&opening));
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, static_cast<void *>(&watch));
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &watchProgress);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    if (curl_easy_perform(h) != CURLE_OK)
        return false;
    curl_socket_t connected = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(h, CURLINFO_ACTIVESOCKET, &connected) != CURLE_OK || connected == CURL_SOCKET_BAD)
        return false;
    for (const AheadOpening::Opened &opened : opening.opened) {
        if (opened.socket == platform::SocketId(connected)) {
            opening.kept = opened.socket;
            m_socket = opened.socket;
            m_family = opened.family;
            m_address = opened.address;
        }
    }
    return isOpen();
}

struct ConnectionsAhead::Slot {
    QString server;
    bool taken = false; // under the set's mutex
    bool ended = false; // under the set's mutex
    SocketAhead socket; // under the set's mutex once its set-up has ended
    platform::JoinedThread thread;
};

ConnectionsAhead::ConnectionsAhead() = default;

ConnectionsAhead::~ConnectionsAhead()
{
    m_cancel = true;
    for (auto &slot : m_slots)
        slot->thread.join();
}

void ConnectionsAhead::open(const QStringList &servers, const TransferLimits &limits)
{
    // This libcurl (7.88) calls connect() once more on a socket it was told is connected: only a
    // system that answers that with success can hand such a socket over.
    if (!platform::connectAgainSucceeds())
        return;
    for (const QString &server : servers) {
        m_slots.push_back(std::make_unique<Slot>());
        Slot *slot = m_slots.back().get();
        slot->server = server;
        const bool started = slot->thread.start([this, slot, limits] {
            SocketAhead socket;
            socket.connect(QUrl(slot->server), limits, &m_share, &m_cancel);
            std::lock_guard<std::mutex> lock(m_mutex);
            slot->socket = std::move(socket);
            slot->ended = true;
            m_ready.notify_all();
        });
        if (!started) {
            std::lock_guard<std::mutex> lock(m_mutex);
            slot->ended = true;
        }
    }
}

SocketAhead ConnectionsAhead::take(const QString &server, long waitMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (auto &slot : m_slots) {
        if (slot->taken || slot->server != server)
            continue;
        slot->taken = true;
        m_ready.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return slot->ended; });
        return std::move(slot->socket);
    }
    return SocketAhead();
}

namespace {

// The connection prepareTransfers sets up for the job's first transfer.
struct PreparedConnection {
    std::mutex mutex;
    // Once the job has asked for it, none is set up any more. Under mutex, as ahead is.
    bool asked = true;
    std::unique_ptr<ConnectionsAhead> ahead;
};

PreparedConnection &preparedConnection()
{
    static PreparedConnection prepared;
    return prepared;
}

} // namespace

void prepareTransfers(const QString &firstServer)
{
    if (!firstServer.isEmpty()) {
        std::lock_guard<std::mutex> lock(preparedConnection().mutex);
        preparedConnection().asked = false;
    }
    // Loading libcurl with all it links (TLS, Kerberos, LDAP, ...) took 16-23 ms before the first
    // request could go out, as long as the window took to build.
    platform::startDetachedThread([firstServer] {
        const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
        // Only a libcurl that serialises its own set-up may do it here while a transfer may
        // already start on another thread.
        if (!info || !(info->features & CURL_VERSION_THREADSAFE))
            return;
        curl_global_init(CURL_GLOBAL_DEFAULT);
        PreparedConnection &prepared = preparedConnection();
        std::lock_guard<std::mutex> lock(prepared.mutex);
        if (firstServer.isEmpty() || prepared.asked)
            return;
        prepared.ahead = std::make_unique<ConnectionsAhead>();
        prepared.ahead->open({firstServer}, TransferLimits());
    });
}

SocketAhead takePreparedConnection(const QString &server)
{
    PreparedConnection &prepared = preparedConnection();
    std::unique_ptr<ConnectionsAhead> ahead;
    {
        std::lock_guard<std::mutex> lock(prepared.mutex);
        prepared.asked = true;
        ahead = std::move(prepared.ahead);
    }
    return ahead ? ahead->take(server, ConnectionsAhead::MaxWaitMs) : SocketAhead();
}

TransferConnection::TransferConnection(CurlShare *share) : m_share(share) {}

CURL *TransferConnection::handle()
{
    if (!m_handle)
        m_handle.reset(curl_easy_init());
    return m_handle.get();
}

CURLSH *TransferConnection::share() const
{
    return m_share ? m_share->get() : nullptr;
}

void addResponseHeaderLine(const QByteArray &line, QMap<QString, QString> *headers)
{
    const QStringList parts =
        QString::fromLatin1(line).trimmed().split(QStringLiteral(": "), Qt::KeepEmptyParts);
    // Callers know this parser: they look names up in the server's letter case and expect a
    // value cut at a second ": ". Keep it so.
    headers->insert(parts.at(0), parts.value(1));
}

HttpTransfer::HttpTransfer(const QUrl &url, QIODevice *target, const TransferLimits &limits)
    : m_owned(curl_easy_init()),
      m_handle(m_owned.get()),
      m_target(target),
      m_headerCount{&responseHeaders, limits.maxHeaderLines, limits.maxHeaderBytes}
{
    setOptions(url, limits);
}

HttpTransfer::HttpTransfer(const QUrl &url, QIODevice *target, const TransferLimits &limits,
                           TransferConnection *connection)
    : m_handle(connection->handle()),
      m_connection(connection),
      m_target(target),
      m_headerCount{&responseHeaders, limits.maxHeaderLines, limits.maxHeaderBytes}
{
    if (!m_handle)
        return;
    // Every option back to its default, so nothing of the last transfer leaks into this one;
    // the live connections, the DNS cache and the TLS sessions stay.
    curl_easy_reset(m_handle);
    if (connection->share())
        curl_easy_setopt(m_handle, CURLOPT_SHARE, connection->share());
    setOptions(url, limits);
    if (connection->m_ahead.isOpen()) {
        curl_easy_setopt(m_handle, CURLOPT_OPENSOCKETFUNCTION, &SocketAheadAccess::open);
        curl_easy_setopt(m_handle, CURLOPT_OPENSOCKETDATA, static_cast<void *>(connection));
        curl_easy_setopt(m_handle, CURLOPT_SOCKOPTFUNCTION, &SocketAheadAccess::options);
        curl_easy_setopt(m_handle, CURLOPT_SOCKOPTDATA, static_cast<void *>(connection));
    }
}

void HttpTransfer::setOptions(const QUrl &url, const TransferLimits &limits)
{
    CURL *h = m_handle;
    if (!h)
        return;
    // Fully encoded: the readable form would hand libcurl blanks and raw non-ASCII bytes, and
    // libcurl refuses a URL with a blank. libcurl copies option strings.
    const QByteArray address = url.toEncoded();
    curl_easy_setopt(h, CURLOPT_URL, address.constData());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, AllowedProtocols);
    // What came over https must not be handed to plain http by a redirect, where anyone on the
    // way could answer instead. A build with keys holds to that; one without follows as always.
    const bool keepsHttps = release::isSigning() && url.scheme() == QLatin1String("https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, keepsHttps ? HttpsOnly : AllowedProtocols);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, HttpVersion);
    const QByteArray trustStore = qgetenv(TrustStoreVariable);
    if (!trustStore.isEmpty())
        curl_easy_setopt(h, CURLOPT_CAINFO, trustStore.constData());
    curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void *>(m_target));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, static_cast<void *>(&m_headerCount));
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &parseHeaderLine);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, limits.maxRedirects);
    if (limits.overallTimeoutMs > 0)
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, limits.overallTimeoutMs);
    m_progress.minAverageBytesPerSecond = limits.minAverageBytesPerSecond;
    m_progress.graceMs = limits.averageGraceMs;
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, static_cast<void *>(&m_progress));
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &watchProgress);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, long(limits.pieceBytes));
    // Networks that allow the web only through a proxy set it for every program in the system's
    // settings, which libcurl does not read (it takes http_proxy from the environment, and
    // systemProxyFor leaves that case to it).
    const QString proxy = platform::systemProxyFor(QString::fromLatin1(address));
    if (!proxy.isEmpty()) {
        curl_easy_setopt(h, CURLOPT_PROXY, proxy.toUtf8().constData());
        // Such a proxy usually wants to know the user: Negotiate with the logged-on user's own
        // credentials (the empty name and password), never a password of ours.
        curl_easy_setopt(h, CURLOPT_PROXYAUTH, long(CURLAUTH_NEGOTIATE));
        curl_easy_setopt(h, CURLOPT_PROXYUSERPWD, ":");
    }
}

int HttpTransfer::perform()
{
    CURL *h = m_handle;
    if (!h)
        return CURLE_BAD_FUNCTION_ARGUMENT;

    CurlHeaderList headerList;
    for (auto it = requestHeaders.cbegin(); it != requestHeaders.cend(); ++it)
        headerList.append((it.key() + QStringLiteral(": ") + it.value()).toUtf8().constData());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());

    m_progress.startMs = monotonicMs();
    m_progress.tooSlow = false;
    m_lastResult = curl_easy_perform(h);
    // Too slow on average is a time limit like the others.
    if (m_lastResult == CURLE_ABORTED_BY_CALLBACK && m_progress.tooSlow)
        m_lastResult = CURLE_OPERATION_TIMEDOUT;
    // The list dies at the end of this call: the handle must not keep pointing at it.
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, static_cast<curl_slist *>(nullptr));
    if (m_connection) {
        // libcurl owns the socket it took; one it did not take is of no more use.
        m_connection->m_ahead.close();
        m_connection->m_adopted = platform::NoSocket;
        m_connection->m_lastEndedCleanly = m_lastResult == CURLE_OK;
        curl_off_t requested = 0;
        curl_off_t answered = 0;
        if (curl_easy_getinfo(h, CURLINFO_PRETRANSFER_TIME_T, &requested) == CURLE_OK
            && curl_easy_getinfo(h, CURLINFO_STARTTRANSFER_TIME_T, &answered) == CURLE_OK
            && answered > requested)
            m_connection->m_lastAnswerWait = double(answered - requested) / 1e6;
    }
    if (m_lastResult != CURLE_OK)
        return m_lastResult;

    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    return int(status);
}

int HttpTransfer::currentStatus() const
{
    long status = 0;
    if (m_handle)
        curl_easy_getinfo(m_handle, CURLINFO_RESPONSE_CODE, &status);
    return int(status);
}

qint64 HttpTransfer::announcedLength() const
{
    curl_off_t length = -1;
    if (!m_handle || curl_easy_getinfo(m_handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
        return -1;
    return qint64(length);
}

QString HttpTransfer::responseHeader(const QString &name) const
{
    return responseHeaders.value(name);
}
