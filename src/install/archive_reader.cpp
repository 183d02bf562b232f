#include "install/archive_reader.h"

#include "install/archive_reader_private.h"
#include "install/sdk_support.h"

#include <7zCrc.h>

#include <QIODevice>

#include <climits>
#include <vector>

namespace {

// The decoder addresses a folder with 32-bit sizes in the design this program follows;
// anything larger is refused rather than trusted.
constexpr quint64 kMaxFolderSize = 0xFFFFFFFFull;
// No coder of this reader turns a byte into more than about 7,000 (LZMA at its best, on a run
// of one repeated byte; LZMA2 and PPMd do less): a folder that declares more than twice that
// per packed byte lies about its size, and is refused before anything is allocated for it.
constexpr quint64 kMaxExpansion = 1 << 14;
constexpr quint64 kExpansionSlack = 1 << 16;

// 7-Zip marks attributes that carry a unix mode in their high half with this bit.
constexpr quint32 kUnixExtension = 0x8000;
constexpr quint32 kUnixTypeMask = 0xF000;
constexpr quint32 kUnixSymlink = 0xA000;
constexpr quint32 kUnixOwnerExecute = 0100;
constexpr quint32 kUnixGroupExecute = 0010;
constexpr quint32 kUnixOtherExecute = 0001;

} // namespace

SRes archive::DeviceStream::read(ISeekInStreamPtr p, void *buffer, size_t *size)
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

SRes archive::DeviceStream::seek(ISeekInStreamPtr p, Int64 *pos, ESzSeek origin)
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

QFileDevice::Permissions archive::executePermissionsOf(const CSzArEx &database, quint32 index)
{
    QFileDevice::Permissions permissions;
    if (!SzBitWithVals_Check(&database.Attribs, index))
        return permissions;
    const quint32 attributes = database.Attribs.Vals[index];
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

ArchiveReader::Private::Private(QIODevice *archive) : device(archive)
{
    sdk::ensureCrcTable();
    SzArEx_Init(&database);
    inputStream.vt.Read = archive::DeviceStream::read;
    inputStream.vt.Seek = archive::DeviceStream::seek;
    inputStream.device = device;
    LookToRead2_CreateVTable(&lookStream, False);
    lookStream.buf = lookBuffer;
    lookStream.bufSize = archive::LookBufferSize;
    lookStream.realStream = &inputStream.vt;
    LookToRead2_INIT(&lookStream);
    open = device && device->isReadable()
        && SzArEx_Open(&database, &lookStream.vt, sdk::allocator(), sdk::allocator()) == SZ_OK;
    if (!open) {
        SzArEx_Free(&database, sdk::allocator());
        SzArEx_Init(&database);
    }
}

ArchiveReader::Private::~Private()
{
    dropFolder();
    SzArEx_Free(&database, sdk::allocator());
}

void ArchiveReader::Private::dropFolder()
{
    qFreeAligned(folderBuffer);
    folderBuffer = nullptr;
    folderSize = 0;
    cachedFolder = archive::NoFolder;
}

bool ArchiveReader::Private::sizesArePossible() const
{
    const CSzAr &db = database.db;
    const quint64 deviceSize = quint64(qMax<qint64>(device->size(), 0));
    if (db.NumPackStreams > 0
        && (database.dataPos > deviceSize
            || db.PackPositions[db.NumPackStreams] > deviceSize - database.dataPos))
        return false;
    for (UInt32 f = 0; f < db.NumFolders; ++f) {
        if (!folderSizesArePossible(f))
            return false;
    }
    return true;
}

bool ArchiveReader::Private::folderSizesArePossible(UInt32 folder) const
{
    const CSzAr &db = database.db;
    const quint64 packed = db.PackPositions[db.FoStartPackStreamIndex[folder + 1]]
        - db.PackPositions[db.FoStartPackStreamIndex[folder]];
    const quint64 limit = qMin(kMaxFolderSize, packed * kMaxExpansion + kExpansionSlack);
    for (UInt32 c = db.FoToCoderUnpackSizes[folder]; c < db.FoToCoderUnpackSizes[folder + 1]; ++c) {
        if (db.CoderUnpackSizes[c] > limit)
            return false;
    }
    const quint64 folderSize = SzAr_GetFolderUnpackSize(&db, folder);
    const quint64 start = database.UnpackPositions[database.FolderToFile[folder]];
    for (UInt32 i = database.FolderToFile[folder]; i < database.FolderToFile[folder + 1]; ++i) {
        if (database.FileToFolder[i] == folder
            && (database.UnpackPositions[i] < start || database.UnpackPositions[i + 1] - start > folderSize))
            return false;
    }
    return true;
}

bool ArchiveReader::Private::entryBytes(quint32 index, const unsigned char **data, size_t *length)
{
    *data = nullptr;
    *length = 0;
    const CSzArEx &db = database;
    const quint32 folder = db.FileToFolder[index];
    if (SzArEx_IsDir(&db, index) || folder == archive::NoFolder)
        return true;
    if (!loadFolder(folder))
        return false;
    const quint64 offset = db.UnpackPositions[index] - db.UnpackPositions[db.FolderToFile[folder]];
    const quint64 size = SzArEx_GetFileSize(&db, index);
    if (offset > folderSize || size > folderSize - offset)
        return false;
    // The folder CRC covers the whole folder only when the archive stores one; the per-file
    // CRCs are what 7-Zip always writes, and the SDK's folder decoder does not look at them.
    if (SzBitWithVals_Check(&db.CRCs, index)
        && CrcCalc(folderBuffer + offset, size_t(size)) != db.CRCs.Vals[index])
        return false;
    *data = folderBuffer + offset;
    *length = size_t(size);
    return true;
}

bool ArchiveReader::Private::loadFolder(quint32 folder)
{
    if (folder == cachedFolder)
        return true;
    dropFolder();
    if (!open || folder >= database.db.NumFolders || !folderSizesArePossible(folder))
        return false;
    const quint64 size = SzAr_GetFolderUnpackSize(&database.db, folder);
    if (size > 0) {
        folderBuffer = static_cast<unsigned char *>(qMallocAligned(size_t(size), 1));
        if (!folderBuffer)
            return false;
    }
    ++decodes;
    // The start position is where packed data begins; the SDK adds the folder's offset.
    const SRes res = SzAr_DecodeFolder(&database.db, folder, &lookStream.vt, database.dataPos, folderBuffer,
                                       size_t(size), sdk::allocator());
    if (res != SZ_OK) {
        dropFolder();
        return false;
    }
    folderSize = size_t(size);
    cachedFolder = folder;
    return true;
}

ArchiveReader::ArchiveReader(QIODevice *archive) : d(new Private(archive)) {}
ArchiveReader::~ArchiveReader() = default;
ArchiveReader::ArchiveReader(ArchiveReader &&other) noexcept = default;
ArchiveReader &ArchiveReader::operator=(ArchiveReader &&other) noexcept = default;

bool ArchiveReader::isOpen() const
{
    return d->open;
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
    if (index >= numEntries())
        return {};
    return archive::executePermissionsOf(d->database, index);
}

bool ArchiveReader::entryData(quint32 index, QByteArray *data)
{
    data->clear();
    if (index >= numEntries())
        return false;
    const unsigned char *bytes = nullptr;
    size_t length = 0;
    if (!d->entryBytes(index, &bytes, &length) || length > size_t(INT_MAX))
        return false;
    if (length > 0)
        *data = QByteArray(reinterpret_cast<const char *>(bytes), int(length));
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
