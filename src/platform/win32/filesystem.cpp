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

} // namespace

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
