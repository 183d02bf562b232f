#include "app/job_guard.h"

#include <QCryptographicHash>
#include <QUuid>

const char *const InstallGuardName = "korvel_install";

QString jobGuardName(const QString &guardName)
{
    const QByteArray d = QCryptographicHash::hash(guardName.toUtf8(), QCryptographicHash::Md5);
    const auto b = [&d](int i) { return uchar(d.at(i)); };
    // The digest as a GUID structure lies in memory: the first three fields little-endian.
    // The name must stay exactly this, since other copies of the program derive it too.
    const QUuid uuid(uint(b(0)) | uint(b(1)) << 8 | uint(b(2)) << 16 | uint(b(3)) << 24,
                     ushort(b(4) | b(5) << 8), ushort(b(6) | b(7) << 8), b(8), b(9), b(10), b(11), b(12),
                     b(13), b(14), b(15));
    return QStringLiteral("Global\\%1").arg(uuid.toString());
}

JobGuard acquireJobGuard(const QString &guardName)
{
    return JobGuard(platform::MachineLock::tryAcquire(jobGuardName(guardName)));
}
