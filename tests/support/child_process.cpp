#include "support/child_process.h"

#include "support/target.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <csignal>

ChildProcess::~ChildProcess()
{
    if (isRunning())
        kill();
}

bool ChildProcess::start(const QString &program, const QStringList &arguments, const QString &cwd,
                         const QProcessEnvironment &env)
{
    m_process.setProgram(target::launcher(program));
    m_process.setArguments(target::launcherArguments(program, arguments));
    m_process.setProcessEnvironment(env);
    if (!cwd.isEmpty())
        m_process.setWorkingDirectory(cwd);
    m_process.start(QIODevice::ReadOnly);
    return m_process.waitForStarted(10000);
}

bool ChildProcess::waitForFinished(int milliseconds)
{
    if (!isRunning())
        return true;
    const bool finished = m_process.waitForFinished(milliseconds);
    m_out += m_process.readAllStandardOutput();
    m_err += m_process.readAllStandardError();
    return finished;
}

void ChildProcess::kill()
{
    if (!isRunning())
        return;
    ::kill(pid_t(m_process.processId()), SIGKILL);
    m_process.waitForFinished(10000);
}

int ChildProcess::exitStatus() const
{
    if (isRunning() || m_process.exitStatus() != QProcess::NormalExit)
        return -1;
    return m_process.exitCode();
}

QByteArray ChildProcess::standardOutput()
{
    m_out += m_process.readAllStandardOutput();
    return m_out;
}

QByteArray ChildProcess::standardError()
{
    m_err += m_process.readAllStandardError();
    return m_err;
}

QByteArray ChildProcess::readLine(int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        m_out += m_process.readAllStandardOutput();
        const int nl = m_out.indexOf('\n');
        if (nl >= 0) {
            const QByteArray line = m_out.left(nl);
            m_out.remove(0, nl + 1);
            return line;
        }
        const qint64 left = milliseconds - timer.elapsed();
        if (left <= 0 || !isRunning())
            return {};
        m_process.waitForReadyRead(int(qMin<qint64>(left, 200)));
    }
}

int runProgram(const QString &program, const QStringList &arguments, const QString &cwd, QByteArray *out,
               QByteArray *err, const QProcessEnvironment &env, int milliseconds)
{
    ChildProcess child;
    if (!child.start(program, arguments, cwd, env))
        return -2;
    if (!child.waitForFinished(milliseconds)) {
        child.kill();
        return -2;
    }
    if (out)
        *out = child.standardOutput();
    if (err)
        *err = child.standardError();
    return child.exitStatus();
}

bool pidExists(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

bool killPid(qint64 pid)
{
    if (pid <= 0)
        return false;
    ::kill(pid_t(pid), SIGKILL);
    QElapsedTimer timer;
    timer.start();
    // A process adopted by init disappears once init reaps it.
    while (timer.elapsed() < 5000) {
        if (!pidExists(pid) || QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget().isEmpty())
            return true;
        QThread::msleep(20);
    }
    return false;
}

bool waitForFile(const QString &path, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!QFileInfo::exists(path)) {
        if (timer.elapsed() >= milliseconds)
            return false;
        QThread::msleep(20);
    }
    return true;
}
