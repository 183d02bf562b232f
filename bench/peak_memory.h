#pragma once

#include <QByteArray>
#include <QFile>

// The peak resident memory of this process so far (VmHWM), in KiB; -1 when it cannot be read.
inline long long peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}
