#pragma once

#include <QString>

class QUrl;

// Windows' rules for the proxy settings it keeps (Internet Options, a proxy script's answer
// through WinHTTP), in one place for every system, so that they can be checked anywhere.
namespace platform {

// The proxy for scheme out of a proxy list: entries "[scheme=][http://]host[:port]" separated
// by ';', ',' or blanks. An entry for the scheme (in any letter case) wins over one for every
// scheme, wherever it stands; a SOCKS entry, one for another scheme or one whose server is not
// plain http does not serve. Returned as "http://host[:port]"; empty when nothing serves.
QString proxyFromList(const QString &list, const QString &scheme);

// Whether url is an exception of a proxy bypass list (same separators): "<local>" stands for
// every host name without a dot; other entries are host names or addresses with '*' wildcards,
// in any letter case, optionally with a scheme ("https://host", which then must be url's) and a
// port ("host:443", compared with url's port or its scheme's default one).
bool isBypassed(const QUrl &url, const QString &bypassList);

} // namespace platform
