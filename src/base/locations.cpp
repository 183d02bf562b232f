#include "base/locations.h"

#include "platform/filesystem.h"
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

bool isDataDirectory(const QDir &dir)
{
    const QDir data(dataDirectory());
    const QString canonical = dir.canonicalPath();
    const QString canonicalData = data.canonicalPath();
    if (!canonical.isEmpty() && !canonicalData.isEmpty())
        return platform::isSamePath(canonical, canonicalData);
    return platform::isSamePath(QDir::cleanPath(dir.absolutePath()), QDir::cleanPath(data.absolutePath()));
}
