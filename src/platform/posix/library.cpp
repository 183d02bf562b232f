#include "platform/library.h"

#include <QFile>

#include <cstdlib>
#include <utility>

#include <dlfcn.h>
#include <unistd.h>

namespace platform {

void Library::reset()
{
    if (m_handle)
        ::dlclose(m_handle);
    m_handle = nullptr;
}

Library Library::load(const QString &path)
{
    Library library;
    library.m_handle = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!library.m_handle) {
        const char *error = ::dlerror();
        library.m_error = QString::fromLocal8Bit(error ? error : "dlopen failed");
    }
    return library;
}

void *Library::resolve(const QByteArray &symbol) const
{
    if (!m_handle || symbol.isEmpty() || symbol.contains('\0'))
        return nullptr;
    return ::dlsym(m_handle, symbol.constData());
}

bool setCurrentDirectory(const QString &path)
{
    return ::chdir(QFile::encodeName(path).constData()) == 0;
}

bool setLibrarySearchDirectory(const QString &)
{
    return true;
}

bool isEnvironmentVariableSet(const char *name)
{
    return ::getenv(name) != nullptr;
}

QString environmentVariable(const char *name)
{
    const char *value = ::getenv(name);
    return value ? QString::fromLocal8Bit(value) : QString();
}

bool setEnvironmentVariable(const char *name, const QString &value)
{
    return ::setenv(name, value.toLocal8Bit().constData(), 1) == 0;
}

void unsetEnvironmentVariable(const char *name)
{
    ::unsetenv(name);
}

} // namespace platform
