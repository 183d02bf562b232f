#include "install/archive_reader.h"

#include "install/sdk_support.h"

#include <7z.h>
#include <7zCrc.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QSaveFile>
#include <QStringList>

#include <climits>
#include <cstring>
#include <vector>

namespace {

// The look-ahead buffer: the decoder never asks the device for more than this at once.
constexpr size_t kLookBufferSize = 1 << 14;
constexpr quint32 kNoFolder = 0xFFFFFFFF;
// The decoder addresses a folder with 32-bit sizes in the design this program follows;
// anything larger is refused rather than trusted.
constexpr quint64 kMaxFolderSize = 0xFFFFFFFFull;

// 7-Zip marks attributes that carry a unix mode in their high half with this bit.
constexpr quint32 kUnixExtension = 0x8000;
constexpr quint32 kUnixTypeMask = 0xF000;
constexpr quint32 kUnixSymlink = 0xA000;
constexpr quint32 kUnixOwnerExecute = 0100;
constexpr quint32 kUnixGroupExecute = 0010;
constexpr quint32 kUnixOtherExecute = 0001;

// The decoder's ISeekInStream over a QIODevice. vt must stay the first member: the SDK hands
// back a pointer to it.
struct DeviceStream {
    ISeekInStream vt;
    QIODevice *device;

    static SRes read(ISeekInStreamPtr p, void *buffer, size_t *size)
    {
        QIODevice *device = reinterpret_cast<const DeviceStream *>(p)->device;
        char *out = static_cast<char *>(buffer);
        size_t done = 0;
        while (done < *size) {
            const qint64 n = device->read(out + done, qint64(*size - done));
            if (n < 0) {
                *size = done;
                return SZ_ERROR_READ;
            }
            if (n == 0)
                break;
            done += size_t(n);
        }
        // A short count at the end of the device is how the SDK learns of a truncated archive.
        *size = done;
        return SZ_OK;
    }

    static SRes seek(ISeekInStreamPtr p, Int64 *pos, ESzSeek origin)
    {
        QIODevice *device = reinterpret_cast<const DeviceStream *>(p)->device;
        qint64 base = 0;
        if (origin == SZ_SEEK_CUR)
            base = device->pos();
        else if (origin == SZ_SEEK_END)
            base = device->size();
        const qint64 target = base + *pos;
        if (target < 0 || !device->seek(target))
            return SZ_ERROR_DATA;
        *pos = device->pos();
        return SZ_OK;
    }
};

} // namespace

struct ArchiveReader::Private {
    CSzArEx database;
    DeviceStream inputStream;
    CLookToRead2 lookStream;
    unsigned char lookBuffer[kLookBufferSize];
    bool open = false;
    SRes openResult = SZ_OK;
    quint32 cachedFolder = kNoFolder;
    // Raw memory rather than a QByteArray: a QByteArray cannot hold 2 GiB and aborts the
    // process when it cannot grow, and the size here comes from the archive.
    unsigned char *folderBuffer = nullptr;
    size_t folderSize = 0;
    int decodes = 0;

    explicit Private(QIODevice *device)
    {
        sdk::ensureCrcTable();
        SzArEx_Init(&database);
        inputStream.vt.Read = DeviceStream::read;
        inputStream.vt.Seek = DeviceStream::seek;
        inputStream.device = device;
        LookToRead2_CreateVTable(&lookStream, False);
        lookStream.buf = lookBuffer;
        lookStream.bufSize = kLookBufferSize;
        lookStream.realStream = &inputStream.vt;
        LookToRead2_INIT(&lookStream);
        if (device && device->isReadable())
            openResult = SzArEx_Open(&database, &lookStream.vt, sdk::allocator(), sdk::allocator());
        else
            openResult = SZ_ERROR_READ;
        open = openResult == SZ_OK;
        if (!open) {
            SzArEx_Free(&database, sdk::allocator());
            SzArEx_Init(&database);
        }
    }

    ~Private()
    {
        dropFolder();
        SzArEx_Free(&database, sdk::allocator());
    }

    Private(const Private &) = delete;
    Private &operator=(const Private &) = delete;

    void dropFolder()
    {
        qFreeAligned(folderBuffer);
        folderBuffer = nullptr;
        folderSize = 0;
        cachedFolder = kNoFolder;
    }

    bool loadFolder(quint32 folder)
    {
        if (folder == cachedFolder)
            return true;
        dropFolder();
        const quint64 size = SzAr_GetFolderUnpackSize(&database.db, folder);
        if (size > kMaxFolderSize)
            return false;
        if (size > 0) {
            folderBuffer = static_cast<unsigned char *>(qMallocAligned(size_t(size), 1));
            if (!folderBuffer)
                return false;
        }
        ++decodes;
        // The start position is where packed data begins; the SDK adds the folder's offset.
        const SRes res = SzAr_DecodeFolder(&database.db, folder, &lookStream.vt, database.dataPos,
                                           folderBuffer, size_t(size), sdk::allocator());
        if (res != SZ_OK) {
            dropFolder();
            return false;
        }
        folderSize = size_t(size);
        cachedFolder = folder;
        return true;
    }
};

ArchiveReader::ArchiveReader(QIODevice *archive) : d(new Private(archive)) {}
ArchiveReader::~ArchiveReader() = default;
ArchiveReader::ArchiveReader(ArchiveReader &&other) noexcept = default;
ArchiveReader &ArchiveReader::operator=(ArchiveReader &&other) noexcept = default;

bool ArchiveReader::isOpen() const
{
    return d->open;
}

int ArchiveReader::openResult() const
{
    return d->openResult;
}

quint32 ArchiveReader::numEntries() const
{
    return d->open ? d->database.NumFiles : 0;
}

bool ArchiveReader::isDirectory(quint32 index) const
{
    return index < numEntries() && SzArEx_IsDir(&d->database, index);
}

QString ArchiveReader::entryName(quint32 index) const
{
    if (index >= numEntries())
        return {};
    const size_t length = SzArEx_GetFileNameUtf16(&d->database, index, nullptr);
    if (length == 0)
        return {};
    std::vector<UInt16> name(length);
    SzArEx_GetFileNameUtf16(&d->database, index, name.data());
    // The count includes the terminating zero that the SDK writes.
    return QString::fromUtf16(reinterpret_cast<const ushort *>(name.data()), int(length - 1));
}

bool ArchiveReader::isSymbolicLink(quint32 index) const
{
    if (index >= numEntries() || !SzBitWithVals_Check(&d->database.Attribs, index))
        return false;
    const quint32 attributes = d->database.Attribs.Vals[index];
    return (attributes & kUnixExtension) && ((attributes >> 16) & kUnixTypeMask) == kUnixSymlink;
}

QFileDevice::Permissions ArchiveReader::executePermissions(quint32 index) const
{
    QFileDevice::Permissions permissions;
    if (index >= numEntries() || !SzBitWithVals_Check(&d->database.Attribs, index))
        return permissions;
    const quint32 attributes = d->database.Attribs.Vals[index];
    if (!(attributes & kUnixExtension))
        return permissions;
    const quint32 mode = attributes >> 16;
    if (mode & kUnixOwnerExecute)
        permissions |= QFileDevice::ExeOwner | QFileDevice::ExeUser;
    if (mode & kUnixGroupExecute)
        permissions |= QFileDevice::ExeGroup;
    if (mode & kUnixOtherExecute)
        permissions |= QFileDevice::ExeOther;
    return permissions;
}

bool ArchiveReader::entryData(quint32 index, QByteArray *data)
{
    data->clear();
    if (index >= numEntries())
        return false;
    const CSzArEx &db = d->database;
    if (SzArEx_IsDir(&db, index))
        return true;
    const quint32 folder = db.FileToFolder[index];
    if (folder == kNoFolder)
        return true;
    if (!d->loadFolder(folder))
        return false;
    const quint64 offset = db.UnpackPositions[index] - db.UnpackPositions[db.FolderToFile[folder]];
    const quint64 length = SzArEx_GetFileSize(&db, index);
    if (offset > d->folderSize || length > d->folderSize - offset || length > quint64(INT_MAX))
        return false;
    // The folder CRC covers the whole folder only when the archive stores one; the per-file
    // CRCs are what 7-Zip always writes, and the SDK's folder decoder does not look at them.
    if (SzBitWithVals_Check(&db.CRCs, index)
        && CrcCalc(d->folderBuffer + offset, size_t(length)) != db.CRCs.Vals[index])
        return false;
    if (length > 0)
        *data = QByteArray(reinterpret_cast<const char *>(d->folderBuffer + offset), int(length));
    return true;
}

int ArchiveReader::folderDecodeCount() const
{
    return d->decodes;
}

quint64 ArchiveReader::largestFolderSize() const
{
    quint64 largest = 0;
    if (d->open) {
        for (UInt32 f = 0; f < d->database.db.NumFolders; ++f)
            largest = qMax<quint64>(largest, SzAr_GetFolderUnpackSize(&d->database.db, f));
    }
    return largest;
}

namespace {

// False when the name must not be used; otherwise path is the cleaned relative path, empty
// when the name stands for the destination itself.
bool resolveEntryPath(const QString &name, QString *path)
{
    path->clear();
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))
        || name.contains(QChar(0)))
        return false;
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':') && name.at(0).unicode() < 128
        && name.at(0).isLetter())
        return false;
    QStringList parts;
    for (const QString &part : name.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (parts.isEmpty())
                return false;
            parts.removeLast();
            continue;
        }
        parts.append(part);
    }
    *path = parts.join(QLatin1Char('/'));
    return true;
}

} // namespace

QString safeEntryPath(const QString &name)
{
    QString path;
    return resolveEntryPath(name, &path) ? path : QString();
}

namespace {

bool writeWholeFile(const QString &path, const QByteArray &data)
{
    // A link left in the destination by someone else must not carry the write elsewhere.
    if (QFileInfo(path).isSymLink() && !QFile::remove(path))
        return false;
    // The new content goes into a new file that replaces the old one by rename. A program
    // running from the old file (the client, while an update re-extracts its version) keeps
    // what it mapped; truncating and rewriting the file in place would crash it. The save file
    // refuses an existing file that is not writable and keeps the mode of one that is.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(data) != data.size())
        return false;
    // A full disk may only show when the buffered bytes are flushed.
    return file.commit();
}

} // namespace

bool extractArchive(QIODevice *archive, const QDir &destination)
{
    ArchiveReader reader(archive);
    if (!reader.isOpen())
        return false;

    // Every name is checked before the first byte is written, so a hostile archive leaves
    // the destination as it was.
    const quint32 count = reader.numEntries();
    QStringList paths;
    paths.reserve(int(count));
    for (quint32 i = 0; i < count; ++i) {
        QString relative;
        if (!resolveEntryPath(reader.entryName(i), &relative))
            return false;
        if (relative.isEmpty() && !reader.isDirectory(i))
            return false;
        paths.append(relative);
    }

    const QString root = destination.absolutePath();
    QByteArray data;
    for (quint32 i = 0; i < count; ++i) {
        const QString &relative = paths.at(int(i));
        if (reader.isDirectory(i)) {
            if (!QDir().mkpath(relative.isEmpty() ? root : root + QLatin1Char('/') + relative))
                return false;
            continue;
        }
        // Decode before touching the file, so a broken folder never leaves an existing file
        // truncated or a new one empty.
        if (!reader.entryData(i, &data))
            return false;
        const QString path = root + QLatin1Char('/') + relative;
        const int slash = relative.lastIndexOf(QLatin1Char('/'));
        const QString parent = slash > 0 ? root + QLatin1Char('/') + relative.left(slash) : root;
        if (!QDir().mkpath(parent))
            return false;
        if (!writeWholeFile(path, data))
            return false;
        // Only the execute bits are taken from the archive; the rest of the stored mode
        // (set-id bits, write permission for others) is never trusted.
        const QFileDevice::Permissions executable = reader.executePermissions(i);
        if (executable && !QFile::setPermissions(path, QFile::permissions(path) | executable))
            return false;
    }
    return true;
}
