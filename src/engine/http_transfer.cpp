#include "engine/http_transfer.h"

#include "engine/signed_release.h"
#include "platform/process.h"
#include "platform/proxy.h"

#include "engine/curl_owner.h"

#include <QIODevice>
#include <QStringList>

#include <chrono>
#include <cstring>

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

} // namespace

void prepareTransfers()
{
    // Loading libcurl with all it links (TLS, Kerberos, LDAP, ...) took 16-23 ms before the first
    // request could go out, as long as the window took to build.
    platform::startDetachedThread([] {
        const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
        // Only a libcurl that serialises its own set-up may do it here while a transfer may
        // already start on another thread.
        if (info && (info->features & CURL_VERSION_THREADSAFE))
            curl_global_init(CURL_GLOBAL_DEFAULT);
    });
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
