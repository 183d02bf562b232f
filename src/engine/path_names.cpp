#include "engine/path_names.h"

#include <QDir>
#include <QUrl>

bool isPlainName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
        && !QDir::isAbsolutePath(name);
}

QString urlPathSegment(const QString &name)
{
    // The sub-delimiters, ":" and "@" may stand in a segment as they are; leaving them keeps the
    // URLs of ordinary names exactly as they always were.
    return QString::fromLatin1(QUrl::toPercentEncoding(name, "!$&'()*+,;=:@"));
}
