#include "install/extraction.h"

#include "install/archive_reader.h"
#include "install/archive_reader_private.h"
#include "install/commit.h"
#include "install/entry_names.h"
#include "install/folder_stream.h"
#include "install/installed_copies.h"
#include "platform/filesystem.h"

#include <7zCrc.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QIODevice>
#include <QSet>

#include <memory>
#include <vector>

// One extraction: the reader, the checked relative paths of its entries and the destination.
// Made only once every name and every declared size of the archive has passed its check.
class Extraction {
public:
    Extraction(ArchiveReader::Private &reader, const QString &root, const QStringList &paths,
               StagedFiles &staged, InstalledCopies &copies)
        : m_reader(reader),
          m_root(root),
          m_paths(paths),
          m_staged(staged),
          m_copies(copies),
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
            if (folder == archive::NoFolder) {
                if (!extractEmptyFile(i))
                    return false;
                continue;
            }
            if (m_done[folder])
                continue;
            m_done[folder] = true;
            if (folderIsReady(folder))
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

    // Each folder is made once: an update of thousands of files in a new version directory
    // would otherwise ask the system for each file's folder again.
    bool makeParent(quint32 index)
    {
        const QString &relative = m_paths.at(int(index));
        const int slash = relative.lastIndexOf(QLatin1Char('/'));
        const QString folder = slash > 0 ? m_root + QLatin1Char('/') + relative.left(slash) : m_root;
        if (m_madeFolders.contains(folder))
            return true;
        if (!QDir().mkpath(folder))
            return false;
        m_madeFolders.insert(folder);
        return true;
    }

    QFileDevice::Permissions executable(quint32 index) const
    {
        // Only the execute bits are taken from the archive; the rest of the stored mode
        // (set-id bits, write permission for others) is never trusted.
        return archive::executePermissionsOf(m_reader.database, index);
    }

    // The last entry of its path in this archive, unless a later package decided that path.
    bool isWritten(quint32 index) const
    {
        return m_lastOfPath.value(m_paths.at(int(index))) == index
            && !m_staged.isDecidedLater(finalPath(index));
    }

    // Whether the final name already holds a regular file with exactly the entry's content:
    // its size, and its bytes' CRC against the one the archive stores (without one, only an
    // empty file can be known to match), and at least the execute bits the entry asks for. A
    // file that lacks some is written anew rather than changed in place: it may be another
    // name of an installed version's file (installed_copies.h).
    bool isInPlace(quint32 index) const
    {
        const CSzArEx &db = m_reader.database;
        const QString path = finalPath(index);
        if (!platform::isNameTaken(path))
            return false;
        const UInt64 size = SzArEx_GetFileSize(&db, index);
        const QFileInfo info(path);
        const QFileDevice::Permissions wanted = executable(index) & install::StoredExecutePermissions;
        if (!info.exists() || (wanted && !info.permission(wanted)))
            return false;
        if (size == 0)
            return !info.isSymLink() && info.isFile() && info.size() == 0;
        return SzBitWithVals_Check(&db.CRCs, index) && fileHasContent(path, size, db.CRCs.Vals[index]);
    }

    // A file left as it is: nothing staged for its path stays.
    void keepInPlace(quint32 index)
    {
        const QString path = finalPath(index);
        m_staged.drop(path);
        SideFile::removeAside(path);
    }

    // An installed version's copy of the file (InstalledCopies::find); looked for once per entry.
    QString copyOf(quint32 index)
    {
        auto it = m_copyOf.constFind(index);
        if (it != m_copyOf.cend())
            return *it;
        const CSzArEx &db = m_reader.database;
        QString copy;
        if (SzBitWithVals_Check(&db.CRCs, index))
            copy = m_copies.find(m_paths.at(int(index)), finalPath(index), SzArEx_GetFileSize(&db, index),
                                 db.CRCs.Vals[index], executable(index));
        return *m_copyOf.insert(index, copy);
    }

    // Stages the installed copy of the file as its new file, as a patched file is staged: a new
    // name of it (or a copy) at the side file's place, renamed into place only by the commit.
    // False when there is none or it cannot be had; the file is then extracted.
    bool shareCopy(quint32 index)
    {
        const QString copy = copyOf(index);
        if (copy.isEmpty() || !makeParent(index))
            return false;
        const QString path = finalPath(index);
        m_staged.drop(path); // its side file has the name this one takes
        // A side file left by an interrupted run, or a link planted there, goes first.
        const QString side = SideFile::sidePath(path);
        const bool shared =
            platform::shareFile(copy, side) || (QFile::remove(side) && platform::shareFile(copy, side));
        if (shared && m_staged.stageWritten(QDir(m_root), m_paths.at(int(index)), executable(index)))
            return true;
        m_copyOf.insert(index, QString()); // not tried again when the folder is decoded
        return false;
    }

    // True (and each file kept in place or staged from its installed copy) when every file of
    // the folder that is written is already in place or has a copy: the folder need not be
    // decoded at all.
    bool folderIsReady(UInt32 folder)
    {
        const CSzArEx &db = m_reader.database;
        std::vector<quint32> inPlace;
        std::vector<quint32> copied;
        for (UInt32 i = db.FolderToFile[folder]; i < db.FolderToFile[folder + 1]; ++i) {
            if (db.FileToFolder[i] != folder || SzArEx_IsDir(&db, i) || !isWritten(i))
                continue;
            if (isInPlace(i))
                inPlace.push_back(i);
            else if (!copyOf(i).isEmpty())
                copied.push_back(i);
            else
                return false;
        }
        for (quint32 i : inPlace)
            keepInPlace(i);
        for (quint32 i : copied) {
            // One that cannot be had after all: the folder is decoded, its other files staged again.
            if (!shareCopy(i))
                return false;
        }
        return true;
    }

    // The side file for a file entry that is written and neither already in place nor staged
    // from an installed copy; null (and the file kept in place or staged, or left to the later
    // entry of its path) otherwise.
    bool openTarget(quint32 index, std::unique_ptr<SideFile> *target)
    {
        target->reset();
        if (!isWritten(index))
            return true;
        if (isInPlace(index)) {
            keepInPlace(index);
            return true;
        }
        if (shareCopy(index))
            return true;
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

    // The end of what must be decoded of a folder some of whose files are to be written: the
    // index after its last such file, once each file after that one is kept in place or staged
    // from its copy here. An update changes a file or two of a folder; what follows them need not
    // be decoded at all. Only where every file written has a CRC of its own to be checked
    // against: otherwise the folder is decoded to its end, whose checks vouch for such a file.
    UInt32 decodedEnd(UInt32 folder)
    {
        const CSzArEx &db = m_reader.database;
        const UInt32 first = db.FolderToFile[folder];
        const UInt32 end = db.FolderToFile[folder + 1];
        for (UInt32 i = first; i < end; ++i) {
            if (db.FileToFolder[i] == folder && !SzArEx_IsDir(&db, i) && isWritten(i)
                && !SzBitWithVals_Check(&db.CRCs, i))
                return end;
        }
        for (UInt32 i = end; i > first; --i) {
            const UInt32 file = i - 1;
            if (db.FileToFolder[file] != folder || SzArEx_IsDir(&db, file) || !isWritten(file))
                continue;
            if (isInPlace(file))
                keepInPlace(file);
            else if (!shareCopy(file))
                return i;
        }
        return first;
    }

    // Every file of the folder up to decodedEnd, as its bytes come out of the decoder, each
    // checked against its own CRC where the archive stores one. Nothing is renamed here: a file
    // without a CRC is vouched for only once the folder's stream has ended and passed every
    // check, and a failure of the stream fails the whole extraction, whose staged files then go.
    bool extractStreamedFolder(UInt32 folder)
    {
        const CSzArEx &db = m_reader.database;
        m_reader.dropFolder(); // a whole folder decoded earlier is of no more use
        const UInt32 end = decodedEnd(folder);
        FolderStream stream(db, folder, &m_reader.lookStream.vt);
        const unsigned char *piece = nullptr;
        size_t pieceLeft = 0;
        for (UInt32 i = db.FolderToFile[folder]; i < end; ++i) {
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
        if (end < db.FolderToFile[folder + 1])
            return true;
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
    StagedFiles &m_staged;
    InstalledCopies &m_copies;
    QSet<QString> m_madeFolders;
    std::vector<bool> m_done;
    QHash<QString, quint32> m_lastOfPath;
    QHash<quint32, QString> m_copyOf;
};

bool stageArchive(QIODevice *archive, const QDir &destination, StagedFiles *staged,
                  const QStringList &installedVersions)
{
    ArchiveReader reader(archive);
    if (!reader.isOpen())
        return false;
    QStringList paths;
    if (!archive::checkEntries(reader, staged->reservedPaths(), staged->claimedPaths(), &paths)
        || !reader.d->sizesArePossible())
        return false;
    InstalledCopies copies(installedVersions, destination.absolutePath());
    return Extraction(*reader.d, destination.absolutePath(), paths, *staged, copies).run();
}

bool checkArchive(QIODevice *archive, const QStringList &reservedPaths)
{
    ArchiveReader reader(archive);
    QStringList reserved;
    for (const QString &path : reservedPaths)
        reserved.append(path.toCaseFolded());
    QHash<QString, QString> claimed;
    QStringList paths;
    return reader.isOpen() && archive::checkEntries(reader, reserved, &claimed, &paths)
        && reader.d->sizesArePossible();
}

bool extractArchive(QIODevice *archive, const QDir &destination)
{
    StagedFiles staged;
    return stageArchive(archive, destination, &staged) && staged.commit();
}
