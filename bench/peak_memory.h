#pragma once

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#else
#include <QByteArray>
#include <QFile>
#endif

#ifdef _WIN32
// This process's memory counters; false when they cannot be read.
inline bool readProcessCounters(PROCESS_MEMORY_COUNTERS *counters)
{
    *counters = PROCESS_MEMORY_COUNTERS{};
    counters->cb = sizeof *counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), counters, sizeof *counters);
}
#endif

// The peak resident memory of this process so far, in KiB; -1 when it cannot be read. On Linux
// the kernel's high-water mark (VmHWM); on Windows the peak working set, which Wine takes from
// the same figure of the process that hosts the program.
inline long long peakResidentKiB()
{
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters;
    return readProcessCounters(&counters) ? static_cast<long long>(counters.PeakWorkingSetSize / 1024) : -1;
#else
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
#endif
}

// The peak of the memory this process committed for itself alone (Windows' private bytes, which
// the image and the system's libraries do not count in), in KiB; -1 where the system has no
// such figure.
inline long long peakPrivateKiB()
{
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters;
    return readProcessCounters(&counters) ? static_cast<long long>(counters.PeakPagefileUsage / 1024) : -1;
#else
    return -1;
#endif
}
