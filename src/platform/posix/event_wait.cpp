#include "platform/posix/message_queue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

// The loop's wake-up on Linux: an eventfd that post() writes and poll() watches.
namespace platform {

EventFd::EventFd() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EventFd::~EventFd()
{
    if (m_fd >= 0)
        close(m_fd);
}

void EventFd::signal() const
{
    const std::uint64_t one = 1;
    // A full counter already wakes the loop, so a failed write loses nothing.
    [[maybe_unused]] ssize_t written = write(m_fd, &one, sizeof one);
}

void EventFd::drain() const
{
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t drained = read(m_fd, &count, sizeof count);
}

void waitForEvents(const MessageQueue &queue, int fd, int timeoutMs)
{
    // Without its eventfd (the process ran out of descriptors) a post cannot wake a sleeping
    // loop; polling in short steps keeps posted messages flowing instead of waiting for ever.
    constexpr int withoutWakeUpMs = 10;
    if (queue.wakeFd() < 0 && (timeoutMs < 0 || timeoutMs > withoutWakeUpMs))
        timeoutMs = withoutWakeUpMs;
    pollfd fds[2] = {{queue.wakeFd(), POLLIN, 0}, {fd, POLLIN, 0}};
    const nfds_t count = fd >= 0 ? 2 : 1;
    while (poll(fds, count, timeoutMs) < 0 && errno == EINTR) {
    }
}

} // namespace platform
