#pragma once

#include <QFileDevice>
#include <QSet>
#include <QString>
#include <QStringList>

// The files of installed versions that an extraction may take for its entries instead of
// writing them anew (stageArchive). An update installs into a new version directory, where most
// files are byte for byte those of the version it replaces; each such file becomes a new name of
// the installed one where the system allows (platform::shareFile), so nothing is decoded or
// written for it. A file counts as a copy only when it is a regular file inside one of the
// directories, reached through no link, of the entry's size and with the bytes of the entry's
// stored CRC (read whole each time: a file the client rewrote, or one the disk damaged, must not
// be carried into the new version), and with exactly the permissions the extraction would give
// the file, since the copy may share them and nothing may change them afterwards.
// Used on one thread (the extractor's, so the reading overlaps the downloads).
class InstalledCopies {
public:
    InstalledCopies() = default;
    // directories: absolute paths, the one to take from first first. One that is destination
    // (whose files the extraction compares in place anyway), a link or no directory is passed over.
    InstalledCopies(const QStringList &directories, const QString &destination);

    bool isEmpty() const { return m_directories.isEmpty(); }

    // The first copy of the entry at relativePath (checked by archive::checkEntries) of size bytes
    // (none when 0) whose CRC is crc, for a file that the extraction would write at finalPath with
    // the execute bits executable (and otherwise the permissions of the file it replaces there, or
    // those of a new file: then any that leave its owner reading and writing it). Empty when none.
    QString find(const QString &relativePath, const QString &finalPath, quint64 size, quint32 crc,
                 QFileDevice::Permissions executable);

private:
    bool isReachedWithoutLinks(const QString &directory, const QString &relativePath);

    QStringList m_directories;
    QSet<QString> m_linkFreeFolders;
};

// Whether path is a regular file (not a link) of exactly size bytes whose CRC-32, as the 7z
// format keeps it, is crc. Only a file of the right size is read.
bool fileHasContent(const QString &path, quint64 size, quint32 crc);
