#include "platform/proxy.h"

#include <QtGlobal>

namespace platform {

// Desktops here keep no proxy setting of their own that every program shares; libcurl reads
// the environment's http_proxy, https_proxy, all_proxy and no_proxy by itself.
QString systemProxyFor(const QString &)
{
    return QString();
}

bool environmentNamesProxy(const QString &scheme)
{
    if (!qEnvironmentVariableIsEmpty((scheme.toLower() + QStringLiteral("_proxy")).toLatin1().constData()))
        return true;
    if (scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) != 0
        && !qEnvironmentVariableIsEmpty((scheme.toUpper() + QStringLiteral("_PROXY")).toLatin1().constData()))
        return true;
    return !qEnvironmentVariableIsEmpty("all_proxy") || !qEnvironmentVariableIsEmpty("ALL_PROXY");
}

} // namespace platform
