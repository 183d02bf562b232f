#include "support/process_scan.h"

#include "support/child_process.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

namespace {

// The program file of a process, without the " (deleted)" the kernel adds; empty for a zombie
// or a process that is gone.
QString programOf(qint64 pid)
{
    QString target = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    const QString deleted = QStringLiteral(" (deleted)");
    if (target.endsWith(deleted))
        target.chop(deleted.size());
    return target;
}

} // namespace

QList<qint64> processesRunningFrom(const QString &dir)
{
    const QString prefix = QDir(dir).absolutePath() + QLatin1Char('/');
    QList<qint64> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (number && programOf(pid).startsWith(prefix))
            found.append(pid);
    }
    return found;
}

bool waitForNoProcessesFrom(const QString &dir, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!processesRunningFrom(dir).isEmpty()) {
        if (timer.elapsed() >= milliseconds)
            return false;
        QThread::msleep(20);
    }
    return true;
}

bool waitForProcessEnd(qint64 pid, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (pidExists(pid) && !programOf(pid).isEmpty()) {
        if (timer.elapsed() >= milliseconds)
            return false;
        QThread::msleep(20);
    }
    return true;
}

int killProcessesFrom(const QString &dir)
{
    const QList<qint64> pids = processesRunningFrom(dir);
    for (qint64 pid : pids)
        killPid(pid);
    return pids.size();
}
