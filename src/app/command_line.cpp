#include "app/command_line.h"

#include <QDir>
#include <QRegExp>

namespace {

QString quoteArgument(const QString &argument)
{
    // Every run of backslashes that precedes a quotation mark is doubled and the mark escaped,
    // which is how the C runtime reads them back.
    static const QRegExp backslashesBeforeQuote(QStringLiteral("(\\\\*)\""));
    QString t = argument;
    t.replace(backslashesBeforeQuote, QStringLiteral("\\1\\1\\\""));

    if (t.isEmpty() || t.contains(QLatin1Char(' ')) || t.contains(QLatin1Char('\t'))) {
        // Trailing backslashes stay outside the closing mark so they are not read as escaping it.
        int i = t.size();
        while (i > 0 && t.at(i - 1) == QLatin1Char('\\'))
            --i;
        t.insert(i, QLatin1Char('"'));
        t.insert(0, QLatin1Char('"'));
    }
    return t;
}

} // namespace

QString buildCommandLine(const QString &program, const QStringList &arguments)
{
    QString result;
    if (!program.isEmpty()) {
        QString p = program;
        const QChar quote = QLatin1Char('"');
        if (!p.startsWith(quote) && !p.endsWith(quote) && p.contains(QLatin1Char(' ')))
            p = quote + p + quote;
        result = QDir::toNativeSeparators(p) + QLatin1Char(' ');
    }
    for (const QString &argument : arguments)
        result += QLatin1Char(' ') + quoteArgument(argument);
    return result;
}
