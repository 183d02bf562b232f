#include "platform/proxy_list.h"

#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

namespace platform {

namespace {

QStringList listEntries(const QString &list)
{
    static const QRegularExpression separators(QStringLiteral("[;,\\s]+"));
    return list.split(separators, Qt::SkipEmptyParts);
}

// The port url is reached on: its own, or its scheme's default one.
int portOf(const QUrl &url)
{
    const bool secure = url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    return url.port(secure ? 443 : 80);
}

} // namespace

QString proxyFromList(const QString &list, const QString &scheme)
{
    QString general;
    for (const QString &entry : listEntries(list)) {
        const int equals = entry.indexOf(QLatin1Char('='));
        QString server = equals < 0 ? entry : entry.mid(equals + 1);
        if (server.isEmpty())
            continue;
        if (!server.contains(QLatin1String("://")))
            server.prepend(QLatin1String("http://"));
        if (!server.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
            continue;
        if (equals < 0) {
            if (general.isEmpty())
                general = server;
        } else if (entry.left(equals).compare(scheme, Qt::CaseInsensitive) == 0) {
            return server;
        }
    }
    return general;
}

bool isBypassed(const QUrl &url, const QString &bypassList)
{
    const QString host = url.host();
    const QString hostAndPort = host + QLatin1Char(':') + QString::number(portOf(url));
    for (QString entry : listEntries(bypassList)) {
        if (entry.compare(QLatin1String("<local>"), Qt::CaseInsensitive) == 0) {
            if (!host.contains(QLatin1Char('.')) && !host.contains(QLatin1Char(':')))
                return true;
            continue;
        }
        const int scheme = entry.indexOf(QLatin1String("://"));
        if (scheme >= 0) {
            if (entry.left(scheme).compare(url.scheme(), Qt::CaseInsensitive) != 0)
                continue;
            entry = entry.mid(scheme + 3);
        }
        const QRegularExpression pattern(QRegularExpression::wildcardToRegularExpression(entry),
                                         QRegularExpression::CaseInsensitiveOption);
        if (pattern.match(host).hasMatch() || pattern.match(hostAndPort).hasMatch())
            return true;
    }
    return false;
}

} // namespace platform
