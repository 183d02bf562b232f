// The job runner's roads (install, launch, update, uninstall) with the real program: one file
// over 500 lines because its cases share the road fixture and the checks of an installation.
#include "job_road.h"

#include "engine/version_catalogue.h"

#include "support/installed_layout.h"
#include "support/process_scan.h"
#include "support/target.h"
#include "support/tools.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDateTime>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QSettings>
#include <QThread>

#include <random>

namespace {

const QByteArray RunningCopyText =
    QStringLiteral("检测到Korvel正在运行，请退出所有Korvel进程后重试。").toUtf8();

QStringList partialFilesBelow(const QString &root)
{
    QStringList partial;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(".partial"))
            partial.append(path);
    }
    return partial;
}

bool registeredAnywhere(const RegistryHome &home)
{
    return uninstallEntryExists() || protocolKeyExists() || QFileInfo::exists(home.shortcut())
        || QFileInfo::exists(home.menuEntry()) || QFileInfo::exists(home.urlHandler());
}

// The user's Internet settings as WinHTTP reads them (the binary DefaultConnectionSettings
// value): flags 3 = a fixed proxy, 5 = a proxy script; no bypass list.
bool setInternetSettings(quint32 flags, const QByteArray &proxy, const QByteArray &script)
{
    QByteArray value;
    const auto number = [&value](quint32 n) {
        for (int i = 0; i < 4; ++i)
            value.append(char((n >> (8 * i)) & 0xff));
    };
    number(0x46);
    number(1); // the settings' change counter
    number(flags);
    number(quint32(proxy.size()));
    value += proxy;
    number(0);
    number(quint32(script.size()));
    value += script;
    value += QByteArray(32, '\0');
    return target::setRegistryValue(
        "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections",
        "DefaultConnectionSettings", "REG_BINARY", QString::fromLatin1(value.toHex()));
}

// A proxy in front of the road's server: it answers the absolute URL of every file of the
// tree (what a client sends a proxy) with the file, and logs the requests.
void serveThrough(TestHttpServer *proxy, const TestHttpServer &server, const QString &tree)
{
    const QMap<QString, QByteArray> files = filesBelow(tree);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        proxy->serve(server.url('/' + it.key()).toUtf8(), HttpReply::ok(it.value()));
    // The beacon goes the same way.
    proxy->serve(server.url("/c.gif").toUtf8(), HttpReply::ok(""));
}

// Adds a failure unless the whole install went through proxy: the catalogue, the manifest and
// the packages were asked of it by their absolute URLs, and the server itself saw nothing.
void expectInstalledThrough(const TestHttpServer &proxy, const TestHttpServer &server)
{
    EXPECT_EQ(proxy.requestCount(server.url("/bin/versions.xml").toUtf8()), 1);
    EXPECT_EQ(proxy.requestCount(server.url("/bin/manifest/1.0.xml").toUtf8()), 1);
    EXPECT_GE(proxy.requests().size(), 2 + 3);
    for (const HttpRequest &request : proxy.requests())
        EXPECT_TRUE(request.target.startsWith(server.baseUrl().toUtf8() + '/')) << request.target.constData();
    EXPECT_TRUE(server.requests().isEmpty()) << server.requests().value(0).target.constData();
}

// The store's files as listed relative to the data directory, with the user's among them.
QStringList withUserStoreFiles(QStringList files)
{
    files += QStringList{"packages/README.txt", "packages/notes/readme.txt"};
    files.sort();
    return files;
}

} // namespace

TEST_F(JobRoad, InstallLaysOutRegistersReportsAndStartsTheClientOnceAfterThePause)
{
    publish("1.0");
    const QByteArray catalogue = readFile(tree() + "/bin/versions.xml");
    server.serve("/bin/versions.xml", HttpReply::ok(catalogue, {"ETag: \"release-1\""}));

    ASSERT_EQ(run(downloaded), 0) << err.constData();
    const QString data = home.dataDirectory();

    // The cache keeps the tag for the next conditional request.
    EXPECT_EQ(readFile(data + "/versions.xml"), "If-None-Match: \"release-1\"\r\n" + catalogue);
    QMap<QString, QByteArray> expected = releaseFiles("1.0");
    expected["manifest.xml"] = readFile(tree() + "/bin/manifest/1.0.xml");
    EXPECT_EQ(filesBelow(data + "/1.0"), expected);
    EXPECT_EQ(readFile(data + "/Korvel.exe"), readFile(target::program()));
    if (!target::isWindows()) { // Windows has no execute bit to set
        EXPECT_TRUE(QFileInfo(data + "/Korvel.exe").isExecutable());
        EXPECT_TRUE(QFileInfo(data + "/1.0/Korvel.exe").isExecutable());
    }
    // One verified package per top-level file, nothing half-downloaded.
    EXPECT_EQ(filesBelow(data + "/packages").size(), 3);
    EXPECT_EQ(partialFilesBelow(data), QStringList());

    EXPECT_EQ(uninstallString(), launcherCommand(data + "/Korvel.exe"));
    EXPECT_EQ(uninstallValue("QuietUninstallString"), launcherCommand(data + "/Korvel.exe"));
    EXPECT_EQ(uninstallValue("InstallLocation"), target::native(target::seen(data)));
    EXPECT_EQ(uninstallValue("InstallDate"), QDate::currentDate().toString("yyyyMMdd"));
    // In KiB, of what lay below the data directory when it was registered (a unit of bytes
    // or none at all would be off by a factor of 1024).
    qint64 installedBytes = 0;
    for (const QByteArray &content : filesBelow(data))
        installedBytes += content.size();
    bool sizeRead = false;
    const QString size = uninstallValue("EstimatedSize"); // "0x..." from the registry
    const qint64 sizeKiB = size.toLongLong(&sizeRead, 0);
    EXPECT_TRUE(sizeRead) << size.toStdString();
    EXPECT_GE(sizeKiB * 1024 * 2, installedBytes) << size.toStdString();
    EXPECT_LE(sizeKiB * 1024, installedBytes * 2) << size.toStdString();
    EXPECT_TRUE(protocolKeyExists());
    EXPECT_TRUE(QFileInfo::exists(home.shortcut()));
    EXPECT_EQ(QFileInfo::exists(home.menuEntry()), home.makesDesktopEntries());
    EXPECT_EQ(QFileInfo::exists(home.urlHandler()), home.makesDesktopEntries());
    EXPECT_EQ(beaconTypes(), QList<QByteArray>{"1"});
    EXPECT_FALSE(storedMachineId().isEmpty());

    // The installed launcher found the client and ran it, once; the program exited before the
    // client did, so nothing can start it again.
    const QByteArray report = waitForLaunchedClient();
    EXPECT_EQ(sampleField(report, "version"), "1.0");
    EXPECT_EQ(sampleField(report, "cwd"), target::seen(data + "/1.0").toUtf8());
    EXPECT_EQ(clientReports().size(), 1);
    // The beacon goes out right before the finished step; the launch waits the pause after it.
    // File times come from the kernel's coarse clock, which may lag by one tick: allow 10 ms
    // (without the pause the client's report comes within a few milliseconds of the beacon).
    const qint64 beaconMs = server.requests("/c.gif").value(0).receivedMs;
    const qint64 launchedMs = QFileInfo(clientLog()).lastModified().toMSecsSinceEpoch();
    EXPECT_GE(launchedMs - beaconMs, 1000 - 10);
    // The program itself prints nothing. The client shares its standard output and, on a busy
    // machine, may write its report there before the program's output has been read.
    EXPECT_EQ(QByteArray(out).replace(report, ""), "") << out.constData();
}

// A browser may drop a file into the downloads folder beside the installer without asking.
// A launcher staged there is none the program staged: the installer runs its own road, and the
// planted file neither runs nor goes.
TEST_F(JobRoad, PendingLauncherDroppedBesideTheDownloadIsLeftAlone)
{
    publish("1.0");
    const QByteArray original = readFile(downloaded);
    const QByteArray planted = original + "\nPLANTED-LAUNCHER\n";
    ASSERT_TRUE(writeFile(downloaded + ".pending", planted));
    QFile::setPermissions(downloaded + ".pending", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    installFromDownload();
    EXPECT_EQ(sampleField(startNormally(downloaded), "cwd"),
              target::seen(home.dataDirectory() + "/1.0").toUtf8());
    EXPECT_EQ(readFile(downloaded), original);
    EXPECT_EQ(readFile(downloaded + ".pending"), planted);
    EXPECT_FALSE(QFileInfo::exists(downloaded + ".bak"));
    EXPECT_EQ(readFile(installedProgram()), original);
}

TEST_F(JobRoad, InstallRegistersWhenTheDataHomeEndsWithASlash)
{
    // The data directory is then written with a doubled slash; it is still the one the
    // install went into, so the install is the system's and must be registered.
    if (target::isWindows())
        GTEST_SKIP() << "Windows takes the data directory from its known folder";
    home.setEnv("XDG_DATA_HOME", home.dataHome().toUtf8() + '/');
    publish("1.0");
    ASSERT_EQ(run(downloaded), 0) << err.constData();
    EXPECT_EQ(uninstallString(), launcherCommand(home.dataDirectory() + "/Korvel.exe"));
    EXPECT_TRUE(protocolKeyExists());
    EXPECT_TRUE(QFileInfo::exists(home.shortcut()));
    EXPECT_EQ(sampleField(waitForLaunchedClient(), "version"), "1.0");
}

TEST_F(JobRoad, UpdateFromTheInstalledLauncherRegistersAgainWhenTheDataHomeIsALink)
{
    // The program knows its own directory with links resolved, the environment names the data
    // directory through the link: the two are still one directory.
    if (target::isWindows())
        GTEST_SKIP() << "Windows takes the data directory from its known folder";
    const QString link = home.root() + "/linked-share";
    ASSERT_TRUE(QFile::link(home.dataHome(), link));
    home.setEnv("XDG_DATA_HOME", link.toUtf8());
    publish("1.0");
    installFromDownload();
    ASSERT_TRUE(QFile::remove(home.shortcut()));
    {
        QSettings settings(QStringLiteral("Microsoft"), QStringLiteral("Windows"));
        userSettingsOnly(settings);
        settings.remove(QStringLiteral("CurrentVersion/Uninstall/kv"));
    }
    ASSERT_FALSE(uninstallEntryExists());

    publish("2.0");
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_EQ(readFile(home.dataDirectory() + "/2.0/sample_version.txt"), "2.0\n");
    EXPECT_EQ(uninstallString(), installedProgram() + "  uninstall");
    EXPECT_TRUE(QFileInfo::exists(home.shortcut()));
}

TEST_F(JobRoad, LauncherStartedByAnInstallThatFindsNoClientDoesNotInstallAgain)
{
    // A release whose client library lacks its entry function: the install succeeds, but the
    // launcher it starts finds no client. Installing again would start it again, for ever.
    const QString stage = home.root() + QStringLiteral("/stage");
    ASSERT_FALSE(installProgram(stage).isEmpty());
    ASSERT_TRUE(writeFile(stage + "/libkorvel_client.so", readFile(target::sampleClient())));
    QByteArray output;
    ASSERT_EQ(runTool(QStringLiteral(KORVEL_BUILD_DIR "/korvel-publish"),
                      {"--version", "1.0", "--source", stage, "--output", tree(), "--entry-file",
                       "libkorvel_client.so", "--entry-function", "no_such_function"},
                      {}, {}, &output),
              0)
        << output.constData();
    serveTree();
    ASSERT_EQ(run(downloaded), 0) << err.constData();
    // The launcher it started ends, without a request of its own.
    EXPECT_TRUE(waitForNoProcessesFrom(home.root()));
    EXPECT_EQ(server.requests("/bin/versions.xml").size(), 1);
    EXPECT_EQ(beaconTypes(), QList<QByteArray>{"1"});
    // So does any launcher started with the mark an install leaves, whoever wins the race for
    // the job guard with the ending install.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KORVEL_INSTALL_LAUNCH"), QStringLiteral("1"));
    EXPECT_EQ(runProgram(installedProgram(), {}, home.root(), nullptr, nullptr, env), exitStatusOf(-1));
    EXPECT_EQ(server.requests("/bin/versions.xml").size(), 1);
    // Started plainly by the user, the same launcher installs again.
    ASSERT_EQ(run(installedProgram()), 0) << err.constData();
    EXPECT_TRUE(waitForNoProcessesFrom(home.root()));
    EXPECT_EQ(server.requests("/bin/versions.xml").size(), 2);
}

TEST_F(JobRoad, PrefetchEntryIsTriedBeforeThePlainOneListedAboveIt)
{
    // "update" from a folder of its own: no window, so a failed version ends nothing and the
    // whole order of tries shows on the server.
    publish("1.0");
    publish("2.0-beta", true);
    const QString portable = installProgram(home.root() + "/portable");
    const QString dir = home.root() + "/portable";

    ASSERT_EQ(run(portable, {"update"}), 0) << err.constData();
    EXPECT_EQ(manifestRequests(), QList<QByteArray>{"/bin/manifest/2.0-beta.xml"});
    EXPECT_EQ(readFile(dir + "/2.0-beta/sample_version.txt"), "2.0-beta\n");
    EXPECT_FALSE(QFileInfo::exists(dir + "/1.0"));

    // A prefetch entry that cannot be had gives way to the first entry.
    ASSERT_TRUE(QDir(dir + "/2.0-beta").removeRecursively());
    server.clearRequests();
    server.serve("/bin/manifest/2.0-beta.xml", HttpReply::status(404));
    ASSERT_EQ(run(portable, {"update"}), 0) << err.constData();
    EXPECT_EQ(manifestRequests(), QList<QByteArray>({"/bin/manifest/2.0-beta.xml", "/bin/manifest/1.0.xml"}));
    EXPECT_EQ(readFile(dir + "/1.0/sample_version.txt"), "1.0\n");
    EXPECT_FALSE(QFileInfo::exists(dir + "/2.0-beta"));
}

TEST_F(JobRoad, SolePrefetchEntryThatFailsIsTriedTwice)
{
    server.serve("/bin/versions.xml",
                 HttpReply::ok("<?xml version=\"1.0\"?>\n<Versions>\n"
                               "  <Version version=\"3.0-beta\" prefetch=\"true\"/>\n</Versions>\n"));
    server.serve("/bin/manifest/3.0-beta.xml", HttpReply::status(404));
    const QString portable = installProgram(home.root() + "/portable");
    ASSERT_EQ(run(portable, {"update"}), 0) << err.constData();
    EXPECT_EQ(manifestRequests(),
              QList<QByteArray>({"/bin/manifest/3.0-beta.xml", "/bin/manifest/3.0-beta.xml"}));
    EXPECT_TRUE(err.isEmpty()) << err.constData();
}

TEST_F(JobRoad, EachFailureReportEndsTheInstallWithItsPackageAndText)
{
    publish("1.0");
    VersionEntry published(QDir(home.dataDirectory()), nullptr, "1.0", QString());
    ASSERT_TRUE(published.parseManifest(readFile(tree() + "/bin/manifest/1.0.xml")));
    // A failure of the commit that belongs to no one package names the last one.
    const QString lastPackage = published.packages().last().name();
    struct Case {
        const char *what;
        std::function<void()> breakIt;
        QByteArray line; // package + text, as the error box shows it
    };
    const QList<Case> cases = {
        {"catalogue", [&] { server.serve("/bin/versions.xml", HttpReply::status(500)); },
         QStringLiteral("检查版本失败").toUtf8()},
        {"manifest fetch", [&] { server.serve("/bin/manifest/1.0.xml", HttpReply::status(404)); },
         QStringLiteral("下载清单错误").toUtf8()},
        {"manifest interpretation",
         [&] {
             server.serve("/bin/manifest/1.0.xml",
                          HttpReply::ok("<Manifest><Package name=\"x\"/></Manifest>"));
         },
         QStringLiteral("清单解释错误").toUtf8()},
        {"download",
         [&] { serveTree([](const QString &path) { return path.contains("libkorvel_client.so/"); }); },
         QStringLiteral("libkorvel_client.so下载错误").toUtf8()},
        {"manifest write", [&] { QDir().mkpath(home.dataDirectory() + "/1.0/manifest.xml/held"); },
         (QStringLiteral("安装失败：") + lastPackage).toUtf8()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(QDir(home.dataDirectory()).removeRecursively());
        serveTree();
        server.clearRequests();
        c.breakIt();

        EXPECT_EQ(run(downloaded), exitStatusOf(-1));
        EXPECT_TRUE(errLines().contains(c.line)) << err.constData();
        EXPECT_TRUE(beaconTypes().isEmpty());
        EXPECT_FALSE(uninstallEntryExists());
        EXPECT_FALSE(QFileInfo(home.dataDirectory() + "/1.0/manifest.xml").isFile());
    }
    EXPECT_FALSE(QFileInfo::exists(clientLog()));

    // A catalogue that lists nothing fails the task without a report: the job ends all the
    // same, rather than leaving a window nobody can close.
    server.serve("/bin/versions.xml", HttpReply::ok("<?xml version=\"1.0\"?>\n<Versions/>\n"));
    EXPECT_EQ(run(downloaded), exitStatusOf(-1));
    EXPECT_TRUE(beaconTypes().isEmpty());
}

TEST_F(JobRoad, UpdateOutsideTheDataDirectoryInstallsThereSilentlyAndRegistersNothing)
{
    publish("1.0");
    const QString dir = home.root() + "/portable";
    const QString portable = installProgram(dir);

    ASSERT_EQ(run(portable, {"update"}), 0);
    EXPECT_TRUE(err.isEmpty()) << err.constData();
    EXPECT_TRUE(out.isEmpty());
    QMap<QString, QByteArray> expected = releaseFiles("1.0");
    expected["manifest.xml"] = readFile(tree() + "/bin/manifest/1.0.xml");
    EXPECT_EQ(filesBelow(dir + "/1.0"), expected);
    EXPECT_TRUE(QFileInfo(portable).isExecutable());
    // Only the package store, which every installation of the user shares, is in the data
    // directory: no catalogue, no launcher, no version there.
    EXPECT_EQ(QDir(home.dataDirectory()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{"packages"});
    EXPECT_FALSE(registeredAnywhere(home));
    EXPECT_EQ(beaconTypes(), QList<QByteArray>{"2"});
    EXPECT_FALSE(QFileInfo::exists(clientLog())); // an update starts nothing

    // With no server to answer: the same silence and exit code, nothing installed.
    const QString elsewhere = home.root() + "/elsewhere";
    const QString other = installProgram(elsewhere);
    useServers("http://127.0.0.1:" + QString::number(TestHttpServer::closedPort()));
    ASSERT_EQ(run(other, {"update"}), 0);
    EXPECT_TRUE(err.isEmpty()) << err.constData();
    EXPECT_TRUE(QDir(elsewhere).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    EXPECT_FALSE(registeredAnywhere(home));
}

TEST_F(JobRoad, UpdateOfAnInstalledVersionRunsTheNewOneAtTheNextStart)
{
    publish("1.0");
    installFromDownload();
    // A launcher of its own (the same program with bytes appended, which nothing reads), so
    // that the running one must be replaced.
    extraFiles = {{"Korvel.exe", readFile(target::program()) + "2.0"}};
    publish("2.0");
    server.clearRequests();

    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_TRUE(err.isEmpty()) << err.constData();
    EXPECT_EQ(beaconTypes(), QList<QByteArray>{"2"});
    EXPECT_EQ(readFile(home.dataDirectory() + "/2.0/sample_version.txt"), "2.0\n");
    // The launcher in the data directory registers again, pointing at the same place.
    EXPECT_EQ(uninstallString(), launcherCommand(installedProgram()));

    if (target::isWindows()) {
        // A running program's file cannot be replaced on Windows: the update staged the new
        // launcher beside it, and the next plain start swaps it in and starts again.
        EXPECT_TRUE(QFileInfo::exists(installedProgram() + ".pending"));
        QFile::remove(clientLog());
        EXPECT_EQ(run(installedProgram()), 0) << err.constData();
        EXPECT_EQ(sampleField(waitForLaunchedClient(), "version"), "2.0");
        EXPECT_FALSE(QFileInfo::exists(installedProgram() + ".pending"));
        return;
    }
    EXPECT_EQ(run(installedProgram()), 0) << err.constData();
    EXPECT_EQ(sampleField(out, "version"), "2.0");
}

TEST_F(JobRoad, UpdatesWhileTheClientRunsKeepItStartableAndWriteOnlyWhatChanged)
{
    extraFiles = {{"data/readme.txt", "read me"}};
    publish("1.0");
    installFromDownload();
    const QString version = home.dataDirectory() + "/1.0";
    // Files of the client's own in its directory: a read-only one, and a log it keeps open.
    ASSERT_TRUE(writeFile(version + "/settings.ini", "by the client"));
    ASSERT_TRUE(QFile::setPermissions(version + "/settings.ini", QFile::ReadOwner | QFile::ReadUser));
    ChildProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KORVEL_SAMPLE_SLEEP", "600000"); // ended by the test
    env.insert("KORVEL_SAMPLE_LOG", "client-running.log");
    ASSERT_TRUE(client.start(installedProgram(), {}, home.root(), env));
    ASSERT_FALSE(client.readLine().isEmpty());
    ASSERT_TRUE(QFileInfo::exists(version + "/client-running.log"));
    const QMap<QString, quint64> installed = fileIdentities(home.dataDirectory());
    // A plain start meanwhile runs the client inside the launcher; its report names the version.
    const auto startAlongside = [&] {
        QFile::remove(clientLog());
        EXPECT_EQ(run(installedProgram()), 0) << err.constData();
        return sampleField(readFile(clientLog()), "version");
    };

    // Nothing new: nothing is written, not even the manifest or the launcher.
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    QMap<QString, quint64> now = fileIdentities(home.dataDirectory());
    now.remove("versions.xml"); // the catalogue cache is refreshed from the server's answer
    QMap<QString, quint64> expected = installed;
    expected.remove("versions.xml");
    EXPECT_EQ(now, expected);
    EXPECT_EQ(startAlongside(), "1.0");

    // A file lost: only it is written again, and the version stays startable throughout.
    ASSERT_TRUE(QFile::remove(version + "/data/readme.txt"));
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_EQ(readFile(version + "/data/readme.txt"), "read me");
    EXPECT_EQ(fileIdentities(version).value("manifest.xml"), installed.value("1.0/manifest.xml"));
    EXPECT_EQ(fileIdentities(version).value("libkorvel_client.so"),
              installed.value("1.0/libkorvel_client.so"));
    EXPECT_EQ(startAlongside(), "1.0");
    const QMap<QString, QByteArray> release = releaseFiles("1.0");
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        EXPECT_EQ(readFile(version + '/' + it.key()), it.value()) << it.key().toStdString();

    // A new version, while the old one still runs: the next start runs the new one.
    publish("2.0");
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_TRUE(QFileInfo::exists(home.dataDirectory() + "/2.0/manifest.xml"));
    EXPECT_EQ(startAlongside(), "2.0");
    EXPECT_TRUE(client.isRunning());
    client.kill();
}

TEST_F(JobRoad, UpdateTakesTheFilesItHasUnchangedFromTheInstalledVersionAndPruningKeepsThemWhole)
{
    const QString data = home.dataDirectory();
    extraFiles = {{"data/same.bin", QByteArray(300000, 's')},
                  {"data/rewritten.bin", QByteArray(4096, 'r')},
                  {"data/mode.bin", QByteArray(4096, 'm')}};
    publish("1.0");
    installFromDownload();
    // The client rewrote one file in place (its size kept) and made another executable (where
    // files carry execute bits): neither is what 2.0's packages hold any more.
    ASSERT_TRUE(writeFile(data + "/1.0/data/rewritten.bin", QByteArray(4096, 'R')));
    if (!target::isWindows()) {
        ASSERT_TRUE(QFile::setPermissions(data + "/1.0/data/mode.bin",
                                          QFile::permissions(data + "/1.0/data/mode.bin") | QFile::ExeOwner));
    }
    const auto updateTo = [&](const QString &version) {
        publish(version);
        ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
        EXPECT_TRUE(err.isEmpty()) << err.constData();
        expectCompleteInstallation(version);
        const QByteArray report = startNormally(installedProgram());
        EXPECT_EQ(sampleField(report, "version"), version.toUtf8());
        expectRanComplete(report);
    };
    // Whether path is one file in both versions (Windows copies: see platform::shareFile).
    const auto shared = [&](const QString &path, const QString &a, const QString &b) {
        const quint64 first = fileIdentities(data + '/' + a).value(path);
        return first != 0 && first == fileIdentities(data + '/' + b).value(path);
    };

    updateTo("2.0");
    if (!target::isWindows()) {
        for (const char *path : {"data/same.bin", "libkorvel_client.so", "Korvel.exe"})
            EXPECT_TRUE(shared(path, "1.0", "2.0")) << path << " was extracted again";
        for (const char *path : {"data/rewritten.bin", "data/mode.bin", "sample_version.txt"})
            EXPECT_FALSE(shared(path, "1.0", "2.0")) << path << " was taken as it stands";
    }
    // 1.0's own files are left as they were.
    EXPECT_EQ(readFile(data + "/1.0/data/rewritten.bin"), QByteArray(4096, 'R'));
    if (!target::isWindows()) {
        EXPECT_TRUE(QFile::permissions(data + "/1.0/data/mode.bin") & QFile::ExeOwner);
        EXPECT_FALSE(QFile::permissions(data + "/2.0/data/mode.bin") & QFile::ExeOwner);
    }

    // Each update on removes the version before the one it replaces, whose files the versions
    // it keeps share: they stay whole and start.
    updateTo("3.0");
    EXPECT_FALSE(QFileInfo::exists(data + "/1.0"));
    expectCompleteInstallation("2.0");
    updateTo("4.0");
    EXPECT_FALSE(QFileInfo::exists(data + "/2.0"));
    expectCompleteInstallation("3.0");
    if (!target::isWindows()) {
        EXPECT_TRUE(shared("data/same.bin", "3.0", "4.0"));
    }
}

TEST_F(JobRoad, ChangedLibraryIsCommittedWhileTheClientRunsIt)
{
    publish("1.0");
    installFromDownload();
    const QString version = home.dataDirectory() + "/1.0";
    ChildProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KORVEL_SAMPLE_SLEEP", "600000"); // ended by the test
    ASSERT_TRUE(client.start(installedProgram(), {}, home.root(), env));
    ASSERT_FALSE(client.readLine().isEmpty());

    // 1.0 published again with another build of its library, which the client has loaded
    // (Windows refuses to replace a loaded library in place).
    extraFiles = {{"libkorvel_client.so", readFile(target::sampleClient()) + "rebuilt"}};
    publish("1.0");
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_TRUE(client.isRunning());
    QMap<QString, QByteArray> installed = filesBelow(version);
    EXPECT_EQ(installed.take("manifest.xml"), readFile(tree() + "/bin/manifest/1.0.xml"));
    // The old build may stay beside the new one while the client holds it.
    installed.remove("libkorvel_client.so.korvel-old");
    EXPECT_EQ(installed, releaseFiles("1.0"));
    // A start meanwhile runs the new build beside the old one.
    QFile::remove(clientLog());
    EXPECT_EQ(run(installedProgram()), 0) << err.constData();
    expectRanComplete(readFile(clientLog()));
    client.kill();
    ASSERT_TRUE(waitForNoProcessesFrom(home.root()));

    // Once nothing holds the old build, the next update leaves nothing of it behind.
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    installed = filesBelow(version);
    installed.remove("manifest.xml");
    EXPECT_EQ(installed, releaseFiles("1.0"));
}

TEST_F(JobRoad, RebuiltLibraryComesAsAPatchAndFromItsPackageWhenThePatchFails)
{
    std::mt19937 rng(28);
    const QByteArray first = codeLikeBytes(400000, rng);
    const QByteArray second = rebuiltBinary(first, rng);
    extraFiles = {{"lib/libbig.so", first}};
    publish("1.0");
    installFromDownload();
    extraFiles = {{"lib/libbig.so", second}};
    publish("2.0");
    const QString data = home.dataDirectory();
    const QByteArray manifest = readFile(tree() + "/bin/manifest/2.0.xml");
    VersionEntry listed(QDir(data), nullptr, "2.0", QString());
    ASSERT_TRUE(listed.parseManifest(manifest));
    ASSERT_EQ(listed.patches().size(), 1) << manifest.constData();
    const PatchRecord patch = listed.patches().first();
    const QString no = patch.patchFile().no();
    const QByteArray patchPath = ("/component/lib/" + no + "/lib_" + no + ".kvpatch").toUtf8();
    const QByteArray mirrorPatchPath = ("/lib/" + no + "/lib_" + no + ".kvpatch").toUtf8();
    const QByteArray packagePath = "/component/lib/2.0/lib_2.0.7z";
    const QByteArray patchBytes = readFile(tree() + patchPath);
    ASSERT_FALSE(patchBytes.isEmpty());
    ASSERT_TRUE(QFileInfo::exists(tree() + packagePath));

    // A record names its file in this process's data directory; the program's store is below
    // data (another one for the Windows program under Wine).
    const auto stored = [&](const PackageRecord &package) {
        const QString path = package.packageFilePath();
        return data + "/packages/" + QFileInfo(QFileInfo(path).path()).fileName() + '/'
            + QFileInfo(path).fileName();
    };
    // Each case starts from 1.0 as installed, with the tree as published.
    const auto backToFirst = [&] {
        QDir(data + "/2.0").removeRecursively();
        for (const PackageRecord &package : listed.packages()) {
            if (package.version() == "2.0") {
                ASSERT_TRUE(!QFileInfo::exists(stored(package)) || QFile::remove(stored(package)));
            }
        }
        serveTree();
        server.clearRequests();
    };
    // The update installs 2.0 whole and leaves nothing of a patch behind; patched: whether the
    // library came as its patch (its package not fetched).
    const auto expectUpdated = [&](bool patched) {
        ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
        EXPECT_TRUE(err.isEmpty()) << err.constData();
        expectCompleteInstallation("2.0");
        EXPECT_EQ(server.requestCount(packagePath), patched ? 0 : 1);
        EXPECT_FALSE(QFileInfo::exists(stored(patch.patchFile())));
        const QByteArray report = startNormally(installedProgram());
        EXPECT_EQ(sampleField(report, "version"), "2.0");
        expectRanComplete(report);
    };

    {
        SCOPED_TRACE("the patch applies");
        server.clearRequests();
        expectUpdated(true);
        EXPECT_EQ(server.requestCount(patchPath), 1);
        // 1.0 runs no more, but stays as the version before; 2.0's library package was never had.
        EXPECT_TRUE(QFileInfo::exists(data + "/1.0/manifest.xml"));
        EXPECT_FALSE(QFileInfo::exists(data + "/packages/lib/2.0.7z"));
        // Nothing new: the library in place is this version's, so neither is fetched.
        server.clearRequests();
        ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
        EXPECT_EQ(server.requestCount(patchPath), 0);
        EXPECT_EQ(server.requestCount(packagePath), 0);
        expectCompleteInstallation("2.0");
    }

    {
        SCOPED_TRACE("the patch is missing on both mirrors");
        backToFirst();
        serveTree([](const QString &path) { return path.endsWith(".kvpatch"); });
        expectUpdated(false);
        EXPECT_EQ(server.requestCount(patchPath), 1);
        EXPECT_EQ(server.requestCount(mirrorPatchPath), 1);
    }
    {
        SCOPED_TRACE("the patch arrives corrupt");
        backToFirst();
        QByteArray corrupt = patchBytes;
        corrupt[corrupt.size() / 2] = char(corrupt[corrupt.size() / 2] ^ 0x55);
        server.serve(patchPath, HttpReply::ok(corrupt));
        server.serve(mirrorPatchPath, HttpReply::ok(corrupt));
        expectUpdated(false);
    }
    {
        SCOPED_TRACE("a patch that the manifest vouches for does not apply");
        backToFirst();
        QByteArray corrupt = patchBytes;
        corrupt[corrupt.size() - 8] = char(corrupt[corrupt.size() - 8] ^ 0x55);
        QByteArray vouching = manifest;
        vouching.replace(patch.patchFile().digest().toHex(),
                         QCryptographicHash::hash(corrupt, QCryptographicHash::Md5).toHex());
        vouching.replace(patch.patchFile().sha256().toHex(),
                         QCryptographicHash::hash(corrupt, QCryptographicHash::Sha256).toHex());
        server.serve(patchPath, HttpReply::ok(corrupt));
        server.serve("/bin/manifest/2.0.xml", HttpReply::ok(vouching));
        expectUpdated(false);
        EXPECT_EQ(server.requestCount(patchPath), 1);
    }
    {
        SCOPED_TRACE("the patch makes another file than the manifest names");
        backToFirst();
        QByteArray otherResult = manifest;
        otherResult.replace(patch.resultSha256().toHex(), QByteArray(64, 'e'));
        server.serve("/bin/manifest/2.0.xml", HttpReply::ok(otherResult));
        expectUpdated(false);
        EXPECT_EQ(server.requestCount(patchPath), 1);
    }
    {
        SCOPED_TRACE("the installed library is not the patch's base");
        backToFirst();
        QByteArray changed = first;
        changed[100] = char(changed[100] ^ 1);
        ASSERT_TRUE(writeFile(data + "/1.0/lib/libbig.so", changed));
        expectUpdated(false);
        EXPECT_EQ(server.requestCount(patchPath), 0);
        ASSERT_TRUE(writeFile(data + "/1.0/lib/libbig.so", first));
    }
    if (!target::isWindows()) {
        SCOPED_TRACE("the disk fills up while the patch is applied");
        backToFirst();
        // Room for the patch and the library's package, not for the library itself: the patched
        // file fails, the package it falls back to fails the same way, and the update stops
        // cleanly (and silently, as updates do) with 1.0 as it was.
        EXPECT_EQ(runOnFullDisk(second.size() / 2, installedProgram(), {"update"}), 0) << err.constData();
        EXPECT_EQ(server.requestCount(patchPath), 1);
        EXPECT_EQ(server.requestCount(packagePath), 1);
        EXPECT_FALSE(QFileInfo::exists(data + "/2.0/manifest.xml"));
        // Nothing half-written stays: no library, no side file of the patch or the extraction.
        for (const QString &file : filesBelow(data).keys())
            EXPECT_FALSE(file.startsWith("2.0/lib/")) << file.toStdString();
        EXPECT_EQ(sampleField(startNormally(installedProgram()), "version"), "1.0");
        // Space is back: the update completes, from the package the first try left in the store.
        server.clearRequests();
        expectUpdated(true);
    }
}

TEST_F(JobRoad, UpdatesKeepTheRunningAndThePreviousVersionWithTheirPackagesOnly)
{
    const QString data = home.dataDirectory();
    const auto versionsLeft = [&] { return QDir(data).entryList(QDir::Dirs | QDir::NoDotAndDotDot); };
    // The package files of the given versions' manifests, relative to the data directory.
    const auto packagesOf = [&](const QStringList &versions) {
        QStringList files;
        for (const QString &version : versions) {
            VersionEntry entry(QDir(data), nullptr, version, QString());
            EXPECT_TRUE(entry.parseManifest(readFile(tree() + "/bin/manifest/" + version + ".xml")));
            for (const PackageRecord &package : entry.packages())
                files.append("packages/" + package.name() + '/' + package.version() + ".7z");
        }
        files.removeDuplicates();
        files.sort();
        return files;
    };
    const auto packagesLeft = [&] {
        QStringList files = filesBelow(data + "/packages").keys();
        for (QString &file : files)
            file.prepend("packages/");
        return files;
    };
    publish("1.0");
    installFromDownload();
    // What the user and the client keep in the program's folder is theirs, however much it
    // looks like a version (a copy of one, manifest and all) or sits in the package store.
    const QMap<QString, QByteArray> foreign = writeUserFiles("1.0");
    for (const char *version : {"2.0", "3.0"}) {
        publish(version);
        ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
        // Nothing new, and the commit that follows tidies up all the same.
        ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    }
    EXPECT_EQ(versionsLeft(), QStringList({"1.0-backup", "2.0", "3.0", "logs", "packages", "userdata"}));
    EXPECT_EQ(packagesLeft(), withUserStoreFiles(packagesOf({"2.0", "3.0"})));
    expectUserFiles(foreign);

    // Nothing goes while another copy runs: a client started from the installed launcher.
    ChildProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KORVEL_SAMPLE_SLEEP", "600000"); // ended by the test
    ASSERT_TRUE(client.start(installedProgram(), {}, home.root(), env));
    ASSERT_FALSE(client.readLine().isEmpty());
    publish("4.0");
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_TRUE(client.isRunning());
    EXPECT_EQ(versionsLeft(),
              QStringList({"1.0-backup", "2.0", "3.0", "4.0", "logs", "packages", "userdata"}));
    client.kill();

    // The next commit, even one with nothing new, tidies up; the version before stays.
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_EQ(versionsLeft(), QStringList({"1.0-backup", "3.0", "4.0", "logs", "packages", "userdata"}));
    EXPECT_EQ(packagesLeft(), withUserStoreFiles(packagesOf({"3.0", "4.0"})));
    expectUserFiles(foreign);
    EXPECT_EQ(sampleField(startNormally(installedProgram()), "version"), "4.0");
    const QMap<QString, QByteArray> release = releaseFiles("4.0");
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        EXPECT_EQ(readFile(data + "/4.0/" + it.key()), it.value()) << it.key().toStdString();

    // A server that lists its newest version alone: two updates on, 4.0 is named by neither
    // catalogue an update reads, and still goes.
    for (const char *version : {"5.0", "6.0"}) {
        publish(version);
        server.serve(
            "/bin/versions.xml",
            HttpReply::ok(QByteArray("<Versions><Version version=\"") + version + "\"/></Versions>"));
        ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    }
    EXPECT_EQ(versionsLeft(), QStringList({"1.0-backup", "5.0", "6.0", "logs", "packages", "userdata"}));
    EXPECT_EQ(packagesLeft(), withUserStoreFiles(packagesOf({"5.0", "6.0"})));
    expectUserFiles(foreign);
}

TEST_F(JobRoad, PrefetchThatFailsKeepsWhatItFetchedForTheNextUpdate)
{
    publish("1.0");
    installFromDownload();
    // A prefetch release with two packages of its own besides its version file; the last one
    // in the manifest cannot be had yet.
    extraFiles = {{"a-data/a.bin", "prefetched a"}, {"z-data/z.bin", "prefetched z"}};
    publish("2.0", true);
    const auto isMissing = [](const QString &path) { return path.contains("z-data_2.0.7z"); };
    serveTree(isMissing);

    // The update falls back to the installed 1.0 with nothing new, and tidies up.
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    const QString store = home.dataDirectory() + "/packages";
    EXPECT_TRUE(QFileInfo::exists(home.dataDirectory() + "/1.0/manifest.xml"));
    EXPECT_FALSE(QFileInfo::exists(home.dataDirectory() + "/2.0/manifest.xml"));
    EXPECT_TRUE(QFileInfo::exists(store + "/a-data/2.0.7z"));
    EXPECT_TRUE(QFileInfo::exists(store + "/sample_version.txt/2.0.7z"));

    // Once the last package is there, only it is fetched.
    serveTree();
    server.clearRequests();
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_TRUE(QFileInfo::exists(home.dataDirectory() + "/2.0/manifest.xml"));
    QList<QByteArray> packages;
    for (const HttpRequest &request : server.requests()) {
        if (request.path().endsWith(".7z"))
            packages.append(request.path());
    }
    EXPECT_EQ(packages, QList<QByteArray>{"/component/z-data/2.0/z-data_2.0.7z"});
}

TEST_F(JobRoad, SignedLauncherIsWhatTheUserGetsAndItStillRuns)
{
    if (!target::isWindows())
        GTEST_SKIP() << "Authenticode signs Windows programs";
    // A throw-away code-signing certificate, made for this test alone.
    const QString certificate = home.root() + "/signing.pem";
    const QString key = home.root() + "/signing.key";
    QByteArray output;
    ASSERT_EQ(runTool("openssl",
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                       "/CN=Korvel test signing", "-addext", "extendedKeyUsage=codeSigning", "-keyout", key,
                       "-out", certificate},
                      {}, {}, &output),
              0)
        << output.constData();
    publishArguments = QStringList{"--authenticode-certificate", certificate, "--authenticode-key", key};
    publish("1.0");
    const QStringList verify{"verify", "-CAfile", certificate, "-in"};
    EXPECT_NE(runTool("osslsigncode", verify + QStringList{stage("1.0") + "/Korvel.exe"}, {}, {}, &output), 0)
        << "the source's launcher stays unsigned";

    // The signed launcher is installed, and it launches the client.
    installFromDownload();
    EXPECT_EQ(runTool("osslsigncode", verify + QStringList{installedProgram()}, {}, {}, &output), 0)
        << output.constData();
    EXPECT_EQ(sampleField(startNormally(installedProgram()), "version"), QByteArray("1.0"));
}

TEST_F(JobRoad, ElevatedUpdateRunsOnlyInTheDataDirectoryOfItsOwnAccount)
{
    // "Run as administrator" gives the user's own account an elevated token: an update of the
    // user's installation stays in that user's profile. Wine gives every process a full token,
    // and the program takes it as elevated only when asked to.
    if (!target::isWindows())
        GTEST_SKIP() << "only Windows splits a user's token";
    publish("1.0");
    installFromDownload();
    publish("2.0");
    home.setEnv("KORVEL_WINE_ELEVATION", "1");

    // A copy elsewhere (another account's folder, for all it knows) is refused, silently.
    const QString portable = installProgram(home.root() + "/portable");
    EXPECT_EQ(run(portable, {"update"}), exitStatusOf(-1));
    EXPECT_TRUE(err.isEmpty()) << err.constData();
    EXPECT_TRUE(QDir(home.root() + "/portable").entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());

    // The installed launcher updates its own directory.
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_TRUE(QFileInfo::exists(home.dataDirectory() + "/2.0/manifest.xml"));
    EXPECT_EQ(uninstallString(), launcherCommand(installedProgram()));
}

TEST_F(JobRoad, UninstallRemovesEverythingButTheMachineId)
{
    publish("1.0");
    ASSERT_TRUE(writeFile(home.mimeApps(), "[Default Applications]\ntext/html=browser.desktop\n"));
    installFromDownload();
    const QString id = storedMachineId();
    ASSERT_FALSE(id.isEmpty());
    server.clearRequests();

    ASSERT_EQ(run(installedProgram(), {"uninstall"}), 0) << err.constData();
    // The temporary copy deletes the program and the directory once this process is gone,
    // and goes itself, with the directory it ran in, when it ends. (Wine deletes the running
    // copy only once its image is unmapped, after the directory's turn: the emptied directory
    // stays there.)
    EXPECT_TRUE(waitForNoProcessesFrom(home.root()));
    EXPECT_FALSE(QFileInfo::exists(installedProgram()));
    EXPECT_FALSE(QFileInfo::exists(home.dataDirectory()));
    const QDir::Filters left = target::isWindows() ? QDir::Files | QDir::Hidden | QDir::System
                                                   : QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot;
    QDirIterator leftOver(home.temp(), left, QDirIterator::Subdirectories);
    EXPECT_FALSE(leftOver.hasNext()) << leftOver.next().toStdString();
    EXPECT_FALSE(uninstallEntryExists());
    EXPECT_FALSE(protocolKeyExists());
    EXPECT_FALSE(QFileInfo::exists(home.shortcut()));
    EXPECT_FALSE(QFileInfo::exists(home.menuEntry()));
    EXPECT_FALSE(QFileInfo::exists(home.urlHandler()));
    EXPECT_FALSE(readFile(home.mimeApps()).contains("kv"));
    EXPECT_EQ(storedMachineId(), id);
    EXPECT_TRUE(server.requests().isEmpty()); // an uninstall reports nothing
}

TEST_F(JobRoad, InstallGoesThroughTheProxyOfTheSystemsInternetSettings)
{
    // Networks where the web is reached only through a proxy set it in the system's settings.
    if (!target::isWindows())
        GTEST_SKIP() << "Linux keeps no proxy setting of its own";
    publish("1.0");
    TestHttpServer proxy;
    serveThrough(&proxy, server, tree());
    ASSERT_TRUE(setInternetSettings(3, "127.0.0.1:" + QByteArray::number(proxy.port()), ""));
    installFromDownload();
    EXPECT_EQ(uninstallString(), launcherCommand(installedProgram()));
    expectInstalledThrough(proxy, server);
}

TEST_F(JobRoad, InstallGoesThroughTheProxyThatTheSystemsProxyScriptNames)
{
    if (!target::isWindows())
        GTEST_SKIP() << "Linux keeps no proxy setting of its own";
    publish("1.0");
    TestHttpServer proxy;
    serveThrough(&proxy, server, tree());
    TestHttpServer scripts;
    scripts.serve("/proxy.pac",
                  HttpReply::ok("function FindProxyForURL(url, host) {\n"
                                "  return \"PROXY 127.0.0.1:"
                                    + QByteArray::number(proxy.port()) + "\";\n}\n",
                                {"Content-Type: application/x-ns-proxy-autoconfig"}));
    ASSERT_TRUE(setInternetSettings(5, "", scripts.url("/proxy.pac").toUtf8()));
    installFromDownload();
    EXPECT_EQ(uninstallString(), launcherCommand(installedProgram()));
    expectInstalledThrough(proxy, server);
    EXPECT_GE(scripts.requestCount("/proxy.pac"), 1);
}

TEST_F(JobRoad, InstallGoesThroughTheProxyThatTheEnvironmentNamesBeforeTheSystemsOwn)
{
    publish("1.0");
    TestHttpServer named;
    serveThrough(&named, server, tree());
    TestHttpServer system;
    serveThrough(&system, server, tree());
    if (target::isWindows()) {
        ASSERT_TRUE(setInternetSettings(3, "127.0.0.1:" + QByteArray::number(system.port()), ""));
    }
    home.setEnv("http_proxy", named.baseUrl().toUtf8());
    installFromDownload();
    EXPECT_EQ(uninstallString(), launcherCommand(installedProgram()));
    expectInstalledThrough(named, server);
    EXPECT_TRUE(system.requests().isEmpty());
}

TEST_F(JobRoad, InstallRegistersDespiteAMachineWideEntryOfTheSameName)
{
    // Some other program's (or an all-users) "kv" in the machine's uninstall list is not this
    // user's registration: the install registers whole, shortcut and channel included.
    if (target::isWindows()) {
        const QString key = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\kv";
        ASSERT_TRUE(target::setRegistryValue(key, "DisplayName", "REG_SZ", "Other"));
        ASSERT_TRUE(target::setRegistryValue(key, "UninstallString", "REG_SZ", "other"));
    } else {
        ASSERT_TRUE(writeFile(home.configDirs() + "/Microsoft/Windows.conf",
                              "[CurrentVersion]\nUninstall\\kv\\DisplayName=Other\n"
                              "Uninstall\\kv\\UninstallString=other\n"));
    }
    publish("1.0");
    installFromDownload();
    EXPECT_EQ(uninstallString(), launcherCommand(installedProgram()));
    EXPECT_TRUE(QFileInfo::exists(home.shortcut()));
    EXPECT_EQ(uninstallValue("Distributor"), "ppc");
    EXPECT_EQ(uninstallValue("DisplayName"), "Korvel");
}

TEST_F(JobRoad, UninstallFromTheDataDirectorySpeltOtherwiseRemovesTheFilesToo)
{
    // Windows names one directory in any letter case: the uninstall entry started through
    // another spelling of the data directory is still the installation's own.
    if (!target::isWindows())
        GTEST_SKIP() << "Linux paths differ by letter case";
    publish("1.0");
    installFromDownload();
    const QString spelt = target::native(target::seen(installedProgram())).toUpper();
    ASSERT_NE(spelt, target::native(target::seen(installedProgram())));

    ASSERT_EQ(run(spelt, {"uninstall"}), 0) << err.constData();
    EXPECT_TRUE(waitForNoProcessesFrom(home.root()));
    EXPECT_FALSE(uninstallEntryExists());
    EXPECT_FALSE(QFileInfo::exists(home.dataDirectory() + "/1.0"));
    EXPECT_FALSE(QFileInfo::exists(installedProgram()));
    EXPECT_FALSE(QFileInfo::exists(home.dataDirectory()));
}

TEST_F(JobRoad, UninstallWhileAnotherCopyRunsChangesNothing)
{
    publish("1.0");
    installFromDownload();

    // The installed launcher running its client, which stays.
    ChildProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KORVEL_SAMPLE_SLEEP", "30000");
    ASSERT_TRUE(client.start(installedProgram(), {}, home.root(), env));
    ASSERT_FALSE(client.readLine().isEmpty());
    // An update meanwhile publishes a new launcher over the file the client was started from:
    // the client is still the product running.
    publish("2.0");
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    ASSERT_TRUE(QFileInfo::exists(home.dataDirectory() + "/2.0/manifest.xml"));
    const QMap<QString, QByteArray> installed = filesBelow(home.dataDirectory());

    EXPECT_EQ(run(installedProgram(), {"uninstall"}), exitStatusOf(-1));
    EXPECT_TRUE(errLines().contains(RunningCopyText)) << err.constData();
    EXPECT_EQ(filesBelow(home.dataDirectory()), installed);
    EXPECT_TRUE(uninstallEntryExists());
    EXPECT_TRUE(protocolKeyExists());
    EXPECT_TRUE(QFileInfo::exists(home.shortcut()));
    EXPECT_EQ(QFileInfo::exists(home.urlHandler()), home.makesDesktopEntries());

    client.kill();
    EXPECT_TRUE(processesRunningFrom(home.root()).isEmpty());
}

TEST_F(JobRoad, SecondJobWhileOneRunsEndsAtOnceWithoutARequest)
{
    // The first job holds the guard while its catalogue answer never comes.
    HttpReply stalled = HttpReply::ok("<Versions/>");
    stalled.stallMs = -1;
    server.serve("/bin/versions.xml", stalled);
    ChildProcess first;
    ASSERT_TRUE(first.start(downloaded, {}, home.root()));
    ASSERT_TRUE(server.waitForRequests(1, 10000));

    const QString second = installProgram(home.root() + "/second");
    for (const QStringList &arguments : {QStringList{"update"}, QStringList{"uninstall"}, QStringList{}}) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        EXPECT_EQ(runProgram(second, arguments, home.root(), &out, &err,
                             QProcessEnvironment::systemEnvironment(), 10000),
                  exitStatusOf(-1));
        EXPECT_TRUE(err.isEmpty()) << err.constData();
    }
    EXPECT_EQ(server.requests().size(), 1);
    EXPECT_TRUE(first.isRunning());

    // The guard goes with the process that held it, however it ended.
    first.kill();
    server.serve("/bin/versions.xml", HttpReply::status(404));
    EXPECT_EQ(run(second, {"update"}), 0);
    EXPECT_EQ(server.requestCount("/bin/versions.xml"), 2);
}

TEST_F(JobRoad, FullDiskFailsCleanlyAndTheInstallIsWholeOnceThereIsSpace)
{
    if (target::isWindows())
        GTEST_SKIP() << "the file-size limit that stands in for a full disk binds Linux processes only";
    // No file may grow past 1 MiB more than the launcher: the launcher and the client fit, a
    // file three times that size does not. Noise makes its package too big to download; zeros
    // make a small package whose file is too big to unpack.
    const qint64 Limit = QFileInfo(target::program()).size() + (1 << 20);
    const int bigSize = int(3 * Limit);
    QByteArray noise(bigSize, '\0');
    QRandomGenerator random(14);
    random.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    const struct {
        QByteArray big;
        QString failure; // the last thing the user reads
    } cases[] = {{noise, "data下载错误"}, {QByteArray(bigSize, '\0'), "安装失败：data"}};
    for (const auto &fullDisk : cases) {
        SCOPED_TRACE(fullDisk.failure.toStdString());
        QDir(tree()).removeRecursively();
        extraFiles = {{"data/big.bin", fullDisk.big}};
        publish("1.0");

        EXPECT_EQ(runOnFullDisk(Limit, downloaded), exitStatusOf(-1)) << err.constData();
        EXPECT_EQ(errLines().value(errLines().size() - 1), fullDisk.failure.toUtf8());
        EXPECT_FALSE(QFileInfo::exists(home.dataDirectory() + "/1.0/manifest.xml"));
        // Whatever exists under a final name is whole: verified packages and extracted files.
        const QMap<QString, QByteArray> data = filesBelow(home.dataDirectory());
        const QMap<QString, QByteArray> release = releaseFiles("1.0");
        const QList<QByteArray> published = filesBelow(tree()).values();
        for (auto file = data.cbegin(); file != data.cend(); ++file) {
            if (file.key().endsWith(".7z")) {
                EXPECT_TRUE(published.contains(file.value())) << file.key().toStdString();
            } else if (file.key().startsWith("1.0/")) {
                EXPECT_EQ(file.value(), release.value(file.key().mid(4))) << file.key().toStdString();
            }
        }
        EXPECT_FALSE(uninstallEntryExists());

        // Space is back: a plain start installs everything.
        expectRanComplete(startNormally(downloaded));
        expectCompleteInstallation("1.0");
        QDir(home.dataDirectory()).removeRecursively();
        QDir(home.configHome()).removeRecursively();
        QFile::remove(home.shortcut());
    }
}
