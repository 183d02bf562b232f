#include "platform/process.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace platform {

namespace {

// Owns a file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// The places execvp would try for name, computed before fork so that the children only make
// async-signal-safe calls.
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

bool readFully(int fd, char *buffer, size_t size, size_t *got)
{
    *got = 0;
    while (*got < size) {
        const ssize_t n = ::read(fd, buffer + *got, size - *got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        *got += size_t(n);
    }
    return true;
}

[[noreturn]] void execCandidates(const std::vector<const char *> &candidates, char *const argv[],
                                 int reportFd)
{
    // Dispositions and mask are inherited through exec; the new program should start clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s = 1; s < NSIG; ++s) {
        if (s != SIGKILL && s != SIGSTOP)
            signal(s, SIG_DFL);
    }
    int error = ENOENT;
    for (const char *candidate : candidates) {
        execve(candidate, argv, environ);
        // Like execvp: a miss in one PATH entry is not the final word, anything else is.
        if (errno != ENOENT && errno != ENOTDIR)
            error = errno;
    }
    ssize_t ignored = ::write(reportFd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

} // namespace

QString executablePath()
{
    return QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
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
    const std::vector<QByteArray> candidates = programCandidates(encoded.front());
    std::vector<const char *> candidatePointers;
    for (const QByteArray &c : candidates)
        candidatePointers.push_back(c.constData());

    // The report pipe closes on exec, so reading it to its end tells success (nothing but the
    // pid arrived) from failure (the grandchild wrote errno after its last execve).
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    Fd readEnd(fds[0]);
    Fd writeEnd(fds[1]);

    // Double fork: the intermediate process exits at once and we reap it here, so the program
    // is adopted by init and nobody has to wait for it.
    const pid_t middle = ::fork();
    if (middle < 0)
        return -1;
    if (middle == 0) {
        const pid_t child = ::fork();
        if (child == 0)
            execCandidates(candidatePointers, args.data(), writeEnd.get());
        const qint64 pid = child;
        ssize_t ignored = ::write(writeEnd.get(), &pid, sizeof pid);
        (void)ignored;
        _exit(child < 0 ? 1 : 0);
    }
    writeEnd.reset();
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }

    qint64 pid = -1;
    size_t got = 0;
    if (!readFully(readEnd.get(), reinterpret_cast<char *>(&pid), sizeof pid, &got)
        || got != sizeof pid || pid <= 0)
        return -1;
    int execError = 0;
    readFully(readEnd.get(), reinterpret_cast<char *>(&execError), sizeof execError, &got);
    return got == 0 ? pid : -1;
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

QStringList runningExecutables()
{
    QStringList result;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return result;
    while (const dirent *e = ::readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        const QByteArray link = QByteArray("/proc/") + e->d_name + "/exe";
        char target[4096];
        const ssize_t n = ::readlink(link.constData(), target, sizeof target);
        if (n <= 0 || size_t(n) >= sizeof target)
            continue;
        target[n] = '\0';
        // The link names the file's path as it is now; the process runs the inode it started
        // with. When the two differ, the file was deleted or replaced (the kernel then also
        // adds " (deleted)" to the name), and that process no longer runs what the path holds.
        struct stat running, onDisk;
        if (::stat(link.constData(), &running) != 0 || ::stat(target, &onDisk) != 0
            || running.st_dev != onDisk.st_dev || running.st_ino != onDisk.st_ino)
            continue;
        result.append(QFile::decodeName(QByteArray(target, int(n))));
    }
    ::closedir(proc);
    return result;
}

} // namespace platform
