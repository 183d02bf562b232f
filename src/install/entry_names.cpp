#include "install/entry_names.h"

#include "install/archive_reader.h"
#include "install/commit.h"

namespace {

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

} // namespace

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
        if (isForbiddenComponent(part) || SideFile::isSideFileName(part))
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
