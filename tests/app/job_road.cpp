#include "job_road.h"

#include "support/installed_layout.h"
#include "support/process_scan.h"
#include "support/target.h"
#include "support/tools.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUrlQuery>

#include <csignal>

namespace {

const QString Publisher = QStringLiteral(KORVEL_BUILD_DIR "/korvel-publish");
const QString ClientLibrary = QStringLiteral("libkorvel_client.so");

} // namespace

void JobRoad::SetUp()
{
    ASSERT_TRUE(server.isListening());
    useServers(server.baseUrl());
    // The beacon, answered as the statistics server does: an empty 200.
    server.serve("/c.gif", HttpReply::ok(""));
    home.setEnv("KORVEL_HEADLESS", "1");
    home.setEnv("KORVEL_SAMPLE_REPORT", target::native(target::seen(clientLog())).toUtf8());
    downloaded = installProgram(home.home() + QStringLiteral("/Downloads"));
    ASSERT_FALSE(downloaded.isEmpty());
}

void JobRoad::TearDown()
{
    // Whatever the program started and left running: launched clients, temporary copies.
    EXPECT_EQ(killProcessesFrom(home.root()), 0) << "a process the program started was still running";
}

void JobRoad::useServers(const QString &base)
{
    for (const char *variable : {"KORVEL_CATALOGUE_SERVER", "KORVEL_COMPONENT_SERVER",
                                 "KORVEL_PACKAGE_SERVER", "KORVEL_STATS_SERVER"})
        home.setEnv(variable, base.toUtf8());
}

void JobRoad::publish(const QString &version, bool prefetch)
{
    const QString stage = this->stage(version);
    ASSERT_FALSE(installProgram(stage).isEmpty());
    for (auto it = extraFiles.cbegin(); it != extraFiles.cend(); ++it)
        ASSERT_TRUE(writeFile(stage + QLatin1Char('/') + it.key(), it.value()));
    if (!extraFiles.contains(ClientLibrary)) {
        ASSERT_TRUE(writeFile(stage + QLatin1Char('/') + ClientLibrary, readFile(target::sampleClient())));
    }
    ASSERT_TRUE(writeFile(stage + QStringLiteral("/sample_version.txt"), version.toUtf8() + '\n'));
    QStringList arguments{"--version",        version,       "--source",     stage,
                          "--output",         tree(),        "--entry-file", ClientLibrary,
                          "--entry-function", "korvel_entry"};
    if (prefetch)
        arguments.append(QStringLiteral("--prefetch"));
    arguments += publishArguments;
    QByteArray output;
    ASSERT_EQ(runTool(Publisher, arguments, {}, {}, &output), 0) << output.constData();
    serveTree();
}

void JobRoad::serveTree(const std::function<bool(const QString &)> &skip)
{
    const QMap<QString, QByteArray> files = filesBelow(tree());
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QByteArray path = '/' + it.key().toUtf8();
        if (skip && skip(it.key()))
            server.serve(path, HttpReply::status(404));
        else
            server.serve(path, HttpReply::ok(it.value()));
    }
}

int JobRoad::run(const QString &program, const QStringList &arguments)
{
    return runProgram(program, arguments, home.root(), &out, &err);
}

QList<QByteArray> JobRoad::errLines() const
{
    QList<QByteArray> lines = err.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    // The Windows C runtime writes text streams with "\r\n".
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

QList<QByteArray> JobRoad::clientReports() const
{
    QList<QByteArray> reports;
    const QByteArray log = readFile(clientLog());
    int start = log.indexOf("entry: ");
    while (start >= 0) {
        const int next = log.indexOf("\nentry: ", start);
        reports.append(log.mid(start, next < 0 ? -1 : next + 1 - start));
        start = next < 0 ? -1 : next + 1;
    }
    return reports;
}

QByteArray JobRoad::waitForLaunchedClient()
{
    QElapsedTimer timer;
    timer.start();
    // The client writes its whole report at once; its pid line comes last.
    while (sampleField(readFile(clientLog()), "pid").isEmpty() && timer.elapsed() < 10000)
        QThread::msleep(20);
    const QList<QByteArray> reports = clientReports();
    if (reports.isEmpty()) {
        ADD_FAILURE() << "the installed client was not started";
        return {};
    }
    // A Windows process id means nothing here: wait for the prefix's programs instead.
    EXPECT_TRUE(target::isWindows() ? waitForNoProcessesFrom(home.root())
                                    : waitForProcessEnd(sampleField(reports.last(), "pid").toLongLong()));
    return reports.last();
}

void JobRoad::installFromDownload()
{
    ASSERT_EQ(run(downloaded), 0) << err.constData();
    ASSERT_FALSE(waitForLaunchedClient().isEmpty());
}

QMap<QString, QByteArray> JobRoad::releaseFiles(const QString &version) const
{
    return filesBelow(stage(version));
}

bool JobRoad::runKilledAt(const QString &path, const QString &program, const QStringList &arguments)
{
    const QStringList strace{
        "-f", "-o", "/dev/null", "-P", path, "-e", "trace=all", "-e", "inject=all:signal=KILL", program};
    const int status = runProgram(QStringLiteral("strace"), strace + arguments, home.root(), &out, &err);
    killProcessesFrom(home.root());
    // strace ends the way its program did: killed, or with 128 + the signal.
    return status == -1 || status == 128 + SIGKILL;
}

int JobRoad::runOnFullDisk(qint64 bytes, const QString &program, const QStringList &arguments)
{
    // An ignored SIGXFSZ stays ignored across exec, so the write fails instead.
    const QStringList shell{"-c", "trap '' XFSZ; exec prlimit --fsize=\"$0\" \"$@\"", QString::number(bytes),
                            program};
    return runProgram(QStringLiteral("sh"), shell + arguments, home.root(), &out, &err);
}

QByteArray JobRoad::startNormally(const QString &program)
{
    QFile::remove(clientLog());
    const int status = run(program);
    EXPECT_EQ(status, 0) << err.constData();
    // A client found at once ran inside this process; one installed first was launched by it.
    // Either way its report is in the log.
    return status == 0 ? waitForLaunchedClient() : QByteArray();
}

void JobRoad::expectRanComplete(const QByteArray &report)
{
    const QString version = QString::fromUtf8(sampleField(report, "version"));
    const QString directory = target::local(QString::fromUtf8(sampleField(report, "cwd")));
    const QMap<QString, QByteArray> release = releaseFiles(version);
    EXPECT_FALSE(release.isEmpty()) << "the client ran as an unknown version " << version.toStdString();
    for (auto it = release.cbegin(); it != release.cend(); ++it) {
        EXPECT_EQ(readFile(directory + QLatin1Char('/') + it.key()), it.value())
            << "version " << version.toStdString() << " ran without its " << it.key().toStdString();
    }
}

void JobRoad::expectCompleteInstallation(const QString &version)
{
    const QString data = home.dataDirectory();
    QMap<QString, QByteArray> installed = filesBelow(data + QLatin1Char('/') + version);
    EXPECT_TRUE(installed.contains(QStringLiteral("manifest.xml")));
    installed.remove(QStringLiteral("manifest.xml"));
    EXPECT_TRUE(installed == releaseFiles(version)) << "version " << version.toStdString() << " is not whole";
    EXPECT_EQ(readFile(installedProgram()), readFile(target::program())) << "no launcher";
    EXPECT_EQ(uninstallString(), launcherCommand(installedProgram()));
    EXPECT_TRUE(protocolKeyExists());
    EXPECT_TRUE(QFileInfo::exists(home.shortcut())) << "no shortcut";
    if (home.makesDesktopEntries()) {
        EXPECT_TRUE(QFileInfo::exists(home.urlHandler())) << "no URL handler";
        EXPECT_TRUE(QFileInfo::exists(home.menuEntry())) << "no menu entry";
    }
}

QMap<QString, QByteArray> JobRoad::writeUserFiles(const QString &copiedVersion)
{
    const QString data = home.dataDirectory();
    QMap<QString, QByteArray> files{{"logs/client.log", "a log the client keeps"},
                                    {"userdata/notes.txt", "the user's notes"},
                                    {"packages/README.txt", "a note in the store"},
                                    {"packages/notes/readme.txt", "a folder of notes in the store"}};
    const QMap<QString, QByteArray> installed = filesBelow(data + '/' + copiedVersion);
    EXPECT_TRUE(installed.contains("manifest.xml")) << copiedVersion.toStdString() << " is not installed";
    for (auto it = installed.cbegin(); it != installed.cend(); ++it)
        files.insert(copiedVersion + "-backup/" + it.key(), it.value());
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        EXPECT_TRUE(writeFile(data + '/' + it.key(), it.value()));
    return files;
}

void JobRoad::expectUserFiles(const QMap<QString, QByteArray> &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = home.dataDirectory() + '/' + it.key();
        EXPECT_TRUE(QFileInfo(path).isFile()) << it.key().toStdString() << " is gone";
        EXPECT_EQ(readFile(path), it.value()) << it.key().toStdString();
    }
}

QList<QByteArray> JobRoad::manifestRequests() const
{
    QList<QByteArray> paths;
    for (const HttpRequest &request : server.requests()) {
        if (request.path().startsWith("/bin/manifest/"))
            paths.append(request.path());
    }
    return paths;
}

QList<QByteArray> JobRoad::beaconTypes() const
{
    QList<QByteArray> types;
    for (const HttpRequest &request : server.requests("/c.gif"))
        types.append(
            QUrlQuery(QString::fromUtf8(request.query())).queryItemValue(QStringLiteral("type")).toUtf8());
    return types;
}

namespace {

QSettings *userSettings(QSettings *settings)
{
    userSettingsOnly(*settings);
    return settings;
}

} // namespace

namespace {

const QString UninstallKey =
    QStringLiteral("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\kv");
const QString ProtocolKey = QStringLiteral("HKCU\\Software\\Classes\\kv");
const QString ProductKey = QStringLiteral("HKCU\\Software\\ostrel\\kv");

} // namespace

void JobRoad::forgetRegistration()
{
    if (!target::isWindows()) {
        // The stand-in registry is the settings below the configuration home.
        QDir(home.configHome()).removeRecursively();
        return;
    }
    for (const QString &key : {UninstallKey, ProtocolKey, ProductKey})
        EXPECT_TRUE(target::removeRegistryKey(key)) << key.toStdString();
}

bool uninstallEntryExists()
{
    if (target::isWindows())
        return target::registryKeyExists(UninstallKey);
    QSettings settings(QStringLiteral("Microsoft"), QStringLiteral("Windows"));
    userSettings(&settings)->beginGroup(QStringLiteral("CurrentVersion/Uninstall"));
    return settings.childGroups().contains(QStringLiteral("kv"));
}

bool protocolKeyExists()
{
    if (target::isWindows())
        return target::registryKeyExists(ProtocolKey);
    QSettings settings(QStringLiteral("Classes"), QStringLiteral("kv"));
    return !userSettings(&settings)->allKeys().isEmpty();
}

QString uninstallValue(const QString &name)
{
    if (target::isWindows())
        return target::registryValue(UninstallKey, name);
    QSettings settings(QStringLiteral("Microsoft"), QStringLiteral("Windows"));
    return userSettings(&settings)->value(QStringLiteral("CurrentVersion/Uninstall/kv/") + name).toString();
}

QString uninstallString()
{
    return uninstallValue(QStringLiteral("UninstallString"));
}

QString launcherCommand(const QString &path)
{
    return target::native(target::seen(path)) + QStringLiteral("  uninstall");
}

QString storedMachineId()
{
    if (target::isWindows())
        return target::registryValue(ProductKey, QStringLiteral("MachineUuid"));
    QSettings settings(QStringLiteral("ostrel"), QStringLiteral("kv"));
    return userSettings(&settings)->value(QStringLiteral("MachineUuid")).toString();
}
