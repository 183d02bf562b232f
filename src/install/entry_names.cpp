#include "install/entry_names.h"

#include "engine/path_names.h"
#include "install/archive_reader.h"
#include "install/commit.h"

bool archive::resolveEntryPath(const QString &name, QString *path)
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
        if (isWindowsReservedName(part) || SideFile::isSideFileName(part))
            return false;
        parts.append(part);
    }
    *path = parts.join(QLatin1Char('/'));
    return true;
}

bool archive::checkEntries(const ArchiveReader &reader, const QStringList &reservedPaths,
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
