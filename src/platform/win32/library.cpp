#include "platform/library.h"

#include <QDir>

#include <utility>
#include <vector>

#include <windows.h>

namespace platform {

namespace {

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

QString lastErrorText()
{
    const DWORD error = ::GetLastError();
    wchar_t *text = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                              | FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString result =
        length ? QString::fromWCharArray(text, int(length)).trimmed() : QStringLiteral("error %1").arg(error);
    ::LocalFree(text);
    return result;
}

} // namespace

void Library::reset()
{
    if (m_handle)
        ::FreeLibrary(static_cast<HMODULE>(m_handle));
    m_handle = nullptr;
}

Library Library::load(const QString &path)
{
    Library library;
    // The altered search path looks for the library's own dependencies next to it first.
    library.m_handle = ::LoadLibraryExW(nativePath(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library.m_handle)
        library.m_error = lastErrorText();
    return library;
}

void *Library::resolve(const QByteArray &symbol) const
{
    if (!m_handle || symbol.isEmpty() || symbol.contains('\0'))
        return nullptr;
    return reinterpret_cast<void *>(::GetProcAddress(static_cast<HMODULE>(m_handle), symbol.constData()));
}

bool setCurrentDirectory(const QString &path)
{
    return ::SetCurrentDirectoryW(nativePath(path).c_str());
}

bool setLibrarySearchDirectory(const QString &path)
{
    return ::SetDllDirectoryW(nativePath(path).c_str());
}

bool isEnvironmentVariableSet(const char *name)
{
    const std::wstring wide = QString::fromLatin1(name).toStdWString();
    ::SetLastError(ERROR_SUCCESS);
    wchar_t probe[1];
    return ::GetEnvironmentVariableW(wide.c_str(), probe, 1) != 0
        || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

QString environmentVariable(const char *name)
{
    const std::wstring wide = QString::fromLatin1(name).toStdWString();
    // A value is at most 32767 units long; ask for the size first rather than guess.
    const DWORD size = ::GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0)
        return QString();
    std::vector<wchar_t> buffer(size);
    const DWORD length = ::GetEnvironmentVariableW(wide.c_str(), buffer.data(), size);
    return length < size ? QString::fromWCharArray(buffer.data(), int(length)) : QString();
}

bool setEnvironmentVariable(const char *name, const QString &value)
{
    return ::SetEnvironmentVariableW(QString::fromLatin1(name).toStdWString().c_str(),
                                     value.toStdWString().c_str());
}

void unsetEnvironmentVariable(const char *name)
{
    ::SetEnvironmentVariableW(QString::fromLatin1(name).toStdWString().c_str(), nullptr);
}

} // namespace platform
