#include "platform/process.h"

#include "platform/command_line.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include <dirent.h>
#include <malloc.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace platform {

namespace {

// The places execvp would try for name.
std::vector<QByteArray> programCandidates(const QByteArray &name)
{
    if (name.contains('/'))
        return {name};
    QByteArray path = qgetenv("PATH");
    if (!qEnvironmentVariableIsSet("PATH"))
        path = "/bin:/usr/bin";
    std::vector<QByteArray> candidates;
    for (const QByteArray &dir : path.split(':'))
        candidates.push_back((dir.isEmpty() ? QByteArray(".") : dir) + '/' + name);
    return candidates;
}

// Creates a new directory that did not exist before (never one another process might have
// prepared), readable by its owner only; returns its path, or empty when the system refuses.
QString createUniqueTempDirectory(const QString &prefix)
{
    const QDir temp(QDir::tempPath());
    const quint32 start = QRandomGenerator::global()->bounded(0x10000u);
    for (quint32 k = 0; k < 0x10000u; ++k) {
        const QString digits =
            QStringLiteral("%1").arg((start + k) & 0xffffu, 4, 16, QLatin1Char('0')).toUpper();
        const QString path = temp.filePath(prefix.left(3) + digits + QStringLiteral(".tmp"));
        if (::mkdir(QFile::encodeName(path).constData(), 0700) == 0)
            return path;
        if (errno != EEXIST)
            return QString(); // not a name clash: the directory refuses
    }
    return QString();
}

bool copyInto(const QString &sourcePath, QFile &target)
{
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    char buffer[64 * 1024];
    for (;;) {
        const qint64 n = source.read(buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (target.write(buffer, n) != n)
            return false;
    }
}

// The path the process behind exeLink (/proc/PID/exe) was started from; empty when it cannot
// be read. Once that file is unlinked or replaced the kernel names it with " (deleted)"
// appended; the mark is dropped, since the process still runs what was started from that path
// (as a running program's file is never replaced on Windows). A file that is really called so
// keeps its name: the mark counts only when the path as read is not the running file.
QString startedFrom(const QByteArray &exeLink)
{
    char target[4096];
    const ssize_t n = ::readlink(exeLink.constData(), target, sizeof target);
    if (n <= 0 || size_t(n) >= sizeof target)
        return {};
    QByteArray path(target, int(n));
    static const QByteArray deletedMark = " (deleted)";
    if (path.endsWith(deletedMark)) {
        struct stat running, onDisk;
        if (::stat(exeLink.constData(), &running) != 0 || ::stat(path.constData(), &onDisk) != 0
            || running.st_dev != onDisk.st_dev || running.st_ino != onDisk.st_ino)
            path.chop(deletedMark.size());
    }
    return QFile::decodeName(path);
}

} // namespace

QString executablePath()
{
    return startedFrom("/proc/self/exe");
}

qint64 startDetachedProcess(const QStringList &argv)
{
    if (argv.isEmpty() || argv.first().isEmpty())
        return -1;

    std::vector<QByteArray> encoded;
    for (const QString &a : argv)
        encoded.push_back(QFile::encodeName(a));
    std::vector<char *> args;
    for (QByteArray &a : encoded)
        args.push_back(a.data());
    args.push_back(nullptr);

    // The new program starts with no blocked and no ignored signals, whatever ours are.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signalSet;
    sigemptyset(&signalSet);
    posix_spawnattr_setsigmask(&attributes, &signalSet);
    sigfillset(&signalSet);
    posix_spawnattr_setsigdefault(&attributes, &signalSet);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    // posix_spawn (not posix_spawnp) for each PATH candidate: glibc reports a failed exec as
    // the call's result, and nothing falls back to running a non-program through /bin/sh.
    // The search goes on where execvp's does: past a missing file, a directory that cannot be
    // searched, and a file we may not execute.
    pid_t pid = -1;
    int rc = ENOENT;
    for (const QByteArray &candidate : programCandidates(encoded.front())) {
        rc = ::posix_spawn(&pid, candidate.constData(), nullptr, &attributes, args.data(), environ);
        if (rc == 0
            || (rc != ENOENT && rc != ENOTDIR && rc != EACCES && rc != ESTALE && rc != ENODEV
                && rc != ETIMEDOUT))
            break;
    }
    posix_spawnattr_destroy(&attributes);
    if (rc != 0)
        return -1;

    // Nobody waits for the program, so a detached thread does, to keep it from becoming a
    // zombie if it ends before we do. If we end first, it is adopted like any orphan.
    startDetachedThread([pid] {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    });
    return pid;
}

qint64 startCommandLine(const QString &commandLine)
{
    return startDetachedProcess(splitCommandLine(commandLine));
}

bool startTemporaryCopy(const QString &program, const QString &argumentLine)
{
    // In a directory of its own, as on Windows, where the copy's directory is where the system
    // looks for its libraries first; here it keeps the copy apart from whatever else lies in
    // the shared temporary directory.
    const QString directory = createUniqueTempDirectory(QFileInfo(program).baseName());
    if (directory.isEmpty())
        return false;
    const QString path = QDir(directory).filePath(QFileInfo(program).fileName());
    QFile copy(path);
    // A half-written program must never be started.
    bool ready =
        copy.open(QIODevice::WriteOnly | QIODevice::NewOnly) && copyInto(program, copy) && copy.flush();
    // Closed before the start: a file still open for writing cannot be executed.
    copy.close();
    ready = ready && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const bool started = ready && startDetachedProcess(QStringList(path) + splitArguments(argumentLine)) > 0;
    // The started copy keeps running from its open image; the names can go at once.
    QFile::remove(path);
    QDir().rmdir(directory);
    return started;
}

bool runsElevatedAboveItsUser()
{
    return false;
}

void exitProcessNow(int code)
{
    std::fflush(nullptr);
    ::_exit(code);
}

void prepareHeap()
{
    ::mallopt(M_ARENA_MAX, 4);
}

void sleepMilliseconds(int milliseconds)
{
    if (milliseconds <= 0)
        return;
    timespec remaining{milliseconds / 1000, long(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

bool startDetachedThread(std::function<void()> work)
{
    auto *owned = new std::function<void()>(std::move(work));
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int rc = pthread_create(
        &thread, &attributes,
        [](void *p) -> void * {
            auto *w = static_cast<std::function<void()> *>(p);
            (*w)();
            delete w;
            return nullptr;
        },
        owned);
    pthread_attr_destroy(&attributes);
    if (rc != 0)
        delete owned;
    return rc == 0;
}

bool JoinedThread::start(std::function<void()> work)
{
    static_assert(sizeof(pthread_t) <= sizeof(m_handle), "a thread's identity fits the handle");
    if (m_started)
        return false;
    m_work = std::move(work);
    pthread_t thread;
    const int rc = pthread_create(
        &thread, nullptr,
        [](void *p) -> void * {
            (*static_cast<std::function<void()> *>(p))();
            return nullptr;
        },
        &m_work);
    if (rc != 0) {
        m_work = nullptr;
        return false;
    }
    m_handle = std::uintptr_t(thread);
    m_started = true;
    return true;
}

void JoinedThread::join()
{
    if (!m_started)
        return;
    pthread_join(pthread_t(m_handle), nullptr);
    m_started = false;
    m_work = nullptr;
}

QStringList runningExecutables()
{
    QStringList result;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return result;
    while (const dirent *e = ::readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        const QString path = startedFrom(QByteArray("/proc/") + e->d_name + "/exe");
        if (!path.isEmpty())
            result.append(path);
    }
    ::closedir(proc);
    return result;
}

} // namespace platform
