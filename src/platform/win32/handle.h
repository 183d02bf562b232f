#pragma once

#include <windows.h>

#include <utility>

// Owns one kernel handle (file, mutex, snapshot, event). Move-only; closes it on destruction.
// Both null and INVALID_HANDLE_VALUE mean "none", since Windows calls use either for failure.
namespace platform {

class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE handle) : m_handle(handle) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(ScopedHandle &&other) noexcept : m_handle(other.release()) {}
    ScopedHandle &operator=(ScopedHandle &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;

    bool isValid() const { return m_handle && m_handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return m_handle; }
    HANDLE release() { return std::exchange(m_handle, nullptr); }
    void reset(HANDLE handle = nullptr)
    {
        if (isValid())
            ::CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle = nullptr;
};

} // namespace platform
