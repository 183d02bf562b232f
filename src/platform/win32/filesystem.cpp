#include "platform/filesystem.h"
#include "platform/win32/handle.h"

#include <QDir>
#include <QDirIterator>
#include <QFileDevice>
#include <QFileInfo>

#include <io.h>

namespace platform {

namespace {

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
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

qint64 treeBytes(const QString &path)
{
    // The directory listing carries each file's size: nothing is opened. The installer's own
    // files have one name each here (shareFile copies).
    qint64 bytes = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        bytes += it.fileInfo().size();
    }
    return bytes;
}

bool isSamePath(const QString &a, const QString &b)
{
    const std::wstring longA = nativePath(longPath(a));
    const std::wstring longB = nativePath(longPath(b));
    // The file system's own rule: ordinal, letter case ignored, no locale.
    return ::CompareStringOrdinal(longA.c_str(), int(longA.size()), longB.c_str(), int(longB.size()), TRUE)
        == CSTR_EQUAL;
}

bool syncFileSystem(const QString &path)
{
    // Flushing every file below path would need write access to files this program never
    // wrote (a log the client holds open, a read-only file) and fail on them; what the program
    // wrote was flushed through its own handles (flushWrittenFile).
    return QFileInfo::exists(path);
}

bool flushWrittenFile(QFileDevice &file)
{
    const intptr_t handle = ::_get_osfhandle(file.handle());
    return handle != -1 && ::FlushFileBuffers(reinterpret_cast<HANDLE>(handle));
}

void startWriteBack(QFileDevice &)
{
    // Nothing cheap to ask for: FlushFileBuffers waits for the disk.
}

bool isNameTaken(const QString &path)
{
    // A link's own attributes: the call does not follow reparse points.
    return ::GetFileAttributesW(nativePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool canReplaceFile(const QString &path)
{
    if (!QFileInfo::exists(path))
        return true;
    // Moving a file aside needs the right to delete it, which a file opened without sharing
    // its deletion refuses; opening it for deletion alone (without changing it) meets the same
    // refusal. A loaded library or a running program shares it.
    const ScopedHandle file(::CreateFileW(nativePath(path).c_str(), DELETE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.isValid();
}

bool moveAside(const QString &path, const QString &aside)
{
    return ::MoveFileExW(nativePath(path).c_str(), nativePath(aside).c_str(), MOVEFILE_WRITE_THROUGH);
}

bool shareFile(const QString &source, const QString &target)
{
    const QFileInfo info(source);
    if (info.isSymLink() || !info.isFile())
        return false;
    const std::wstring to = nativePath(target);
    // A copy, never a second name: see the header.
    if (!::CopyFileW(nativePath(source).c_str(), to.c_str(), TRUE))
        return false;
    ScopedHandle copy(::CreateFileW(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (copy.isValid() && ::FlushFileBuffers(copy.get()))
        return true;
    copy.reset();
    // The copy took the source's attributes, a read-only one too, which would refuse the deletion.
    ::SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(to.c_str());
    return false;
}

bool replaceFile(const QString &from, const QString &to)
{
    return ::MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

} // namespace platform
