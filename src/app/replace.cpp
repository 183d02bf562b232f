#include "app/replace.h"

#include "base/commands.h"
#include "base/locations.h"
#include "base/process_start.h"
#include "install/commit.h"
#include "platform/command_line.h"
#include "platform/library.h"
#include "platform/process.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

const char *const SelfReplaceRestartVariable = "KORVEL_SELF_REPLACED";

namespace {

const int RetryDelayMilliseconds = 200;
const QString EndOfGroups = QStringLiteral("--");

bool removePath(const QString &target)
{
    const QFileInfo info(target);
    // A link to a directory is removed as a link: following it would empty a directory
    // outside the tree that was meant.
    if (info.isDir() && !info.isSymLink())
        return QDir(target).removeRecursively();
    return QFile::remove(target);
}

bool runOperation(const QString &target, const QString &source)
{
    if (source == DeleteMarker)
        return removePath(target);
    if (QFileInfo::exists(target))
        return replaceWithBackup(target, source);
    return QFile::rename(source, target);
}

} // namespace

int runReplace(const char16_t *commandLineTail)
{
    // The tail is the argument list after the program, quoted so that this gives it back.
    const QStringList arguments = platform::splitArguments(QString::fromUtf16(commandLineTail));
    // arguments[0] is "replace"; the groups follow.
    bool ok = true;
    int code = 0;
    for (int i = 1; ok && i + 3 < arguments.size() && arguments.at(i) != EndOfGroups; i += 4) {
        const QString &target = arguments.at(i);
        const QString &source = arguments.at(i + 1);
        // A negative count would never reach zero by counting down; it means no attempt.
        int remaining = qMax(0, arguments.at(i + 2).toInt());
        bool succeeded = false;
        while (remaining != 0) {
            succeeded = runOperation(target, source);
            if (succeeded)
                break;
            platform::sleepMilliseconds(RetryDelayMilliseconds);
            --remaining;
        }
        if (!succeeded && arguments.at(i + 3).startsWith(QLatin1Char('0')))
            ok = false;
        code = succeeded ? 0 : -1;
    }
    return ok ? startTrailingCommand(commandLineTail) : code;
}

bool replaceWithBackup(const QString &target, const QString &source)
{
    const QString backup = target + QStringLiteral(".bak");
    if (!QFile::rename(target, backup))
        return false;
    if (QFile::rename(source, target)) {
        QFile::remove(backup);
        return true;
    }
    QFile::rename(backup, target);
    return false;
}

int startTrailingCommand(const char16_t *commandLineTail)
{
    const QString tail = QString::fromUtf16(commandLineTail);
    const int k = tail.indexOf(QStringLiteral(" -- "));
    if (k < 0)
        return -1;
    return startProcess(tail.mid(k + 4)) ? 1 : 0;
}

int runSelfReplace(const char16_t *)
{
    const QString program = programFileInfo().absoluteFilePath();
    platform::setEnvironmentVariable(SelfReplaceRestartVariable, QStringLiteral("1"));
    relaunchFromTempCopy({ReplaceCommand, program, program + QLatin1String(install::PendingSuffix),
                          QStringLiteral("5"), QStringLiteral("1"), EndOfGroups, program});
    return 0;
}
