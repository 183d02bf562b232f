#include "platform/filesystem.h"
#include "platform/win32/handle.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

namespace platform {

namespace {

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

bool flushFile(const QString &path)
{
    const ScopedHandle file(::CreateFileW(nativePath(path).c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.isValid() && ::FlushFileBuffers(file.get());
}

// path with every existing component in its long form ("PROGRA~1" becomes "Program Files");
// path itself when the system cannot say (the path does not exist).
QString longPath(const QString &path)
{
    const std::wstring native = nativePath(path);
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length = ::GetLongPathNameW(native.c_str(), &buffer[0], DWORD(buffer.size()));
        if (length == 0)
            return path;
        if (length < buffer.size())
            return QDir::fromNativeSeparators(QString::fromWCharArray(buffer.c_str(), int(length)));
        buffer.assign(length, L'\0'); // length counts the terminating zero here
    }
    return path;
}

} // namespace

bool isSamePath(const QString &a, const QString &b)
{
    const std::wstring longA = nativePath(longPath(a));
    const std::wstring longB = nativePath(longPath(b));
    // The file system's own rule: ordinal, letter case ignored, no locale.
    return ::CompareStringOrdinal(longA.c_str(), int(longA.size()), longB.c_str(), int(longB.size()), TRUE)
        == CSTR_EQUAL;
}

// Windows has no call that flushes a whole volume for an unprivileged user, so every file
// below path is flushed on its own: what the caller has just written there reaches the disk.
bool syncFileSystem(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return false;
    if (!info.isDir())
        return flushFile(path);
    bool ok = true;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        ok = flushFile(it.next()) && ok;
    return ok;
}

bool replaceFile(const QString &from, const QString &to)
{
    return ::MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

} // namespace platform
