#include "support/temp_home.h"

#include "support/target.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>

TempHome::TempHome()
{
    for (const char *d : {"home", "home/.local/share", "home/.config", "etc-xdg", "tmp"})
        QDir().mkpath(m_dir.path() + QLatin1Char('/') + QLatin1String(d));
    setEnv("HOME", home().toUtf8());
    setEnv("XDG_DATA_HOME", (home() + QStringLiteral("/.local/share")).toUtf8());
    setEnv("XDG_CONFIG_HOME", configHome().toUtf8());
    setEnv("XDG_CONFIG_DIRS", configDirs().toUtf8());
    setEnv("TMPDIR", (m_dir.path() + QStringLiteral("/tmp")).toUtf8());
    // A program that a test starts, and that ends up running a job, must not wait for
    // somebody to click a box on the display the window tests use.
    setEnv("KORVEL_HEADLESS", "1");
    if (target::isWindows()) {
        // A Wine prefix of the test's own: the program's data, desktop and registry live there.
        const QString prefix = m_dir.path() + QStringLiteral("/wine");
        const QString templatePrefix = qEnvironmentVariable("KORVEL_WINE_TEMPLATE");
        QProcess script;
        script.setProgram(QStringLiteral(KORVEL_SOURCE_DIR "/scripts/wine-prefix"));
        if (QFileInfo::exists(templatePrefix + QStringLiteral("/system.reg")))
            script.setArguments({"--clone", templatePrefix, prefix});
        else // no template for the run (scripts/test makes one): a new prefix, slowly
            script.setArguments({prefix});
        script.setStandardOutputFile(QProcess::nullDevice());
        script.start();
        script.waitForFinished(120000);
        setEnv("WINEPREFIX", prefix.toUtf8());
        setEnv("WINEDEBUG", "-all");
        // No desktop entries of the real desktop for the program's shortcuts and protocols.
        setEnv("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d");
    }
}

TempHome::~TempHome()
{
    if (target::isWindows()) // every process of the prefix, then its server
        QProcess::execute(QStringLiteral("wineserver"), {"-k"});
    for (auto it = m_saved.crbegin(); it != m_saved.crend(); ++it) {
        if (it->second.first)
            qputenv(it->first.constData(), it->second.second);
        else
            qunsetenv(it->first.constData());
    }
}

QString TempHome::home() const
{
    return m_dir.path() + QStringLiteral("/home");
}
QString TempHome::dataHome() const
{
    return target::isWindows() ? target::wineProfile() + QStringLiteral("/AppData/Roaming")
                               : home() + QStringLiteral("/.local/share");
}
QString TempHome::configHome() const
{
    return home() + QStringLiteral("/.config");
}
QString TempHome::configDirs() const
{
    return m_dir.path() + QStringLiteral("/etc-xdg");
}
QString TempHome::temp() const
{
    return target::isWindows() ? target::wineProfile() + QStringLiteral("/Temp")
                               : m_dir.path() + QStringLiteral("/tmp");
}
QString TempHome::dataDirectory() const
{
    return dataHome() + QStringLiteral("/ostrel/korvel");
}

void TempHome::setEnv(const char *name, const QByteArray &value)
{
    m_saved.append({QByteArray(name), {qEnvironmentVariableIsSet(name), qgetenv(name)}});
    qputenv(name, value);
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QMap<QString, QByteArray> filesBelow(const QString &root)
{
    QMap<QString, QByteArray> all;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        all[QDir(root).relativeFilePath(path)] = readFile(path);
    }
    return all;
}

QMap<QString, quint64> fileIdentities(const QString &root)
{
    QMap<QString, quint64> all;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat info {};
        if (::stat(QFile::encodeName(path).constData(), &info) == 0)
            all[QDir(root).relativeFilePath(path)] = quint64(info.st_ino);
    }
    return all;
}
