#include "base/process_start.h"

#include "base/command_line.h"
#include "base/locations.h"
#include "platform/process.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

namespace {

// Creates a new file that did not exist before (never an existing one another process might
// have planted) and leaves it open for writing in file.
bool createUniqueTempFile(const QString &prefix, QFile &file)
{
    const QDir temp(QDir::tempPath());
    const quint32 start = QRandomGenerator::global()->bounded(0x10000u);
    for (quint32 k = 0; k < 0x10000u; ++k) {
        const QString digits =
            QStringLiteral("%1").arg((start + k) & 0xffffu, 4, 16, QLatin1Char('0')).toUpper();
        file.setFileName(temp.filePath(prefix.left(3) + digits + QStringLiteral(".tmp")));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return true;
        if (file.exists())
            continue;
        return false; // not a name clash: the directory refuses
    }
    return false;
}

bool copyInto(const QString &sourcePath, QFile &target)
{
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    char buffer[64 * 1024];
    for (;;) {
        const qint64 n = source.read(buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (target.write(buffer, n) != n)
            return false;
    }
}

} // namespace

bool startProcess(const QString &commandLine)
{
    return platform::startDetachedProcess(splitCommandLine(commandLine)) > 0;
}

bool relaunchFromTempCopy(const QStringList &arguments)
{
    const QString line = buildCommandLine(QString(), arguments);
    const QFileInfo program = programFileInfo();

    QFile copy;
    if (!createUniqueTempFile(program.baseName(), copy))
        return false;
    const QString path = copy.fileName();
    // A half-written program must never be started.
    bool ready = copyInto(program.absoluteFilePath(), copy) && copy.flush();
    // Closed before the start: a file still open for writing cannot be executed.
    copy.close();
    ready = ready
        && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const QChar quote = QLatin1Char('"');
    const bool started = ready
        && startProcess(quote + QDir::toNativeSeparators(path) + quote + QLatin1Char(' ') + line);
    // The started copy keeps running from its open image; the name can go at once.
    QFile::remove(path);
    return started;
}
