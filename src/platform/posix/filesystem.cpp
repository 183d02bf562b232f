#include "platform/filesystem.h"

#include <QFile>
#include <QFileDevice>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

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

private:
    int m_fd;
};

} // namespace

bool syncFileSystem(const QString &path)
{
    const FileDescriptor fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    return fd.get() >= 0 && ::syncfs(fd.get()) == 0;
}

bool flushWrittenFile(QFileDevice &)
{
    // syncFileSystem flushes everything at once, far cheaper than one fsync per file.
    return true;
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

bool isSamePath(const QString &a, const QString &b)
{
    return a == b;
}

} // namespace platform
