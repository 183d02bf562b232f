#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A process a test starts and always stops: the destructor kills it by its PID (SIGKILL) and
// reaps it if it is still running. Output is captured separately (stdout, stderr).
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts program with arguments (argv[1..]). cwd empty: the test's current directory.
    // env: the whole environment of the child (default: the test's current environment,
    // which TempHome has already redirected). False when it did not start within 10 s.
    bool start(const QString &program, const QStringList &arguments, const QString &cwd = {},
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
    // Waits until the process ends; false on time-out (the process then keeps running).
    bool waitForFinished(int milliseconds = 20000);
    // Kills the process by its PID with SIGKILL and reaps it.
    void kill();

    qint64 pid() const { return m_process.processId(); }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    // The exit status byte (0..255) after a normal end; -1 after a crash or kill, or while
    // running. A program returning -1 gives 255: compare with exitStatusOf(-1).
    int exitStatus() const;
    // Everything the process wrote so far (read without blocking).
    QByteArray standardOutput();
    QByteArray standardError();
    // Blocks until a line (ending in '\n') has arrived on stdout; returns it without the
    // newline, or an empty array on time-out or end of the process.
    QByteArray readLine(int milliseconds = 20000);

private:
    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
};

// What the exit status of a process is when its program returned code.
constexpr int exitStatusOf(int code)
{
    return code & 0xff;
}

// Runs program to its end and returns its exit status (as ChildProcess::exitStatus), or -2 on
// start failure or time-out (the process is then killed). Output goes to out/err when given.
int runProgram(const QString &program, const QStringList &arguments, const QString &cwd = {},
               QByteArray *out = nullptr, QByteArray *err = nullptr,
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
               int milliseconds = 20000);

// Sends SIGKILL to a process the test did not start itself (e.g. one the program under test
// started) and gives it up to 5 s to disappear. Returns whether it is gone.
bool killPid(qint64 pid);
// Whether a process with this id exists (zombies included).
bool pidExists(qint64 pid);
// Waits up to milliseconds for the file to exist; returns whether it does.
bool waitForFile(const QString &path, int milliseconds = 20000);
