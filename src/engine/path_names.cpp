#include "engine/path_names.h"

#include <QDir>
#include <QStringList>
#include <QUrl>

bool isWindowsReservedName(const QString &part)
{
    if (part.isEmpty())
        return false;
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

bool isPlainName(const QString &name)
{
    // "." and ".." end in a dot: isWindowsReservedName refuses them too, but they are named here
    // for what they are.
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
        && !QDir::isAbsolutePath(name) && !isWindowsReservedName(name);
}

bool isPublishableName(const QString &name)
{
    return isPlainName(name) && !name.startsWith(QLatin1Char('.')) && urlPathSegment(name) == name;
}

bool staysInside(const QString &relativePath)
{
    if (QDir::isAbsolutePath(relativePath))
        return false;
    const QString clean = QDir::cleanPath(relativePath);
    return clean != QLatin1String("..") && !clean.startsWith(QLatin1String("../"));
}

QString urlPathSegment(const QString &name)
{
    // The sub-delimiters, ":" and "@" may stand in a segment as they are; leaving them keeps the
    // URLs of ordinary names exactly as they always were.
    return QString::fromLatin1(QUrl::toPercentEncoding(name, "!$&'()*+,;=:@"));
}
