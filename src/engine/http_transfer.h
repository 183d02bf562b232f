#pragma once

#include "engine/curl_owner.h"
#include "engine/transfer_limits.h"
#include "platform/socket.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class QIODevice;

class CurlShare;

class SocketAhead;

// Sets libcurl up (loads it where it is loaded on first use, and its TLS library) on a thread of
// its own, so that a job's first transfer need not wait for it: called while the job's window is
// being built, the two overlap. Then, given firstServer (a base URL), it connects to that server
// for the job's first transfer (takePreparedConnection). Harmless when the system gives no
// thread or libcurl's set-up is not safe beside other calls (the first transfer then sets it up
// as before).
void prepareTransfers(const QString &firstServer = QString());
// The connection the last prepareTransfers set up to server, once it is set up (waiting a
// moment for it); none when there is none. Asked once: a connection not set up by then never is.
SocketAhead takePreparedConnection(const QString &server);

// A connection to a server set up before the transfer that will use it is known: a job opens
// them while it still reads its manifest, so that its first transfers do not each wait a round
// trip for one. Only the TCP connection: a TLS handshake, where there is one, is the
// transfer's. Handed to a TransferConnection, it carries that connection's next transfer where
// that transfer goes to the same address, and is closed otherwise. Move-only; closes what it
// still holds.
class SocketAhead {
public:
    SocketAhead() = default;
    ~SocketAhead() { close(); }
    SocketAhead(SocketAhead &&other) noexcept { *this = std::move(other); }
    SocketAhead &operator=(SocketAhead &&other) noexcept;
    SocketAhead(const SocketAhead &) = delete;
    SocketAhead &operator=(const SocketAhead &) = delete;

    // Connects to url's host and port (blocking, at most limits.connectTimeoutMs; never through a
    // proxy, whose connection would not be the transfer's). share (may be null): the DNS cache
    // the transfers will look the name up in too. Stops soon once *cancel is true (may be null).
    // False when no connection came about.
    bool connect(const QUrl &url, const TransferLimits &limits, CurlShare *share,
                 const std::atomic<bool> *cancel);
    bool isOpen() const { return m_socket != platform::NoSocket; }
    void close();

private:
    friend class TransferConnection;
    friend struct SocketAheadAccess;

    platform::SocketId m_socket = platform::NoSocket;
    // Where it is connected, in the form libcurl names an address it is about to connect to.
    int m_family = 0;
    QByteArray m_address;
};

// Connections to the mirrors set up while a job still reads its manifest, each on a thread of
// its own: the transfers that follow take them instead of each waiting a round trip for a
// connection of their own. Safe to use from any thread; not moved. What is not taken is closed
// when it goes (a set-up still running is stopped and awaited).
class ConnectionsAhead {
public:
    ConnectionsAhead();
    ~ConnectionsAhead();
    ConnectionsAhead(const ConnectionsAhead &) = delete;
    ConnectionsAhead &operator=(const ConnectionsAhead &) = delete;

    // Starts setting up one connection for each entry of servers (base URLs; one may come
    // several times).
    void open(const QStringList &servers, const TransferLimits &limits);
    // One of those to server not handed out before, once it is set up, waiting for it at most
    // waitMs; none (an empty one) when there is no such one or it was not set up in time.
    SocketAhead take(const QString &server, long waitMs);
    // A connection that is not up after this long is most likely stuck, where a new one may get
    // through: no transfer waits longer for one.
    static constexpr long MaxWaitMs = 1000;

private:
    struct Slot;

    CurlShare m_share; // their DNS look-ups; outlives every slot's thread
    std::atomic<bool> m_cancel{false};
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<std::unique_ptr<Slot>> m_slots;
};

// A libcurl handle that one thread performs one transfer after another on: the connections it
// opened stay alive between them (a server that keeps them open is asked again without a new
// connection and a new slow start), and so do its DNS cache and TLS sessions. Given a share,
// these two are shared with the other connections on it. Used by one thread at a time.
class TransferConnection {
public:
    // share: not owned; outlives this object. Null shares nothing.
    explicit TransferConnection(CurlShare *share = nullptr);
    // Made at the first call: a connection that never transfers costs nothing (the launcher
    // reads a catalogue it never fetches). Null when libcurl could not make one.
    CURL *handle();
    CURLSH *share() const;
    // Whether its last transfer ended cleanly, so that the connection it used most likely
    // stays open for the next: libcurl closes one whose transfer failed or was stopped. False
    // before any transfer.
    bool lastEndedCleanly() const { return m_lastEndedCleanly; }
    // How long its last transfer waited from its request to the first byte of the answer, in
    // seconds: about a round trip to the server, over a connection kept alive. 0 before any.
    double lastAnswerWait() const { return m_lastAnswerWait; }
    // The next transfer goes over socket where it connects to the address socket reached;
    // socket is closed after that transfer either way (a connection left unused for long may
    // have been dropped by its server meanwhile).
    void adopt(SocketAhead socket) { m_ahead = std::move(socket); }
    // Whether no transfer has gone over it yet.
    bool isNew() const { return !m_handle; }

private:
    friend class HttpTransfer;
    friend struct SocketAheadAccess;

    CurlEasy m_handle;
    SocketAhead m_ahead;
    platform::SocketId m_adopted = platform::NoSocket; // the socket m_ahead gave the transfer running
    CurlShare *m_share;
    bool m_lastEndedCleanly = false;
    double m_lastAnswerWait = 0;
};

// One blocking HTTP/1.1 GET through one libcurl easy handle (over https too, so that header
// names keep the server's letter case). The body is written into the caller's
// device as it arrives; the response headers are collected; the result is the final HTTP status
// or libcurl's error code. Not copied; built, performed once and destroyed on one thread.
class HttpTransfer {
public:
    // target: opened for writing by the caller, kept alive and open until this object is gone;
    // not owned. Redirects are followed. Only http and https URLs are fetched, first and after
    // every redirect (any other gives libcurl's code 1); in a build with release keys a transfer
    // that begins over https is never led on to plain http (code 1 as well).
    HttpTransfer(const QUrl &url, QIODevice *target, const TransferLimits &limits = {});
    // The same over connection's handle (all its options set anew; its live connections, DNS
    // cache and TLS sessions kept). connection: not owned, outlives this object, used by no
    // other transfer meanwhile.
    HttpTransfer(const QUrl &url, QIODevice *target, const TransferLimits &limits,
                 TransferConnection *connection);
    HttpTransfer(const HttpTransfer &) = delete;
    HttpTransfer &operator=(const HttpTransfer &) = delete;

    // Sends every requestHeaders entry as "name: value" and runs the request (blocking).
    // Returns libcurl's error code when the transfer failed (1 a protocol refused, 6 resolve,
    // 7 connect, 18 body cut short, 23 the target refused a write or a response had more header
    // lines or bytes than TransferLimits allow, 28 a time limit of TransferLimits, 43 the handle
    // could not be created, 47 too many redirects), otherwise the HTTP status of the last
    // response (an error page is then in the target).
    int perform();

    // While perform runs (from the target's first write on) or after it: the status of the
    // response being read; 0 before any.
    int currentStatus() const;
    // While perform runs (from the target's first write on): the body length the response
    // announced, -1 when it announced none.
    qint64 announcedLength() const;

    // A transfer that sees *cancel true ends soon after with libcurl's code 42. cancel: not
    // owned, outlives the transfer; set before perform.
    void setCancelFlag(const std::atomic<bool> *cancel) { m_progress.cancel = cancel; }

    // The value stored under exactly name (case-sensitive), or an empty string.
    QString responseHeader(const QString &name) const;

    // The CURLcode of the last perform; 0 before it.
    int lastResult() const { return m_lastResult; }

    // Header name to value; insert before perform.
    QMap<QString, QString> requestHeaders;
    // Filled by perform. Every header line of every response in a redirect chain goes in:
    // the line is trimmed and split at the first ": " (a later ": " and what follows it are
    // dropped); a line without ": " becomes a key with an empty value, the status line and the
    // empty line that ends a block included. Names keep the server's letter case; a later line
    // replaces the value of an earlier one with the same name.
    QMap<QString, QString> responseHeaders;

    // What the header callback keeps count of, for the response it is reading.
    struct HeaderCount {
        QMap<QString, QString> *headers;
        int maxLines;
        int maxBytes;
        int lines = 0;
        int bytes = 0;
    };
    // What the progress callback needs: the cancel flag and the average-rate rule.
    struct ProgressWatch {
        const std::atomic<bool> *cancel = nullptr;
        long minAverageBytesPerSecond = 0;
        long graceMs = 0;
        qint64 startMs = 0;
        bool tooSlow = false;
    };

private:
    void setOptions(const QUrl &url, const TransferLimits &limits);

    CurlEasy m_owned; // null over a TransferConnection
    CURL *m_handle;
    TransferConnection *m_connection = nullptr;
    int m_lastResult = 0;
    QIODevice *m_target;
    HeaderCount m_headerCount;
    ProgressWatch m_progress;
};

// Adds one raw response header line (as the server sent it, CR LF included or not) to headers
// the way HttpTransfer::responseHeaders describes.
void addResponseHeaderLine(const QByteArray &line, QMap<QString, QString> *headers);
