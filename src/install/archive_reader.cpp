#include "install/archive_reader.h"

#include "install/folder_stream.h"
#include "install/sdk_support.h"
#include "platform/filesystem.h"

#include <7z.h>
#include <7zCrc.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QIODevice>
#include <QStringList>

#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace {

// The look-ahead buffer: the decoder never asks the device for more than this at once.
constexpr size_t kLookBufferSize = 1 << 14;
constexpr quint32 kNoFolder = 0xFFFFFFFF;
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

QFileDevice::Permissions executePermissionsOf(const CSzArEx &database, quint32 index)
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

} // namespace

struct ArchiveReader::Private {
    CSzArEx database;
    DeviceStream inputStream;
    CLookToRead2 lookStream;
    unsigned char lookBuffer[kLookBufferSize];
    bool open = false;
    quint32 cachedFolder = kNoFolder;
    // Raw memory rather than a QByteArray: a QByteArray cannot hold 2 GiB and aborts the
    // process when it cannot grow, and the size here comes from the archive.
    unsigned char *folderBuffer = nullptr;
    size_t folderSize = 0;
    int decodes = 0;
    QIODevice *device;

    explicit Private(QIODevice *archive) : device(archive)
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
        open = device && device->isReadable()
            && SzArEx_Open(&database, &lookStream.vt, sdk::allocator(), sdk::allocator()) == SZ_OK;
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

    // Every size the archive declares is checked against what its bytes can hold before any
    // of them is believed: packed streams inside the device, no folder or coder larger than
    // its packed bytes can expand to, every file inside its folder.
    bool sizesArePossible() const
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

    bool folderSizesArePossible(UInt32 folder) const
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
                && (database.UnpackPositions[i] < start
                    || database.UnpackPositions[i + 1] - start > folderSize))
                return false;
        }
        return true;
    }

    // The unpacked bytes of a file entry of a folder that the whole-folder decoder handles,
    // pointing into the decoded folder (valid until another folder is decoded). False when
    // the folder cannot be decoded or the entry's CRC does not match.
    bool entryBytes(quint32 index, const unsigned char **data, size_t *length)
    {
        *data = nullptr;
        *length = 0;
        const CSzArEx &db = database;
        const quint32 folder = db.FileToFolder[index];
        if (SzArEx_IsDir(&db, index) || folder == kNoFolder)
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

    bool loadFolder(quint32 folder)
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
    return executePermissionsOf(d->database, index);
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

namespace {

// Appended to a file's final name while it is written.
constexpr char kSideSuffix[] = ".korvel-new";
// Appended to a file's final name while its old file makes way for the new one.
constexpr char kAsideSuffix[] = ".korvel-old";

// Whether part (one path component) is a name the extraction gives its own side files: an
// entry of that name would share its file with another entry's, and the second rename would
// fail after the first had been made.
bool isSideFileName(const QString &part)
{
    return part.endsWith(QLatin1String(kSideSuffix), Qt::CaseInsensitive)
        || part.endsWith(QLatin1String(kAsideSuffix), Qt::CaseInsensitive);
}

// Whether part (one path component) is a name Windows gives another meaning or refuses:
// a ':' opens an alternate data stream of the file before it; a reserved device name, bare or
// with any extension ("nul.txt"), opens the device; a trailing dot or blank is dropped by the
// system, so "a." and "a " land on "a"; the characters below 32 and <>"|?* are invalid there.
// Refused on every system, so one package means the same files everywhere.
bool isForbiddenComponent(const QString &part)
{
    static const QString invalid = QStringLiteral(":<>\"|?*");
    for (const QChar c : part) {
        if (c.unicode() < 32 || invalid.contains(c))
            return true;
    }
    const QChar last = part.at(part.size() - 1);
    if (last == QLatin1Char('.') || last == QLatin1Char(' '))
        return true;
    // The system compares the part before the first dot, with blanks before that dot ignored.
    QString device = part.left(part.indexOf(QLatin1Char('.'))).toUpper();
    while (device.endsWith(QLatin1Char(' ')))
        device.chop(1);
    static const QStringList plainDevices{QStringLiteral("CON"),    QStringLiteral("PRN"),
                                          QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                          QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (plainDevices.contains(device))
        return true;
    // COM1-COM9 and LPT1-LPT9; the system takes the superscript digits 1, 2 and 3 as well.
    if (device.size() == 4
        && (device.startsWith(QLatin1String("COM")) || device.startsWith(QLatin1String("LPT")))) {
        const QChar digit = device.at(3);
        return (digit >= QLatin1Char('1') && digit <= QLatin1Char('9')) || digit == QChar(0x00B9)
            || digit == QChar(0x00B2) || digit == QChar(0x00B3);
    }
    return false;
}

// An untrusted entry name as the path below the destination it stands for: '/'-separated,
// without empty or "." components, with ".." resolved; empty for the destination itself. False
// when the name must not be used: empty, absolute, starting with a drive letter, containing a
// backslash (a separator elsewhere) or a NUL, with ".." leading out of the destination, with
// a component no Windows file may have (a ':', a control character or one of <>"|?*, a
// reserved device name such as CON, NUL, COM1 or "nul.txt", a trailing dot or blank), refused
// on every system, or with a component named as the extraction names its side files.
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
        if (isForbiddenComponent(part) || isSideFileName(part))
            return false;
        parts.append(part);
    }
    *path = parts.join(QLatin1Char('/'));
    return true;
}

// Existing files are read back in pieces of this size to compare them with an entry.
constexpr qint64 kCompareChunk = 1 << 20;

// A file written beside its final name and renamed over it once everything it holds has been
// checked. A program running from the old file (the client, while an update re-extracts its
// version) keeps what it mapped, where truncating and rewriting in place would crash it; and a
// failure never leaves a half-written file under a final name.
class SideFile {
public:
    explicit SideFile(const QString &finalPath)
        : m_final(finalPath),
          m_file(finalPath + QLatin1String(kSideSuffix)),
          m_aside(finalPath + QLatin1String(kAsideSuffix))
    {
    }
    ~SideFile() { discard(); }
    SideFile(const SideFile &) = delete;
    SideFile &operator=(const SideFile &) = delete;

    const QString &finalPath() const { return m_final; }

    // False when the final name is taken by something that must not be replaced: a file we may
    // not write (it keeps its content), or a directory.
    bool open()
    {
        if (!claimFinalName())
            return false;
        // A side file left by an interrupted run, or a link planted under its name, goes; the
        // new one is created afresh, never opened through a link. So does an old file that an
        // earlier commit could only move aside (one the system held then).
        QFile::remove(m_file.fileName());
        removeAside(m_final);
        return m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered);
    }

    // Takes the side file as the caller wrote and closed it (a patched file) as finished, with
    // the permissions of the file it replaces where there is one. False, as open, for a final
    // name that must not be replaced, and for a side file that is not a regular file.
    bool adopt()
    {
        if (!claimFinalName())
            return false;
        removeAside(m_final);
        const QFileInfo side(m_file.fileName());
        if (side.isSymLink() || !side.isFile())
            return false;
        if (m_keptPermissions && !QFile::setPermissions(m_file.fileName(), *m_keptPermissions))
            return false;
        m_finished = true;
        return true;
    }

    // The side name a caller writes a file under for adopt.
    static QString sidePath(const QString &finalPath) { return finalPath + QLatin1String(kSideSuffix); }

    // The checks of open and adopt: a link at the final name goes, an existing file keeps its
    // permissions.
    bool claimFinalName()
    {
        const QFileInfo existing(m_final);
        if (existing.isSymLink()) {
            // A link left in the destination by someone else must not carry the write elsewhere.
            if (!QFile::remove(m_final))
                return false;
        } else if (existing.exists()) {
            if (!existing.isFile() || !existing.isWritable())
                return false;
            m_keptPermissions = QFile::permissions(m_final);
        }
        return true;
    }

    // The old file an earlier commit moved aside from finalPath, gone once nothing holds it.
    static void removeAside(const QString &finalPath)
    {
        const QString aside = finalPath + QLatin1String(kAsideSuffix);
        if (QFileInfo(aside).isFile() || QFileInfo(aside).isSymLink())
            QFile::remove(aside);
    }

    bool write(const unsigned char *data, size_t size)
    {
        while (size > 0) {
            const qint64 n =
                m_file.write(reinterpret_cast<const char *>(data), qint64(qMin<size_t>(size, 1u << 30)));
            if (n <= 0)
                return false;
            data += n;
            size -= size_t(n);
        }
        return true;
    }

    // Flushes and closes the side file and gives it the permissions of the file it replaces
    // plus the given execute bits. False when the data did not all reach the file system.
    bool finish(QFileDevice::Permissions executable)
    {
        const bool flushed = platform::flushWrittenFile(m_file);
        m_file.close();
        if (!flushed || m_file.error() != QFileDevice::NoError)
            return false;
        const QFileDevice::Permissions permissions =
            m_keptPermissions ? *m_keptPermissions : QFile::permissions(m_file.fileName());
        if ((executable || m_keptPermissions)
            && !QFile::setPermissions(m_file.fileName(), permissions | executable))
            return false;
        m_finished = true;
        return true;
    }

    // Renames the finished side file over the final name, keeping the old file (when there is
    // one) aside until let go or put back. A file the system holds in use (Windows: a loaded
    // library) is moved aside rather than replaced, which it allows. False, with the final name
    // as it was, when either rename is refused.
    bool commit()
    {
        if (!m_finished)
            return false;
        const QFileInfo old(m_final);
        if (old.exists() || old.isSymLink()) {
            QFile::remove(m_aside);
            if (!platform::moveAside(m_final, m_aside))
                return false;
            m_hasAside = true;
        }
        if (!platform::replaceFile(m_file.fileName(), m_final)) {
            putBack();
            return false;
        }
        m_committed = true;
        return true;
    }

    // After commit: the old file back under the final name (none when there was none), and the
    // new one gone. False when the system holds the new file meanwhile.
    bool rollBack()
    {
        m_committed = false;
        return m_hasAside ? putBack() : QFile::remove(m_final);
    }

    // After commit: the old file goes (where the system still holds it, it stays aside until a
    // later extraction of its name finds it free).
    void letGoOfOld()
    {
        if (m_hasAside)
            QFile::remove(m_aside);
        m_hasAside = false;
    }

    void discard()
    {
        if (m_committed)
            return;
        m_file.close();
        QFile::remove(m_file.fileName());
        m_committed = true; // nothing left to discard
    }

private:
    bool putBack()
    {
        m_hasAside = !platform::replaceFile(m_aside, m_final);
        // Where aside is a second name of the file still at the final name, the rename leaves
        // both names.
        if (!m_hasAside)
            QFile::remove(m_aside);
        return !m_hasAside;
    }

    QString m_final;
    QFile m_file;
    QString m_aside;
    std::optional<QFileDevice::Permissions> m_keptPermissions;
    bool m_finished = false;
    bool m_committed = false;
    bool m_hasAside = false;
};

} // namespace

struct StagedFiles::Private {
    // In staging order; a file replaced by a later stage of its path leaves a null behind.
    std::vector<std::unique_ptr<SideFile>> files;
    QHash<QString, size_t> byPath;
    // Relative to the destination, case folded: the paths no entry may take, and those the
    // file entries of the extractions so far took (with their spelling).
    QStringList reserved;
    QHash<QString, QString> claimed;

    // Whatever was staged for path goes: a later entry of that path decides what it holds.
    void drop(const QString &path)
    {
        const auto it = byPath.find(path);
        if (it == byPath.end())
            return;
        files[*it].reset();
        byPath.erase(it);
    }

    void add(std::unique_ptr<SideFile> file)
    {
        drop(file->finalPath());
        byPath.insert(file->finalPath(), files.size());
        files.push_back(std::move(file));
    }
};

StagedFiles::StagedFiles() : d(new Private) {}
StagedFiles::~StagedFiles() = default;
StagedFiles::StagedFiles(StagedFiles &&other) noexcept = default;
StagedFiles &StagedFiles::operator=(StagedFiles &&other) noexcept = default;

bool StagedFiles::isEmpty() const
{
    return d->byPath.isEmpty();
}

QStringList StagedFiles::targets() const
{
    QStringList paths;
    for (const std::unique_ptr<SideFile> &file : d->files) {
        if (file)
            paths.append(file->finalPath());
    }
    return paths;
}

void StagedFiles::reservePaths(const QStringList &paths)
{
    for (const QString &path : paths)
        d->reserved.append(path.toCaseFolded());
}

bool StagedFiles::commit(bool *rolledBack)
{
    // Every rename either succeeds or is undone with those before it: a file the system holds
    // after the caller found it replaceable (a client started meanwhile) must not leave a mix of
    // old and new files behind.
    std::vector<SideFile *> done;
    bool committed = true;
    for (std::unique_ptr<SideFile> &file : d->files) {
        if (!file)
            continue;
        if (!file->commit()) {
            committed = false;
            break;
        }
        done.push_back(file.get());
    }
    bool restored = true;
    for (auto it = done.rbegin(); it != done.rend(); ++it) {
        if (!committed)
            restored = (*it)->rollBack() && restored;
        else
            (*it)->letGoOfOld();
    }
    if (rolledBack)
        *rolledBack = !committed && restored;
    discard();
    return committed;
}

QString StagedFiles::sidePath(const QString &finalPath)
{
    return SideFile::sidePath(finalPath);
}

bool StagedFiles::stageWritten(const QDir &destination, const QString &relativePath)
{
    // The path is checked as an entry's name would be, before anything at it is touched.
    QString path;
    if (!resolveEntryPath(relativePath, &path) || path.isEmpty() || path != relativePath)
        return false;
    const QString folded = path.toCaseFolded();
    for (const QString &reserved : qAsConst(d->reserved)) {
        if (folded == reserved || folded.startsWith(reserved + QLatin1Char('/')))
            return false;
    }
    const auto taken = d->claimed.constFind(folded);
    if (taken != d->claimed.cend() && *taken != path)
        return false;
    auto file = std::make_unique<SideFile>(destination.absolutePath() + QLatin1Char('/') + path);
    if (!file->adopt())
        return false; // the side file goes with it
    d->claimed.insert(folded, path);
    d->add(std::move(file));
    return true;
}

void StagedFiles::discard()
{
    d->files.clear();
    d->byPath.clear();
}

// One extraction: the reader, the checked relative paths of its entries and the destination.
// Made only once every name and every declared size of the archive has passed its check.
class Extraction {
public:
    Extraction(ArchiveReader::Private &reader, const QString &root, const QStringList &paths,
               StagedFiles::Private &staged)
        : m_reader(reader),
          m_root(root),
          m_paths(paths),
          m_staged(staged),
          m_done(reader.database.db.NumFolders, false)
    {
        // Of several file entries with one path the last in archive order wins; the others are
        // decoded (their folder's checks cover them) but never written, so no two of them
        // share a side file and the order in which folders are reached does not matter.
        const CSzArEx &db = reader.database;
        for (quint32 i = 0; i < db.NumFiles; ++i) {
            if (!SzArEx_IsDir(&db, i))
                m_lastOfPath.insert(paths.at(int(i)), i);
        }
    }

    bool run()
    {
        const CSzArEx &db = m_reader.database;
        for (quint32 i = 0; i < db.NumFiles; ++i) {
            const QString &relative = m_paths.at(int(i));
            if (SzArEx_IsDir(&db, i)) {
                if (!QDir().mkpath(relative.isEmpty() ? m_root : m_root + QLatin1Char('/') + relative))
                    return false;
                continue;
            }
            const UInt32 folder = db.FileToFolder[i];
            if (folder == kNoFolder) {
                if (!extractEmptyFile(i))
                    return false;
                continue;
            }
            if (m_done[folder])
                continue;
            m_done[folder] = true;
            if (folderIsInPlace(folder))
                continue;
            const bool ok = FolderStream::supports(db, folder) ? extractStreamedFolder(folder)
                                                               : extractWholeFolder(folder);
            if (!ok)
                return false;
        }
        return true;
    }

private:
    QString finalPath(quint32 index) const { return m_root + QLatin1Char('/') + m_paths.at(int(index)); }

    bool makeParent(quint32 index) const
    {
        const QString &relative = m_paths.at(int(index));
        const int slash = relative.lastIndexOf(QLatin1Char('/'));
        return QDir().mkpath(slash > 0 ? m_root + QLatin1Char('/') + relative.left(slash) : m_root);
    }

    QFileDevice::Permissions executable(quint32 index) const
    {
        // Only the execute bits are taken from the archive; the rest of the stored mode
        // (set-id bits, write permission for others) is never trusted.
        return executePermissionsOf(m_reader.database, index);
    }

    bool isWritten(quint32 index) const { return m_lastOfPath.value(m_paths.at(int(index))) == index; }

    // Whether the final name already holds a regular file with exactly the entry's content:
    // its size, and its bytes' CRC against the one the archive stores (without one, only an
    // empty file can be known to match).
    bool isInPlace(quint32 index) const
    {
        const CSzArEx &db = m_reader.database;
        const QString path = finalPath(index);
        const QFileInfo info(path);
        const UInt64 size = SzArEx_GetFileSize(&db, index);
        if (info.isSymLink() || !info.isFile() || quint64(info.size()) != size)
            return false;
        if (size == 0)
            return true;
        if (!SzBitWithVals_Check(&db.CRCs, index))
            return false;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        std::vector<unsigned char> buffer(size_t(qMin<quint64>(size, quint64(kCompareChunk))));
        UInt32 crc = CRC_INIT_VAL;
        UInt64 left = size;
        while (left > 0) {
            const qint64 n =
                file.read(reinterpret_cast<char *>(buffer.data()), qint64(qMin<UInt64>(left, buffer.size())));
            if (n <= 0)
                return false;
            crc = CrcUpdate(crc, buffer.data(), size_t(n));
            left -= UInt64(n);
        }
        return CRC_GET_DIGEST(crc) == db.CRCs.Vals[index];
    }

    // A file left as it is: nothing staged for its path stays, and it gets the execute bits
    // the entry asks for (its bytes are not touched).
    void keepInPlace(quint32 index)
    {
        const QString path = finalPath(index);
        m_staged.drop(path);
        SideFile::removeAside(path);
        const QFileDevice::Permissions wanted = executable(index);
        const QFileDevice::Permissions now = QFile::permissions(path);
        if ((now & wanted) != wanted)
            QFile::setPermissions(path, now | wanted);
    }

    // True (and each file kept in place) when every file of the folder that is written is
    // already in place: the folder need not be decoded at all.
    bool folderIsInPlace(UInt32 folder)
    {
        const CSzArEx &db = m_reader.database;
        std::vector<quint32> files;
        for (UInt32 i = db.FolderToFile[folder]; i < db.FolderToFile[folder + 1]; ++i) {
            if (db.FileToFolder[i] != folder || SzArEx_IsDir(&db, i) || !isWritten(i))
                continue;
            if (!isInPlace(i))
                return false;
            files.push_back(i);
        }
        for (quint32 i : files)
            keepInPlace(i);
        return true;
    }

    // The side file for a file entry that is written and not already in place; null (and the
    // file kept in place, or left to the later entry of its path) otherwise.
    bool openTarget(quint32 index, std::unique_ptr<SideFile> *target)
    {
        target->reset();
        if (!isWritten(index))
            return true;
        if (isInPlace(index)) {
            keepInPlace(index);
            return true;
        }
        if (!makeParent(index))
            return false;
        const QString path = finalPath(index);
        m_staged.drop(path); // its side file has the name this one takes
        auto file = std::make_unique<SideFile>(path);
        if (!file->open())
            return false;
        *target = std::move(file);
        return true;
    }

    bool stage(quint32 index, std::unique_ptr<SideFile> file)
    {
        if (!file)
            return true;
        if (!file->finish(executable(index)))
            return false;
        m_staged.add(std::move(file));
        return true;
    }

    bool extractEmptyFile(quint32 index)
    {
        std::unique_ptr<SideFile> file;
        return openTarget(index, &file) && stage(index, std::move(file));
    }

    // A folder the streaming decoder does not handle: decoded whole, once for all its files,
    // before any of them is touched, so a broken folder never leaves a stand-in file.
    bool extractWholeFolder(UInt32 folder)
    {
        const CSzArEx &db = m_reader.database;
        for (UInt32 i = db.FolderToFile[folder]; i < db.FolderToFile[folder + 1]; ++i) {
            if (db.FileToFolder[i] != folder || SzArEx_IsDir(&db, i))
                continue;
            const unsigned char *data = nullptr;
            size_t size = 0;
            if (!m_reader.entryBytes(i, &data, &size))
                return false;
            std::unique_ptr<SideFile> file;
            if (!openTarget(i, &file) || (file && !file->write(data, size)) || !stage(i, std::move(file)))
                return false;
        }
        return true;
    }

    // Every file of the folder, as its bytes come out of the decoder, each checked against its
    // own CRC where the archive stores one. Nothing is renamed here: a file without a CRC is
    // vouched for only once the folder's stream has ended and passed every check, and a failure
    // of the stream fails the whole extraction, whose staged files then go.
    bool extractStreamedFolder(UInt32 folder)
    {
        const CSzArEx &db = m_reader.database;
        m_reader.dropFolder(); // a whole folder decoded earlier is of no more use
        FolderStream stream(db, folder, &m_reader.lookStream.vt);
        const unsigned char *piece = nullptr;
        size_t pieceLeft = 0;
        for (UInt32 i = db.FolderToFile[folder]; i < db.FolderToFile[folder + 1]; ++i) {
            if (db.FileToFolder[i] != folder || SzArEx_IsDir(&db, i))
                continue;
            std::unique_ptr<SideFile> file;
            if (!openTarget(i, &file))
                return false;
            UInt64 left = SzArEx_GetFileSize(&db, i);
            UInt32 crc = CRC_INIT_VAL;
            while (left > 0) {
                if (pieceLeft == 0 && (!stream.next(&piece, &pieceLeft) || pieceLeft == 0))
                    return false;
                const size_t n = size_t(qMin<UInt64>(left, pieceLeft));
                if (file && !file->write(piece, n))
                    return false;
                crc = CrcUpdate(crc, piece, n);
                piece += n;
                pieceLeft -= n;
                left -= n;
            }
            if (SzBitWithVals_Check(&db.CRCs, i) && CRC_GET_DIGEST(crc) != db.CRCs.Vals[i])
                return false;
            if (!stage(i, std::move(file)))
                return false;
        }
        // Whatever follows the last file still belongs to the stream and its checks.
        do {
            if (!stream.next(&piece, &pieceLeft))
                return false;
        } while (pieceLeft > 0);
        return true;
    }

    ArchiveReader::Private &m_reader;
    QString m_root;
    const QStringList &m_paths;
    StagedFiles::Private &m_staged;
    std::vector<bool> m_done;
    QHash<QString, quint32> m_lastOfPath;
};

namespace {

// The checks made of every entry's name before the first byte is written, so that a hostile
// archive leaves the destination as it was: each name (resolveEntryPath), no path in
// reservedPaths or below one, and no file that shares its file with another one where letter
// case does not count (Windows), in this archive or in those whose files claimedPaths holds
// (case folded, with their spelling). On success, paths holds the entries' relative paths and
// claimedPaths this archive's files too.
bool checkEntries(const ArchiveReader &reader, const QStringList &reservedPaths,
                  QHash<QString, QString> *claimedPaths, QStringList *paths)
{
    const quint32 count = reader.numEntries();
    paths->clear();
    paths->reserve(int(count));
    QHash<QString, QString> claimed = *claimedPaths;
    for (quint32 i = 0; i < count; ++i) {
        QString relative;
        if (!resolveEntryPath(reader.entryName(i), &relative))
            return false;
        if (relative.isEmpty() && !reader.isDirectory(i))
            return false;
        const QString folded = relative.toCaseFolded();
        for (const QString &reserved : reservedPaths) {
            if (folded == reserved || folded.startsWith(reserved + QLatin1Char('/')))
                return false;
        }
        if (!reader.isDirectory(i)) {
            // The same spelling again is the same file, replaced by the later entry.
            const auto taken = claimed.constFind(folded);
            if (taken != claimed.cend() && *taken != relative)
                return false;
            claimed.insert(folded, relative);
        }
        paths->append(relative);
    }
    *claimedPaths = claimed;
    return true;
}

} // namespace

bool stageArchive(QIODevice *archive, const QDir &destination, StagedFiles *staged)
{
    ArchiveReader reader(archive);
    if (!reader.isOpen())
        return false;
    QStringList paths;
    if (!checkEntries(reader, staged->d->reserved, &staged->d->claimed, &paths)
        || !reader.d->sizesArePossible())
        return false;
    return Extraction(*reader.d, destination.absolutePath(), paths, *staged->d).run();
}

bool checkArchive(QIODevice *archive, const QStringList &reservedPaths)
{
    ArchiveReader reader(archive);
    QStringList reserved;
    for (const QString &path : reservedPaths)
        reserved.append(path.toCaseFolded());
    QHash<QString, QString> claimed;
    QStringList paths;
    return reader.isOpen() && checkEntries(reader, reserved, &claimed, &paths)
        && reader.d->sizesArePossible();
}

bool extractArchive(QIODevice *archive, const QDir &destination)
{
    StagedFiles staged;
    return stageArchive(archive, destination, &staged) && staged.commit();
}
