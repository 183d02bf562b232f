#include "platform/lock.h"

#include <cstring>
#include <utility>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

void MachineLock::reset()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

MachineLock MachineLock::tryAcquire(const QString &name)
{
    const QByteArray bytes = name.toUtf8();
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    // Abstract namespace: a leading NUL, then the name; no file, no permissions, and the
    // kernel drops the name with the last descriptor, so a crashed holder frees it.
    if (bytes.isEmpty() || size_t(bytes.size()) > sizeof address.sun_path - 1)
        return {};
    std::memcpy(address.sun_path + 1, bytes.constData(), size_t(bytes.size()));
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(bytes.size()));

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        ::close(fd); // EADDRINUSE: someone holds it
        return {};
    }
    return MachineLock(fd);
}

} // namespace platform
