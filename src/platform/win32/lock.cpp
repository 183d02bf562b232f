#include "platform/lock.h"

#include <utility>

#include <windows.h>

// The object keeps the mutex handle in its descriptor field: a kernel handle is a small
// positive number with 32 significant bits, in 32-bit and 64-bit programs alike.

namespace platform {

namespace {

HANDLE toHandle(int value)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}

} // namespace

// Closing the handle ends the hold; the mutex is not released first, so a holder that ends
// without closing leaves it abandoned, which the next taker's zero-time wait reports as held
// until the system drops the object with the last handle.
void MachineLock::reset()
{
    if (m_fd >= 0)
        ::CloseHandle(toHandle(m_fd));
    m_fd = -1;
}

MachineLock MachineLock::tryAcquire(const QString &name)
{
    // The same limit as on Linux, so a name that works on one system works on the other.
    constexpr int maxNameBytes = 107;
    if (name.isEmpty() || name.toUtf8().size() > maxNameBytes)
        return {};
    // Requesting initial ownership: a mutex this call creates is ours at once, so the
    // zero-time wait succeeds; one that existed belongs to its holder and the wait fails.
    const HANDLE mutex = ::CreateMutexW(nullptr, TRUE, name.toStdWString().c_str());
    if (!mutex)
        return {};
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    if (::WaitForSingleObject(mutex, 0) != WAIT_OBJECT_0) {
        ::CloseHandle(mutex);
        return {};
    }
    // A Windows mutex is recursive for its owning thread: a second take on the thread that
    // holds it would succeed. A name that already existed belongs to someone else.
    if (existed) {
        ::ReleaseMutex(mutex);
        ::CloseHandle(mutex);
        return {};
    }
    return MachineLock(static_cast<int>(reinterpret_cast<std::intptr_t>(mutex)));
}

} // namespace platform
