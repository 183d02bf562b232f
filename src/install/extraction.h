#pragma once

#include <QStringList>

class QDir;
class QIODevice;
class StagedFiles;

// Extracts every entry of the archive below destination as if in archive order (an entry
// replaces an earlier one of the same path): directories are created at once; a file whose
// final name already holds exactly its content (same size and CRC, checked against the
// archive's stored CRC) and its execute bits is left untouched (never changed in place), and a
// folder whose files all match is not even decoded; every other file is written into a new
// file beside its final name and left in staged, to be renamed over the final name later, so a
// process that has the old one open or mapped keeps its content and nothing changes under a
// final name until the caller commits.
// An existing file that is not writable, or a directory, where a changed file goes fails the
// extraction. Stored attributes and times are not applied, except the execute bits, and a
// symbolic-link entry becomes a regular file holding the link text, so nothing links out of
// the destination. Files are flushed only where the system flushes file by file
// (platform::flushWrittenFile); elsewhere the caller flushes the file system once when it
// needs them durable.
//
// Folders of one LZMA or LZMA2 coder, with or without the x86 branch filter, are decoded as a
// stream: memory stays at the coder's dictionary plus a fixed buffer, whatever the folder's
// size. Other folders are decoded whole, as ArchiveReader::entryData does.
//
// A file with neither may instead be staged from a copy that one of installedVersions (absolute
// paths of installed version directories, the one to take from first first) holds at its
// relative path (InstalledCopies): a new name of that file, or a copy of it, at its side file's
// place, taken in like a patched file (StagedFiles::stageWritten); a folder whose files are all
// in place or found there is not decoded either, and one whose files all have CRCs is decoded
// only as far as its last file that is neither. The installed versions are only read.
//
// Returns false when the archive cannot be opened, any entry name is unsafe (named as the side
// files an extraction writes, or as a path staged reserves), two file entries of this or an
// earlier extraction into staged differ only in letter case, or any declared size is impossible
// (all checked for all entries before anything is written), a folder cannot be
// decoded or fails a CRC, a directory cannot be created, or a file cannot be written in full.
// Nothing is ever written outside destination.
bool stageArchive(QIODevice *archive, const QDir &destination, StagedFiles *staged,
                  const QStringList &installedVersions = {});

// Whether stageArchive would accept the archive as far as it can tell without decoding it or
// looking at a destination: every name, no two files that are one file where letter case does
// not count, no entry at or below a path of reservedPaths (as StagedFiles::reservePaths), and
// every declared size. For a publisher to refuse what its clients would refuse.
bool checkArchive(QIODevice *archive, const QStringList &reservedPaths = {});

// stageArchive, then the staged files renamed into place. A failure leaves no side file and
// no wrong or half-written file under a final name; when the extraction itself fails, no final
// name has changed (directories may have been created).
bool extractArchive(QIODevice *archive, const QDir &destination);
