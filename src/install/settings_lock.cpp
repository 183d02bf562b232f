#include "install/settings_lock.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QThread>

namespace {

// A living writer fills its lock within microseconds of creating it.
constexpr unsigned long FillWaitMs = 100;

} // namespace

void removeAbandonedLock(const QSettings &settings)
{
    const QString lock = settings.fileName() + QLatin1String(".lock");
    const QFileInfo seen(lock);
    if (!seen.isFile() || seen.size() != 0)
        return;
    QThread::msleep(FillWaitMs);
    const QFileInfo again(lock);
    if (again.isFile() && again.size() == 0)
        QFile::remove(lock);
}
