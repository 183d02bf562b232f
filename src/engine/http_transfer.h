#pragma once

#include "engine/curl_owner.h"

#include <QMap>
#include <QString>
#include <QUrl>

class QIODevice;

// The time limits of a transfer, in one place. libcurl alone would wait for ever on a server
// that accepts and then stops sending, and an installer that freezes looks dead to the user.
struct TransferLimits {
    // Giving up on a connection that is not set up after 15 s: a server that slow is as good as
    // absent, and libcurl's own default (300 s) leaves the user staring at a frozen window.
    long connectTimeoutMs = 15000;
    // A transfer that moves fewer than lowSpeedBytesPerSecond bytes per second for
    // lowSpeedSeconds in a row is aborted. 1 byte/s over 30 s cuts only a server that has
    // stopped sending, never a slow but living line; a whole package may take as long as it
    // needs, so there is deliberately no overall time limit.
    long lowSpeedBytesPerSecond = 1;
    long lowSpeedSeconds = 30; // libcurl counts whole seconds
    // libcurl of this era follows redirects without end by default: a server that redirects to
    // itself would keep the installer busy for ever. Real chains are one or two hops.
    long maxRedirects = 10;
    // The header block of one response may hold this many lines and bytes (status line and the
    // empty line that ends it included); a response with more fails the transfer. Every line
    // is kept (responseHeaders), and a server's answer with a few dozen is already a large one.
    int maxHeaderLines = 100;
    int maxHeaderBytes = 32 * 1024;
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
    HttpTransfer(const HttpTransfer &) = delete;
    HttpTransfer &operator=(const HttpTransfer &) = delete;

    // Sends every requestHeaders entry as "name: value" and runs the request (blocking).
    // Returns libcurl's error code when the transfer failed (1 a protocol refused, 6 resolve,
    // 7 connect, 18 body cut short, 23 the target refused a write or a response had more header
    // lines or bytes than TransferLimits allow, 28 a time limit of TransferLimits, 43 the handle
    // could not be created, 47 too many redirects), otherwise the HTTP status of the last
    // response (an error page is then in the target).
    int perform();

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

private:
    CurlEasy m_handle;
    int m_lastResult = 0;
    QIODevice *m_target;
    HeaderCount m_headerCount;
};

// Adds one raw response header line (as the server sent it, CR LF included or not) to headers
// the way HttpTransfer::responseHeaders describes.
void addResponseHeaderLine(const QByteArray &line, QMap<QString, QString> *headers);
