#include "support/target.h"

#include <QDir>
#include <QProcess>

namespace target {

namespace {

QString windowsBuild()
{
    return qEnvironmentVariable("KORVEL_WINDOWS_BUILD");
}

// Runs `wine reg query` on the current prefix; the output, or null when it failed.
QString query(const QStringList &arguments)
{
    QProcess reg;
    reg.start(QStringLiteral("wine"), QStringList{"reg", "query"} + arguments);
    if (!reg.waitForFinished(60000) || reg.exitStatus() != QProcess::NormalExit || reg.exitCode() != 0)
        return QString();
    return QString::fromUtf8(reg.readAllStandardOutput()).replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

} // namespace

bool isWindows()
{
    return !windowsBuild().isEmpty();
}

namespace {
bool useSigned = false;
} // namespace

void useSignedProgram(bool signedProgram)
{
    useSigned = signedProgram;
}

QString program()
{
    if (useSigned) {
#ifdef KORVEL_SIGNED_EXE
        return isWindows() ? windowsBuild() + QStringLiteral("/signed/Korvel.exe")
                           : QStringLiteral(KORVEL_SIGNED_EXE);
#else
        return windowsBuild() + QStringLiteral("/signed/Korvel.exe");
#endif
    }
    return isWindows() ? windowsBuild() + QStringLiteral("/Korvel.exe") : QStringLiteral(KORVEL_EXE);
}

QString sampleClient()
{
#ifdef KORVEL_SAMPLE_CLIENT
    return isWindows() ? windowsBuild() + QStringLiteral("/sample_client.dll")
                       : QStringLiteral(KORVEL_SAMPLE_CLIENT);
#else
    return isWindows() ? windowsBuild() + QStringLiteral("/sample_client.dll") : QString();
#endif
}

QString seen(const QString &path)
{
    if (!isWindows())
        return path;
    const QString driveC = winePrefix() + QStringLiteral("/drive_c/");
    if (path.startsWith(driveC))
        return QStringLiteral("C:/") + path.mid(driveC.size());
    return QStringLiteral("Z:") + path;
}

QString local(const QString &seenPath)
{
    if (!isWindows())
        return seenPath;
    const QString path = QString(seenPath).replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1String("C:/"), Qt::CaseInsensitive))
        return winePrefix() + QStringLiteral("/drive_c/") + path.mid(3);
    if (path.startsWith(QLatin1String("Z:/"), Qt::CaseInsensitive))
        return path.mid(2);
    return path;
}

QString native(const QString &path)
{
    return isWindows() ? QString(path).replace(QLatin1Char('/'), QLatin1Char('\\')) : path;
}

QChar listSeparator()
{
    return isWindows() ? QLatin1Char(';') : QLatin1Char(':');
}

QString launcher(const QString &program)
{
    return isWindows() && program.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)
        ? QStringLiteral("wine")
        : program;
}

QStringList launcherArguments(const QString &program, const QStringList &arguments)
{
    return launcher(program) == program ? arguments : QStringList(program) + arguments;
}

QString winePrefix()
{
    return qEnvironmentVariable("WINEPREFIX");
}

QString wineProfile()
{
    const QString users = winePrefix() + QStringLiteral("/drive_c/users");
    for (const QString &user : QDir(users).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (user != QLatin1String("Public"))
            return users + QLatin1Char('/') + user;
    }
    return users + QStringLiteral("/unknown");
}

QString registryValue(const QString &key, const QString &name)
{
    const QString output = query(name.isEmpty() ? QStringList{key, "/ve"} : QStringList{key, "/v", name});
    // "    NAME    REG_SZ    VALUE" (the default value's name reads "(Default)").
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        const int type = line.indexOf(QLatin1String("    REG_"));
        if (type < 0)
            continue;
        const int value = line.indexOf(QLatin1String("    "), type + 4);
        return value < 0 ? QStringLiteral("") : line.mid(value + 4);
    }
    return QString();
}

bool registryKeyExists(const QString &key)
{
    return !query({key}).isNull();
}

bool setRegistryValue(const QString &key, const QString &name, const QString &type, const QString &data)
{
    QProcess reg;
    reg.start(QStringLiteral("wine"), {"reg", "add", key, "/v", name, "/t", type, "/d", data, "/f"});
    return reg.waitForFinished(60000) && reg.exitStatus() == QProcess::NormalExit && reg.exitCode() == 0;
}

bool removeRegistryKey(const QString &key)
{
    QProcess reg;
    reg.start(QStringLiteral("wine"), {"reg", "delete", key, "/f"});
    return reg.waitForFinished(60000) && !registryKeyExists(key);
}

} // namespace target
