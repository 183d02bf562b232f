#pragma once

#include "platform/lock.h"

#include <QString>

// The one guard every job (install, update, uninstall) holds while it runs.
extern const char *const InstallGuardName; // "korvel_install"

// Holds the machine-wide job guard, or nothing. Move-only; the guard is released when the
// object goes or release() is called, and by the system when the process ends.
class JobGuard {
public:
    JobGuard() = default;
    bool isHeld() const { return m_lock.isHeld(); }
    explicit operator bool() const { return isHeld(); }
    void release() { m_lock.reset(); }

private:
    friend JobGuard acquireJobGuard(const QString &guardName);
    explicit JobGuard(platform::MachineLock lock) : m_lock(std::move(lock)) {}
    platform::MachineLock m_lock;
};

// The machine-wide name derived from a guard name: "Global\" and the MD5 digest of its UTF-8
// form read as a GUID in little-endian memory order, in braces and lower case
// ("abc" gives "Global\{98500190-d23c-b04f-d696-3f7d28e17f72}").
QString jobGuardName(const QString &guardName);

// Takes the guard of that name without waiting, for every user's processes on the machine.
// The result is not held when another process (or another guard object of this one) holds
// it, or when the system refuses the lock.
JobGuard acquireJobGuard(const QString &guardName);
