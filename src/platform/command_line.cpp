#include "platform/command_line.h"

#include <QDir>
#include <QRegExp>

namespace platform {

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

namespace {

bool isSeparator(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

} // namespace

QStringList splitArguments(const QString &text)
{
    const QChar quote = QLatin1Char('"');
    const QChar backslash = QLatin1Char('\\');
    const int n = text.size();
    QStringList result;
    int i = 0;
    for (;;) {
        while (i < n && isSeparator(text.at(i)))
            ++i;
        if (i >= n)
            return result;
        QString argument;
        bool inQuotes = false;
        for (;;) {
            int backslashes = 0;
            while (i < n && text.at(i) == backslash) {
                ++backslashes;
                ++i;
            }
            bool copyCharacter = true;
            if (i < n && text.at(i) == quote) {
                if (backslashes % 2 == 0) {
                    if (inQuotes && i + 1 < n && text.at(i + 1) == quote)
                        ++i; // "" inside quotes: one literal mark, still quoted
                    else {
                        copyCharacter = false;
                        inQuotes = !inQuotes;
                    }
                }
                backslashes /= 2;
            }
            argument += QString(backslashes, backslash);
            if (i >= n || (!inQuotes && isSeparator(text.at(i))))
                break;
            if (copyCharacter)
                argument += text.at(i);
            ++i;
        }
        result.append(argument);
    }
}

QStringList splitCommandLine(const QString &commandLine)
{
    if (commandLine.isEmpty())
        return {};
    QString program;
    bool inQuotes = false;
    int i = 0;
    for (; i < commandLine.size(); ++i) {
        const QChar c = commandLine.at(i);
        if (c == QLatin1Char('"'))
            inQuotes = !inQuotes;
        else if (!inQuotes && isSeparator(c))
            break;
        else
            program += c;
    }
    return QStringList(program) + splitArguments(commandLine.mid(i));
}

} // namespace platform
