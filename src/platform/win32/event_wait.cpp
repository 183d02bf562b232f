#include "platform/posix/message_queue.h"

#include <windows.h>

// The headless loop's wake-up on Windows: an auto-reset event that post() sets. The event's
// handle sits in the descriptor field: a kernel handle has 32 significant bits in 32-bit and
// 64-bit programs alike (the system keeps it so for 32-bit programs to share), and it is
// sign-extended back.

namespace platform {

namespace {

HANDLE toHandle(int value)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}

} // namespace

EventFd::EventFd()
{
    const HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    m_fd = event ? static_cast<int>(reinterpret_cast<std::intptr_t>(event)) : -1;
}

EventFd::~EventFd()
{
    if (m_fd >= 0)
        ::CloseHandle(toHandle(m_fd));
}

void EventFd::signal() const
{
    if (m_fd >= 0)
        ::SetEvent(toHandle(m_fd));
}

// An auto-reset event is cleared by the wait that saw it.
void EventFd::drain() const {}

void waitForEvents(const MessageQueue &queue, int, int timeoutMs)
{
    // Without its event a post cannot wake a sleeping loop: poll in short steps instead.
    constexpr int withoutWakeUpMs = 10;
    if (queue.wakeFd() < 0) {
        ::Sleep(timeoutMs < 0 || timeoutMs > withoutWakeUpMs ? withoutWakeUpMs : DWORD(timeoutMs));
        return;
    }
    ::WaitForSingleObject(toHandle(queue.wakeFd()), timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
}

} // namespace platform
