#pragma once

#include <QString>

#include <utility>

// A named lock shared by every process of the machine, of every user.
namespace platform {

// Holds a machine-wide lock, or nothing. Taken without waiting; released when the object is
// destroyed or reset, or when the holding process ends in any way (a crash or SIGKILL
// included), so a dead holder never blocks the name. The lock is not inherited by processes
// that the holder starts.
// On Linux the name is bound as an abstract-namespace Unix socket, which lives as long as its
// descriptor and is visible to all processes of the network namespace whatever their user.
class MachineLock {
public:
    MachineLock() = default;
    ~MachineLock() { reset(); }
    MachineLock(MachineLock &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    MachineLock &operator=(MachineLock &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    MachineLock(const MachineLock &) = delete;
    MachineLock &operator=(const MachineLock &) = delete;

    // Takes the lock called name (any text; used as UTF-8, at most 107 bytes) if no process
    // holds it. The result is not held when another process (or another object of this one)
    // holds it, or when the name is empty, too long, or the system refuses.
    static MachineLock tryAcquire(const QString &name);

    bool isHeld() const { return m_fd >= 0; }
    explicit operator bool() const { return isHeld(); }
    // Releases the lock now (nothing when not held).
    void reset();

private:
    explicit MachineLock(int fd) : m_fd(fd) {}
    int m_fd = -1; // the socket on Linux; the mutex handle on Windows
};

} // namespace platform
