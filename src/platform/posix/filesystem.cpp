#include "platform/filesystem.h"

#include <QFile>
#include <QFileDevice>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace platform {
namespace {

// Owns one file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(FileDescriptor &&other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        if (this != &other) {
            if (m_fd >= 0)
                ::close(m_fd);
            m_fd = other.m_fd;
            other.m_fd = -1;
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int get() const { return m_fd; }
    // Closes now, so that a failure to write back (a full disk, a network file system) is seen.
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd >= 0 && ::close(fd) == 0;
    }

private:
    int m_fd;
};

// A new file at to (never through a link, never over an existing file) with the bytes and the
// permission bits of the regular file from. Nothing is left at to on failure.
bool copyFile(const QByteArray &from, const QByteArray &to)
{
    FileDescriptor in(::open(from.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat source {};
    if (in.get() < 0 || ::fstat(in.get(), &source) != 0 || !S_ISREG(source.st_mode))
        return false;
    FileDescriptor out(::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (out.get() < 0)
        return false;
    std::vector<char> buffer(size_t(1) << 20);
    bool copied = true;
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            copied = n == 0;
            break;
        }
        for (ssize_t done = 0; copied && done < n;) {
            const ssize_t written = ::write(out.get(), buffer.data() + done, size_t(n - done));
            if (written < 0 && errno == EINTR)
                continue;
            copied = written > 0;
            done += written;
        }
        if (!copied)
            break;
    }
    // The mode set explicitly: the one open gives passes through the umask. Never a set-id bit.
    copied = copied && ::fchmod(out.get(), source.st_mode & 0777) == 0;
    if (!out.close() || !copied) {
        ::unlink(to.constData());
        return false;
    }
    return true;
}

} // namespace

bool syncFileSystem(const QString &path)
{
    const FileDescriptor fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    return fd.get() >= 0 && ::syncfs(fd.get()) == 0;
}

bool flushWrittenFile(QFileDevice &file)
{
    // syncFileSystem flushes everything at once, far cheaper than one fsync per file.
    startWriteBack(file);
    return true;
}

void startWriteBack(QFileDevice &file)
{
    if (file.handle() >= 0)
        ::sync_file_range(file.handle(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool isNameTaken(const QString &path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

// rename(2) replaces a file whoever has it open or mapped.
bool canReplaceFile(const QString &)
{
    return true;
}

bool moveAside(const QString &path, const QString &aside)
{
    const QByteArray from = QFile::encodeName(path);
    const QByteArray to = QFile::encodeName(aside);
    // A second name keeps path whole for whoever opens it until the new file replaces it.
    return ::link(from.constData(), to.constData()) == 0 || ::rename(from.constData(), to.constData()) == 0;
}

bool replaceFile(const QString &from, const QString &to)
{
    // rename(2) replaces an existing file atomically; QFile::rename refuses to.
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool shareFile(const QString &source, const QString &target)
{
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(target);
    struct stat info {};
    if (::lstat(from.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    if (::link(from.constData(), to.constData()) == 0)
        return true;
    // Only where links as such are refused; an existing target or a missing folder fails a
    // copy as well.
    const int error = errno;
    if (error != EXDEV && error != EPERM && error != EMLINK && error != EOPNOTSUPP)
        return false;
    return copyFile(from, to);
}

qint64 treeBytes(const QString &path)
{
    QByteArray root = QFile::encodeName(path);
    char *roots[] = {root.data(), nullptr};
    const std::unique_ptr<FTS, int (*)(FTS *)> tree(::fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, nullptr),
                                                    ::fts_close);
    if (!tree)
        return 0;
    // The versions of an installation share their unchanged files as hard links.
    std::set<std::pair<dev_t, ino_t>> counted;
    qint64 bytes = 0;
    while (const FTSENT *entry = ::fts_read(tree.get())) {
        if (entry->fts_info != FTS_F)
            continue;
        const struct stat &status = *entry->fts_statp;
        if (status.st_nlink > 1 && !counted.insert({status.st_dev, status.st_ino}).second)
            continue;
        bytes += status.st_size;
    }
    return bytes;
}

bool isSamePath(const QString &a, const QString &b)
{
    return a == b;
}

} // namespace platform
