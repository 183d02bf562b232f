#include "platform/shell_integration.h"

#include "platform/save_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

namespace platform {

namespace {

const QLatin1String desktopSuffix(".desktop");
const QLatin1String handlerSuffix("-url-handler.desktop");
const QLatin1String schemeMimePrefix("x-scheme-handler/");
const QLatin1String defaultsFileName("mimeapps.list");
const QByteArray defaultsSection("[Default Applications]");

// One argument of an Exec line. It is always quoted, so blanks and the shell's reserved
// characters are harmless; inside the quotes the four characters the format reserves there get
// a backslash, and '%' is doubled so that a path never turns into a field code.
QString execArgument(const QString &argument)
{
    QString quoted(QLatin1Char('"'));
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
    }
    return quoted + QLatin1Char('"');
}

// The file format's own escaping of a string value, applied on top of the Exec quoting (so a
// backslash of a path ends up as four). Without it a newline in a path would end the line and
// let the rest of the path pose as a key of its own.
QString escapeValue(const QString &value)
{
    QString escaped;
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\':
            escaped += QLatin1String("\\\\");
            break;
        case '\n':
            escaped += QLatin1String("\\n");
            break;
        case '\r':
            escaped += QLatin1String("\\r");
            break;
        case '\t':
            escaped += QLatin1String("\\t");
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

// Written beside and renamed over, so an interrupted write never leaves half a file; an
// existing file keeps its permissions.
bool writeWhole(const QString &path, const QByteArray &data)
{
    return platform::saveFile(path, data);
}

const QFile::Permissions readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser
    | QFile::ReadGroup | QFile::ReadOther;
const QFile::Permissions executable =
    readable | QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;

QString handlerId(const QString &scheme)
{
    return scheme + handlerSuffix;
}

// $XDG_DATA_HOME/applications, where the desktop looks for the user's own entries.
QString applicationsPath(const QString &fileName)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QLatin1String("/applications/") + fileName;
}

QString handlerPath(const QString &scheme)
{
    return applicationsPath(handlerId(scheme));
}

QString menuEntryPath(const QString &name)
{
    return applicationsPath(name + desktopSuffix);
}

// The entry that starts target without arguments, as a shortcut and the menu have it.
QString launcherEntry(const QString &name, const QString &description, const QString &target)
{
    return QLatin1String("[Desktop Entry]\n"
                         "Type=Application\n"
                         "Name=")
        + escapeValue(name) + QLatin1String("\nComment=") + escapeValue(description)
        + QLatin1String("\nExec=") + escapeValue(execArgument(target)) + QLatin1Char('\n');
}

QString defaultsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/')
        + defaultsFileName;
}

bool isSectionHeader(const QByteArray &line)
{
    return line.trimmed().startsWith('[');
}

// The key of a "key=value" line, or an empty array for anything else.
QByteArray keyOf(const QByteArray &line)
{
    const int equals = line.indexOf('=');
    return equals < 0 ? QByteArray() : line.left(equals).trimmed();
}

enum class DefaultEdit { Set, Clear };

// The lines of the user's defaults file, without the final line break; none when there is no
// file. False when the file exists but cannot be read.
bool readDefaults(const QString &path, QList<QByteArray> *lines, bool *existed)
{
    QFile in(path);
    *existed = in.exists();
    if (!*existed)
        return true;
    if (!in.open(QIODevice::ReadOnly))
        return false;
    *lines = in.readAll().split('\n');
    if (!lines->isEmpty() && lines->last().isEmpty())
        lines->removeLast(); // the final line break
    return true;
}

// A handler line without desktopId: the rest of its list, which may be empty. False when
// desktopId is not in the list (the line stays as it is).
bool withoutHandler(const QByteArray &line, const QByteArray &desktopId, QList<QByteArray> *rest)
{
    bool ours = false;
    for (const QByteArray &id : line.mid(line.indexOf('=') + 1).split(';')) {
        const QByteArray trimmed = id.trimmed();
        if (trimmed == desktopId)
            ours = true;
        else if (!trimmed.isEmpty())
            rest->append(trimmed);
    }
    return ours;
}

// Applies edit to the lines of a defaults file; returns whether any line changed.
bool editDefaultLines(QList<QByteArray> &lines, const QByteArray &mimeType, const QByteArray &desktopId,
                      DefaultEdit edit)
{
    const QByteArray ourLine = mimeType + '=' + desktopId;
    bool inSection = false;
    bool written = false;
    bool changed = false;
    int sectionEnd = -1; // index after the section's last key line
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i);
        if (isSectionHeader(line)) {
            inSection = line.trimmed() == defaultsSection;
            if (inSection)
                sectionEnd = i + 1;
            continue;
        }
        if (!inSection)
            continue;
        if (keyOf(line) != mimeType) {
            if (!line.trimmed().isEmpty())
                sectionEnd = i + 1;
            continue;
        }
        if (edit == DefaultEdit::Set) {
            if (written) { // a repeated key would be ambiguous: keep only ours
                lines.removeAt(i--);
                changed = true;
                continue;
            }
            if (line.trimmed() != ourLine) {
                lines[i] = ourLine;
                changed = true;
            }
            written = true;
            sectionEnd = i + 1;
        } else {
            QList<QByteArray> ids;
            if (!withoutHandler(line, desktopId, &ids))
                continue;
            changed = true;
            if (ids.isEmpty())
                lines.removeAt(i--);
            else
                lines[i] = mimeType + '=' + ids.join(';') + ';';
        }
    }
    if (edit == DefaultEdit::Set && !written) {
        changed = true;
        if (sectionEnd >= 0) {
            lines.insert(sectionEnd, ourLine);
        } else {
            if (!lines.isEmpty() && !lines.last().trimmed().isEmpty())
                lines.append(QByteArray());
            lines.append(defaultsSection);
            lines.append(ourLine);
        }
    }
    return changed;
}

// Sets or clears the default handler of mimeType in the user's defaults file, keeping every
// other line as it was, byte for byte (the file is the user's and other programs write it).
// Set writes "mimeType=desktopId"; Clear takes desktopId out of that key's list and drops the
// line when nothing is left. The file is left untouched when it exists but cannot be read, so a
// file that is merely unreadable is never replaced by our one line.
bool editDefault(const QString &mimeTypeText, const QString &desktopIdText, DefaultEdit edit)
{
    const QString path = defaultsPath();
    QList<QByteArray> lines;
    bool existed = false;
    if (!readDefaults(path, &lines, &existed))
        return false;
    if (!existed && edit == DefaultEdit::Clear)
        return true;
    if (!editDefaultLines(lines, mimeTypeText.toUtf8(), desktopIdText.toUtf8(), edit))
        return true;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QByteArray data;
    for (const QByteArray &line : qAsConst(lines))
        data += line + '\n';
    return writeWhole(path, data) && (existed || QFile::setPermissions(path, readable));
}

} // namespace

QString shortcutSuffix()
{
    return desktopSuffix;
}

bool createShortcut(const QString &path, const QString &target, const QString &description)
{
    const QString entry = launcherEntry(QFileInfo(path).completeBaseName(), description, target);
    // Desktops start a launcher from the desktop only when it is marked executable.
    return writeWhole(path, entry.toUtf8()) && QFile::setPermissions(path, executable);
}

bool addApplicationMenuEntry(const QString &name, const QString &target, const QString &description)
{
    const QString path = menuEntryPath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QString entry = launcherEntry(name, description, target) + QLatin1String("Categories=Network;\n");
    return writeWhole(path, entry.toUtf8()) && QFile::setPermissions(path, readable);
}

void removeApplicationMenuEntry(const QString &name)
{
    QFile::remove(menuEntryPath(name));
}

bool registerUrlScheme(const QString &scheme, const QString &name, const QString &target)
{
    const QString path = handlerPath(scheme);
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QString entry = QLatin1String("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=")
        + escapeValue(name) + QLatin1String("\nExec=") + escapeValue(execArgument(target))
        + QLatin1String(" %u\nMimeType=") + schemeMimePrefix + escapeValue(scheme)
        + QLatin1String(";\nNoDisplay=true\n");
    // The entry is written first: a default that names a missing entry would be ignored anyway,
    // and the entry alone already offers the program for the scheme.
    const bool entryWritten = writeWhole(path, entry.toUtf8()) && QFile::setPermissions(path, readable);
    const bool defaultWritten = editDefault(schemeMimePrefix + scheme, handlerId(scheme), DefaultEdit::Set);
    return entryWritten && defaultWritten;
}

void unregisterUrlScheme(const QString &scheme)
{
    editDefault(schemeMimePrefix + scheme, handlerId(scheme), DefaultEdit::Clear);
    QFile::remove(handlerPath(scheme));
}

} // namespace platform
