#pragma once

#include <QString>

namespace platform {

// The proxy the system's own settings choose for url, as libcurl takes it ("http://host:port"),
// or an empty string for a direct connection, or where the system keeps no proxy setting that
// libcurl would not find itself. A proxy variable of the environment that libcurl reads for
// url (http_proxy, all_proxy, ...) always wins: there the result is empty too.
// Windows: the user's Internet settings through WinHTTP (a fixed proxy with its bypass list,
// a proxy script, automatic detection). Elsewhere: always empty (libcurl reads http_proxy).
// May block while a proxy script is fetched; call on the thread of the transfer.
QString systemProxyFor(const QString &url);

// Whether the environment names a proxy that libcurl takes for URLs of scheme: http_proxy for
// http (libcurl reads it only in lower case), <scheme>_proxy in either case otherwise, then
// all_proxy. no_proxy is not looked at: a yes may be a proxy libcurl then passes by.
bool environmentNamesProxy(const QString &scheme);

} // namespace platform
