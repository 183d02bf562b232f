#include "engine/servers.h"

#include <QtGlobal>

namespace {

QString baseUrl(const char *variable, const char *compiledIn)
{
    QString url = qEnvironmentVariable(variable);
    if (url.isEmpty())
        url = QString::fromUtf8(compiledIn);
    while (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    return url;
}

} // namespace

namespace servers {

QString catalogue()
{
    return baseUrl("KORVEL_CATALOGUE_SERVER", KORVEL_DEFAULT_CATALOGUE_SERVER);
}
QString component()
{
    return baseUrl("KORVEL_COMPONENT_SERVER", KORVEL_DEFAULT_COMPONENT_SERVER);
}
QString package()
{
    return baseUrl("KORVEL_PACKAGE_SERVER", KORVEL_DEFAULT_PACKAGE_SERVER);
}
QString statistics()
{
    return baseUrl("KORVEL_STATS_SERVER", KORVEL_DEFAULT_STATS_SERVER);
}

} // namespace servers
