#pragma once

#include <QByteArray>
#include <QString>

#include <utility>

// Loading shared libraries into the process, and the process-wide state a loaded library
// sees: current directory and environment. Everything here runs on the main thread before
// other threads exist (changing the environment while other threads read it is not safe).
namespace platform {

// Owns one loaded shared library. Move-only; the destructor unloads it unless released.
class Library {
public:
    Library() = default;
    ~Library() { reset(); }
    Library(Library &&other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)), m_error(std::move(other.m_error))
    {
    }
    Library &operator=(Library &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, nullptr);
            m_error = std::move(other.m_error);
        }
        return *this;
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    // Loads the library file at path with all its symbols bound now. Dependencies are found
    // the system's way (on Linux through the library's own RUNPATH, e.g. $ORIGIN). The result
    // is not loaded when the file is missing or not a loadable library; errorString() says why.
    static Library load(const QString &path);

    bool isLoaded() const { return m_handle != nullptr; }
    // The address of the exported symbol whose name is exactly these bytes; null when it is
    // not exported or nothing is loaded.
    void *resolve(const QByteArray &symbol) const;
    // The system's text for the last failure of load(), for diagnostics only.
    QString errorString() const { return m_error; }
    // Gives up ownership: the library then stays loaded for the rest of the process's life.
    void keepLoadedForever() { m_handle = nullptr; }
    // Unloads now (nothing when not loaded).
    void reset();

private:
    void *m_handle = nullptr;
    QString m_error;
};

// Changes the process's current directory; false when the system refuses (the directory is
// then unchanged).
bool setCurrentDirectory(const QString &path);

// Makes path the first place where libraries loaded later look for their own dependencies
// (Windows' DLL directory). Linux has no such process-wide setting: a library finds its
// dependencies through its own RUNPATH, and this does nothing there. False when refused.
bool setLibrarySearchDirectory(const QString &path);

// Environment variables; on Linux values are decoded from and encoded to the locale's encoding
// (UTF-8), on Windows they are UTF-16 throughout.
bool isEnvironmentVariableSet(const char *name);
QString environmentVariable(const char *name); // empty when unset
bool setEnvironmentVariable(const char *name, const QString &value);
void unsetEnvironmentVariable(const char *name);

} // namespace platform
