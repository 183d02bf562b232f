#include "support/process_scan.h"

#include "support/child_process.h"
#include "support/target.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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

// Under Wine every program runs as the wine loader, so a process of the program under test is
// told by its prefix (the test's, inside dir) and its Windows command line, which Wine puts in
// place of the arguments; Wine's own services run from C:\windows and are not the program's.
bool isWineProgramBelow(qint64 pid, const QString &dir)
{
    QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
    if (!environ.open(QIODevice::ReadOnly))
        return false;
    const QByteArray wanted = "WINEPREFIX=" + QFile::encodeName(QDir(dir).absolutePath()) + '/';
    bool inPrefix = false;
    for (const QByteArray &variable : environ.readAll().split('\0'))
        inPrefix = inPrefix || variable.startsWith(wanted);
    // The loader is "wine", or "wine64" for the 64-bit stand-in of the program.
    const QString loader = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    if (!inPrefix || !(loader.endsWith(QLatin1String("/wine")) || loader.endsWith(QLatin1String("/wine64"))))
        return false;
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!cmdline.open(QIODevice::ReadOnly))
        return false;
    const QByteArray command = cmdline.readAll().trimmed().toLower();
    return !command.isEmpty() && !command.startsWith("c:\\windows\\") && !command.startsWith("start.exe");
}

} // namespace

QList<qint64> processesRunningFrom(const QString &dir)
{
    if (target::isWindows()) {
        QList<qint64> found;
        for (const QString &entry :
             QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            bool number = false;
            const qint64 pid = entry.toLongLong(&number);
            if (number && isWineProgramBelow(pid, dir))
                found.append(pid);
        }
        return found;
    }
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
