#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>
#include <QStringList>

#include <memory>

class QDir;
class QIODevice;
class StagedFiles;

// One open 7z archive, read through the LZMA SDK's decoder.
//
// The archive is read from a QIODevice that the caller has opened for reading and keeps open
// for the reader's life; the reader neither owns, opens nor closes it. entryData decodes the
// whole of a folder (the SDK's unit of compression; a solid archive is one folder for many
// files) into memory at once and keeps it until an entry of another folder is asked for, so
// reading the entries of a folder in index order decodes it once. (extractArchive, in
// install/extraction.h, streams the folders it can instead.)
//
// Entry names are returned as stored: they are untrusted (extractArchive checks them). Declared sizes
// are untrusted too: a folder that claims more than its packed bytes can expand to, or a file
// that does not fit in its folder, is refused before anything is allocated for it.
// One thread at a time; move-only.
class ArchiveReader {
public:
    // Opens the archive's database. When the SDK rejects the archive (not a 7z archive,
    // truncated, unsupported, out of memory) isOpen() is false and the reader lists no entries.
    explicit ArchiveReader(QIODevice *archive);
    ~ArchiveReader();
    ArchiveReader(ArchiveReader &&other) noexcept;
    ArchiveReader &operator=(ArchiveReader &&other) noexcept;
    ArchiveReader(const ArchiveReader &) = delete;
    ArchiveReader &operator=(const ArchiveReader &) = delete;

    bool isOpen() const;

    // Files and directories of the archive; 0 when it is not open.
    quint32 numEntries() const;
    // For index < numEntries() only.
    bool isDirectory(quint32 index) const;
    // The stored name: a '/'-separated path meant to be relative to the archive's root.
    QString entryName(quint32 index) const;
    // The entry was stored as a symbolic link (its data is the link's target text). This
    // reader never makes links; the caller decides what to do with one.
    bool isSymbolicLink(quint32 index) const;
    // The execute permissions the entry was stored with in its Unix mode (the launcher and
    // helper programs of a package); none when the archive stored no Unix mode.
    QFileDevice::Permissions executePermissions(quint32 index) const;

    // The unpacked content of a file entry, in data (a copy; empty for a directory or an
    // empty file). Returns false, with data empty, when the entry's folder cannot be decoded:
    // unsupported method, corrupt or missing data, a failed folder or file CRC, an impossible
    // declared size (4 GiB or more, more than its packed bytes can hold), or a buffer that
    // cannot be allocated.
    bool entryData(quint32 index, QByteArray *data);

    // How many times a folder has been decoded by this reader (for tests and measurements).
    int folderDecodeCount() const;
    // The largest unpacked folder size the archive declares, in bytes (for measurements).
    quint64 largestFolderSize() const;

private:
    friend class Extraction;
    friend bool stageArchive(QIODevice *archive, const QDir &destination, StagedFiles *staged,
                             const QStringList &installedVersions);
    friend bool checkArchive(QIODevice *archive, const QStringList &reservedPaths);
    struct Private;
    std::unique_ptr<Private> d;
};
