#include "base/locations.h"

#include "platform/process.h"

#include <QStandardPaths>

QFileInfo programFileInfo()
{
    return QFileInfo(platform::executablePath());
}

QString dataDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
        + QStringLiteral("/ostrel/korvel");
}
