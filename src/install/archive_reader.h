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
// reading the entries of a folder in index order decodes it once. (extractArchive streams the
// folders it can instead; see there.)
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
    friend bool stageArchive(QIODevice *archive, const QDir &destination, StagedFiles *staged);
    friend bool checkArchive(QIODevice *archive, const QStringList &reservedPaths);
    struct Private;
    std::unique_ptr<Private> d;
};

// Files that extractions have written beside their final names, each checked in full, waiting
// to be renamed into place together; whatever is not renamed is removed when this ends. Of two
// extractions into one destination the later one wins, file by file, as when each had been
// extracted straight into place. Move-only; one thread.
class StagedFiles {
public:
    StagedFiles();
    ~StagedFiles();
    StagedFiles(StagedFiles &&other) noexcept;
    StagedFiles &operator=(StagedFiles &&other) noexcept;
    StagedFiles(const StagedFiles &) = delete;
    StagedFiles &operator=(const StagedFiles &) = delete;

    // Paths relative to the extractions' destination that no entry may take or lie below, in
    // any letter case: files the caller writes there itself. Set before the first extraction.
    void reservePaths(const QStringList &paths);

    bool isEmpty() const;
    // The final paths the renames will replace (or create), in the order they were staged.
    QStringList targets() const;
    // Renames every waiting file over its final name, in order, each old file kept aside
    // (platform::moveAside) until all are done, then removed (where the system still holds one,
    // it stays aside until a later extraction of its name). False at the first rename that is
    // refused: the files renamed before it are put back as they were (their old files, or none),
    // the rest removed, and *rolledBack (when given) says whether all could be put back (a file
    // the system took hold of meanwhile cannot).
    bool commit(bool *rolledBack = nullptr);
    // Removes every waiting file.
    void discard();

    // Where a caller writes a file of its own making (a patched file) for stageWritten: beside
    // finalPath, under the name extractions give the files they stage.
    static QString sidePath(const QString &finalPath);
    // Takes in the file the caller wrote and closed at sidePath(destination / relativePath) as if
    // an extraction had staged it for that path: relativePath gets the checks of an entry's name
    // (plain, '/'-separated, not reserved, not another staged file's spelling in another letter
    // case). False when it fails them (nothing is touched then), or when the final name holds
    // something that must not be replaced or the side file is not a regular file (the side
    // file is then removed).
    bool stageWritten(const QDir &destination, const QString &relativePath);

private:
    friend class Extraction;
    friend bool stageArchive(QIODevice *archive, const QDir &destination, StagedFiles *staged);
    struct Private;
    std::unique_ptr<Private> d;
};

// Extracts every entry of the archive below destination as if in archive order (an entry
// replaces an earlier one of the same path): directories are created at once; a file whose
// final name already holds exactly its content (same size and CRC, checked against the
// archive's stored CRC) is left untouched, and a folder whose files all match is not even
// decoded; every other file is written into a new file beside its final name and left in
// staged, to be renamed over the final name later, so a process that has the old one open or
// mapped keeps its content and nothing changes under a final name until the caller commits.
// An existing file that is not writable, or a directory, where a changed file goes fails the
// extraction. Stored attributes and times are not applied, except the execute bits, and a
// symbolic-link entry becomes a regular file holding the link text, so nothing links out of
// the destination. Files are flushed only where the system flushes file by file
// (platform::flushWrittenFile); elsewhere the caller flushes the file system once when it
// needs them durable.
//
// Folders of one LZMA or LZMA2 coder, with or without the x86 branch filter, are decoded as a
// stream: memory stays at the coder's dictionary plus a fixed buffer, whatever the folder's
// size. Other folders are decoded whole, as entryData does.
//
// Returns false when the archive cannot be opened, any entry name is unsafe (named as the side
// files an extraction writes, or as a path staged reserves), two file entries of this or an
// earlier extraction into staged differ only in letter case, or any declared size is impossible
// (all checked for all entries before anything is written), a folder cannot be
// decoded or fails a CRC, a directory cannot be created, or a file cannot be written in full.
// Nothing is ever written outside destination.
bool stageArchive(QIODevice *archive, const QDir &destination, StagedFiles *staged);

// Whether stageArchive would accept the archive as far as it can tell without decoding it or
// looking at a destination: every name, no two files that are one file where letter case does
// not count, no entry at or below a path of reservedPaths (as StagedFiles::reservePaths), and
// every declared size. For a publisher to refuse what its clients would refuse.
bool checkArchive(QIODevice *archive, const QStringList &reservedPaths = {});

// stageArchive, then the staged files renamed into place. A failure leaves no side file and
// no wrong or half-written file under a final name; when the extraction itself fails, no final
// name has changed (directories may have been created).
bool extractArchive(QIODevice *archive, const QDir &destination);
