// A job killed at any moment: the next plain start never runs a version with files missing,
// and leaves the installation whole (or, after an uninstall, installs it whole again).

#include "job_road.h"

#include "support/child_process.h"
#include "support/installed_layout.h"
#include "support/process_scan.h"
#include "support/target.h"
#include "support/tools.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>

#include <cstdio>
#include <functional>
#include <random>

namespace {

// System calls that create or open a file wait 3 ms first, those that rename or remove one 20 ms,
// so that the moments of a job are far enough apart for a kill to land between any two of them
// (removing a version is a few dozen calls). Looking at files (stat, readlink: the scan for
// running copies reads all of /proc) stays fast.
const QString OpeningCalls = QStringLiteral("openat,creat,mkdir,mkdirat,link,linkat");
const QString RemovingCalls = QStringLiteral("unlink,unlinkat,rmdir,rename,renameat,renameat2");

// Kill rounds per road: a few in every run; KORVEL_CRASH_ROUNDS asks for more (a soak).
int roundsPerRoad()
{
    const int asked = qEnvironmentVariableIntValue("KORVEL_CRASH_ROUNDS");
    return asked > 0 ? asked : 6;
}

// How a job ran, in milliseconds from its start: when the server saw its first and its last
// request (0 when it made none), and when it ended. Before the first request the program only
// starts up, the same in every job; the last is the statistics beacon, sent once the task is
// done, after which the job only waits out its finished bar. Under Wine those two are most of a
// short job.
struct JobSpan {
    qint64 firstRequest = 0;
    qint64 lastRequest = 0;
    qint64 length = 0;
};

class CrashSafety : public JobRoad {
protected:
    // Runs program, and kills it and everything it started after killAfterMs (never when
    // negative). On Linux its file calls are slowed; under Wine it runs at its own pace, since
    // strace would slow Wine's server and loader as well, and Windows' file calls are far apart
    // there already.
    JobSpan runSlowed(const QString &program, const QStringList &arguments, qint64 killAfterMs)
    {
        ChildProcess job;
        QElapsedTimer timer;
        timer.start();
        const QStringList options{"-f",
                                  "-o",
                                  "/dev/null",
                                  "-e",
                                  "trace=" + OpeningCalls + ',' + RemovingCalls,
                                  "-e",
                                  "inject=" + OpeningCalls + ":delay_enter=3000",
                                  "-e",
                                  "inject=" + RemovingCalls + ":delay_enter=20000"};
        if (target::isWindows())
            EXPECT_TRUE(job.start(program, arguments, home.root()));
        else
            EXPECT_TRUE(
                job.start(QStringLiteral("strace"), options + QStringList{program} + arguments, home.root()));
        JobSpan span;
        int requestsSeen = server.requests().size();
        while (!job.waitForFinished(5)) {
            const int requests = server.requests().size();
            if (requests > requestsSeen) {
                span.lastRequest = timer.elapsed();
                span.firstRequest = span.firstRequest == 0 ? span.lastRequest : span.firstRequest;
                requestsSeen = requests;
            }
            if (killAfterMs >= 0 && timer.elapsed() >= killAfterMs) {
                killProcessesFrom(home.root());
                break;
            }
            if (timer.elapsed() > 60000) {
                ADD_FAILURE() << "the job did not end";
                break;
            }
        }
        EXPECT_TRUE(job.waitForFinished(10000));
        span.length = timer.elapsed();
        if (killAfterMs < 0)
            std::printf("  %s %s: %lld ms, requests from %lld to %lld ms%s\n",
                        qPrintable(QFileInfo(program).path()), qPrintable(arguments.join(' ')), span.length,
                        span.firstRequest, span.lastRequest,
                        target::isWindows() ? "" : ", with slowed file calls");
        // What a finished job left running: the client it launched, the copy that deletes.
        waitForNoProcessesFrom(home.root(), 5000);
        killProcessesFrom(home.root());
        return span;
    }

    // A machine without the product: no installation, no settings, no shortcut.
    void forgetProduct()
    {
        QDir(data()).removeRecursively();
        forgetRegistration();
        QFile::remove(home.shortcut());
        QFile::remove(home.urlHandler());
        QFile::remove(home.menuEntry());
        QFile::remove(clientLog());
    }

    // The user's next plain start after a kill: the launcher when it is still there, else the
    // downloaded program. Checks that the client it runs is whole and that the installation
    // ends whole, and counts whether the start found it startable or installed it again.
    void checkNextStart()
    {
        server.clearRequests();
        const QString program = QFileInfo::exists(installedProgram()) ? installedProgram() : downloaded;
        const QByteArray report = startNormally(program);
        expectRanComplete(report);
        expectCompleteInstallation(QString::fromUtf8(sampleField(report, "version")));
        const QByteArray outcome =
            (server.requestCount("/bin/versions.xml") > 0 ? "installed again as " : "ran as left, ")
            + sampleField(report, "version");
        ++outcomes[outcome];
    }

    // Small files that make installing and removing a version take many steps.
    void addFillerFiles(const QString &version)
    {
        extraFiles.clear();
        for (int i = 0; i < 8; ++i)
            extraFiles[QStringLiteral("data/part-%1.bin").arg(i)] =
                QByteArray(4096, char('a' + i)) + version.toUtf8();
    }

    // The kill rounds of a road whose job (program with arguments) ran as unkilled: each
    // prepares the machine, runs the job killed at its own moment (spread evenly over its work:
    // from its first request to its last, or over all of it when it made fewer than two), then
    // checks the user's next start and, when given, whatever else must hold.
    void killRounds(const JobSpan &unkilled, const QString &program, const QStringList &arguments,
                    const std::function<void()> &prepare, const std::function<void()> &check = {})
    {
        const int rounds = roundsPerRoad();
        const bool requested = unkilled.lastRequest > unkilled.firstRequest;
        const qint64 from = requested ? unkilled.firstRequest : 0;
        const qint64 to = requested ? unkilled.lastRequest : unkilled.length;
        for (int i = 0; i < rounds; ++i) {
            SCOPED_TRACE(i);
            prepare();
            runSlowed(program, arguments, from + (to - from) * (2 * i + 1) / (2 * rounds));
            checkNextStart();
            if (check)
                check();
        }
    }

    // The kill rounds of an update to 2.0 of 1.0 installed, as the catalogues first (1.0) and
    // both (2.0 and 1.0) list them; afterUnkilled checks the update that ran to its end.
    void updateKilledAtAnyMoment(const QByteArray &first, const QByteArray &both,
                                 const std::function<void()> &afterUnkilled = {})
    {
        const auto installFirst = [&] {
            forgetProduct();
            server.serve("/bin/versions.xml", HttpReply::ok(first));
            installFromDownload();
            server.serve("/bin/versions.xml", HttpReply::ok(both));
            server.clearRequests();
        };
        installFirst();
        const JobSpan unkilled = runSlowed(installedProgram(), {"update"}, -1);
        expectCompleteInstallation("2.0");
        if (afterUnkilled)
            afterUnkilled();
        killRounds(unkilled, installedProgram(), {"update"}, installFirst);
    }

    void TearDown() override
    {
        for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
            std::printf("  after the kill, the next start %s: %d\n", it.key().constData(), it.value());
        JobRoad::TearDown();
    }

    QMap<QByteArray, int> outcomes;
    void SetUp() override
    {
        JobRoad::SetUp();
        if (::testing::Test::IsSkipped() || HasFatalFailure())
            return;
        if (!target::isWindows() && runTool(QStringLiteral("strace"), {"-V"}) != 0)
            GTEST_SKIP() << "strace is not installed (scripts/setup installs it)";
    }
    QString data() const { return home.dataDirectory(); }
};

// Kills and faults placed at one system call of the program, through strace.
class TracedCrashSafety : public CrashSafety {
protected:
    void SetUp() override
    {
        CrashSafety::SetUp();
        if (target::isWindows())
            GTEST_SKIP() << "strace sees and kills Linux processes; under Wine it would hit Wine";
    }
};

} // namespace

TEST_F(TracedCrashSafety, InstallKilledAfterItsFilesIsMadeWholeByTheNextStart)
{
    publish("1.0");
    // The moments after the version's files are in place: the launcher being published, the
    // settings being written, the menu entry and the shortcut being made.
    const QStringList moments{data() + "/Korvel.exe.new", home.configHome() + "/Microsoft/Windows.conf.lock",
                              home.configHome() + "/Classes/kv.conf.lock", home.menuEntry(), home.shortcut()};
    for (const QString &moment : moments) {
        SCOPED_TRACE(moment.toStdString());
        ASSERT_TRUE(runKilledAt(moment, downloaded)) << err.constData();
        const QByteArray report = startNormally(downloaded);
        EXPECT_EQ(sampleField(report, "version"), "1.0");
        expectRanComplete(report);
        expectCompleteInstallation("1.0");
        // The next round starts from a machine without the product.
        QDir(data()).removeRecursively();
        QDir(home.configHome()).removeRecursively();
        QFile::remove(home.shortcut());
        QDir(home.dataHome() + "/applications").removeRecursively();
    }
}

TEST_F(TracedCrashSafety, PublishedLauncherReachesTheDiskBeforeItTakesItsName)
{
    // After a power cut, the shortcut, the URL protocol and the uninstall entry must not point
    // at a launcher whose name survived but whose bytes did not.
    publish("1.0");
    const QString log = home.root() + "/strace.log";
    ASSERT_EQ(
        runProgram(
            QStringLiteral("strace"),
            {"-f", "-y", "-o", log, "-e",
             "trace=write,pwrite64,sendfile,copy_file_range,fsync,fdatasync,syncfs,rename,renameat,renameat2",
             downloaded},
            home.root(), &out, &err),
        0)
        << err.constData();
    EXPECT_FALSE(waitForLaunchedClient().isEmpty());
    const QByteArray side = (data() + "/Korvel.exe.new").toUtf8();
    qint64 lastWrite = -1;
    qint64 flushed = -1;
    qint64 renamed = -1;
    const QList<QByteArray> calls = readFile(log).split('\n');
    for (qint64 i = 0; i < calls.size(); ++i) {
        const QByteArray &call = calls.at(int(i));
        if (!call.contains(side + ">") && !call.contains('"' + side + '"'))
            continue;
        if (call.contains("write") || call.contains("sendfile") || call.contains("copy_file_range"))
            lastWrite = i;
        else if (call.contains("sync"))
            flushed = i;
        else if (call.contains("rename"))
            renamed = i;
    }
    ASSERT_GE(renamed, 0) << "the launcher was not published through its side file";
    EXPECT_GT(flushed, lastWrite);
    EXPECT_LT(flushed, renamed);
}

TEST_F(TracedCrashSafety, SettingsLockLeftEmptyByAKillDoesNotHoldUpTheNextStart)
{
    publish("1.0");
    installFromDownload();
    // Killed right after creating the lock file of the settings, before filling it in.
    const QString lock = home.configHome() + "/Microsoft/Windows.conf.lock";
    const QStringList strace{"-f",
                             "-o",
                             "/dev/null",
                             "-P",
                             lock,
                             "-e",
                             "trace=write",
                             "-e",
                             "inject=write:signal=KILL",
                             installedProgram(),
                             "uninstall"};
    EXPECT_EQ(runProgram(QStringLiteral("strace"), strace, home.root(), &out, &err), -1);
    killProcessesFrom(home.root());
    ASSERT_EQ(QFileInfo(lock).size(), 0);

    // The install that follows writes the same settings; it must not wait for the lock to age.
    QElapsedTimer timer;
    timer.start();
    expectRanComplete(startNormally(downloaded));
    EXPECT_LT(timer.elapsed(), 10000);
    expectCompleteInstallation("1.0");
}

TEST_F(TracedCrashSafety, UninstallKilledMidwayLeavesNothingThatStarts)
{
    addFillerFiles("1.0");
    publish("1.0");
    installFromDownload();
    // The first files the removal of the tree reaches: the version's own, in name order.
    ASSERT_TRUE(runKilledAt(data() + "/1.0/Korvel.exe", installedProgram(), {"uninstall"}))
        << err.constData();

    const QByteArray report = startNormally(downloaded);
    expectRanComplete(report);
    expectCompleteInstallation("1.0");
}

TEST_F(TracedCrashSafety, RenameRefusedHalfwayLeavesTheInstalledVersionAsItWas)
{
    // What a client started at the wrong moment does to a re-commit on Windows (it loads or
    // opens a file after the commit found every file replaceable): one rename is refused after
    // others have been made.
    publish("1.0");
    installFromDownload();
    const QString version = data() + "/1.0";
    const QMap<QString, QByteArray> installed = filesBelow(version);
    // 1.0 again, with another launcher and library; their packages come first and second.
    extraFiles = {{"Korvel.exe", readFile(target::program()) + "again"},
                  {"libkorvel_client.so", readFile(target::sampleClient()) + "again"}};
    publish("1.0");
    // The rename that would put the new library in place (strace names it by its source).
    const QString library = version + "/libkorvel_client.so.korvel-new";
    const QStringList strace{"-f",
                             "-o",
                             "/dev/null",
                             "-P",
                             library,
                             "-e",
                             "trace=rename,renameat,renameat2",
                             "-e",
                             "inject=rename,renameat,renameat2:error=EACCES:when=1",
                             installedProgram(),
                             "update"};
    ASSERT_EQ(runProgram(QStringLiteral("strace"), strace, home.root(), &out, &err), 0) << err.constData();
    const QMap<QString, QByteArray> left = filesBelow(version);
    EXPECT_EQ(left.keys().join(' ').toStdString(), installed.keys().join(' ').toStdString());
    for (auto it = installed.cbegin(); it != installed.cend(); ++it)
        EXPECT_TRUE(left.value(it.key()) == it.value()) << it.key().toStdString() << " changed";
    const QByteArray report = startNormally(installedProgram());
    EXPECT_EQ(sampleField(report, "cwd"), version.toUtf8());

    // The next update, unhindered, installs the new files.
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    expectRanComplete(startNormally(installedProgram()));
}

TEST_F(CrashSafety, InstallKilledAtAnyMoment)
{
    addFillerFiles("1.0");
    publish("1.0");
    const JobSpan unkilled = runSlowed(downloaded, {}, -1);
    expectCompleteInstallation("1.0");
    killRounds(unkilled, downloaded, {}, [&] { forgetProduct(); });
}

TEST_F(CrashSafety, InstallKilledWhileSeveralPackagesDownload)
{
    // Many small packages, each served as a file server does (an entity tag, ranges) and
    // pausing half-way: every kill lands while several are in flight, with partial files and
    // their tags on the disk, which the next start continues or starts again. One package is
    // large enough to come in pieces, several ranges of one partial file at once.
    addFillerFiles("1.0");
    QByteArray noise(9 << 20, '\0');
    QRandomGenerator(27).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    extraFiles["data/large.bin"] = noise;
    publishArguments = QStringList{"--package-size", "4096"};
    publish("1.0");
    const QMap<QString, QByteArray> files = filesBelow(tree());
    int packages = 0;
    QByteArray largest; // the path of the largest package
    int largestSize = 0;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!it.key().endsWith(".7z"))
            continue;
        if (it.value().size() > largestSize) {
            largestSize = it.value().size();
            largest = '/' + it.key().toUtf8();
        }
        HttpReply reply = HttpReply::ok(
            it.value(),
            {"ETag: \"" + QCryptographicHash::hash(it.value(), QCryptographicHash::Md5).toHex() + '"'});
        reply.servesRanges = true;
        reply.stallAfterBytes = it.value().size() / 2;
        reply.stallMs = 300;
        server.serve('/' + it.key().toUtf8(), reply);
        ++packages;
    }
    ASSERT_GE(packages, 4);
    const JobSpan unkilled = runSlowed(downloaded, {}, -1);
    expectCompleteInstallation("1.0");
    int pieces = 0;
    for (const HttpRequest &request : server.requests(largest))
        pieces += request.hasHeader("Range") ? 1 : 0;
    EXPECT_GE(pieces, 2) << largest.constData();
    killRounds(unkilled, downloaded, {}, [&] { forgetProduct(); });
}

TEST_F(CrashSafety, UpdateKilledAtAnyMoment)
{
    addFillerFiles("1.0");
    publish("1.0");
    const QByteArray first = readFile(tree() + "/bin/versions.xml");
    addFillerFiles("2.0");
    publish("2.0");
    updateKilledAtAnyMoment(first, readFile(tree() + "/bin/versions.xml"));
}

TEST_F(CrashSafety, UpdateThatTakesUnchangedFilesFromTheInstalledVersionKilledAtAnyMoment)
{
    // The filler files are the same in both: 2.0 takes them from 1.0 under second names.
    addFillerFiles("1.0");
    publish("1.0");
    const QByteArray first = readFile(tree() + "/bin/versions.xml");
    publish("2.0");
    updateKilledAtAnyMoment(first, readFile(tree() + "/bin/versions.xml"), [&] {
        // One file in both versions; Windows copies it instead (see platform::shareFile).
        if (!target::isWindows()) {
            const quint64 installed = fileIdentities(data() + "/1.0").value("data/part-0.bin");
            EXPECT_NE(installed, 0u);
            EXPECT_EQ(fileIdentities(data() + "/2.0").value("data/part-0.bin"), installed)
                << "extracted again";
        }
    });
}

TEST_F(CrashSafety, UpdateThatAppliesAPatchKilledAtAnyMoment)
{
    // A rebuilt library that comes as a patch, beside files that come in packages.
    std::mt19937 rng(28);
    const QByteArray library = codeLikeBytes(400000, rng);
    addFillerFiles("1.0");
    extraFiles["lib/libbig.so"] = library;
    publish("1.0");
    const QByteArray first = readFile(tree() + "/bin/versions.xml");
    addFillerFiles("2.0");
    extraFiles["lib/libbig.so"] = rebuiltBinary(library, rng);
    publish("2.0");
    ASSERT_TRUE(readFile(tree() + "/bin/manifest/2.0.xml").contains("<Patch "));
    updateKilledAtAnyMoment(first, readFile(tree() + "/bin/versions.xml"), [&] {
        EXPECT_EQ(server.requestCount("/component/lib/2.0/lib_2.0.7z"), 0) << "the patch was not used";
    });
}

TEST_F(CrashSafety, UpdateThatRemovesAnOldVersionKilledAtAnyMoment)
{
    QList<QByteArray> catalogues;
    for (const QString &version : {QStringLiteral("1.0"), QStringLiteral("2.0"), QStringLiteral("3.0")}) {
        addFillerFiles(version);
        publish(version);
        catalogues.append(readFile(tree() + "/bin/versions.xml"));
    }
    // 1.0 installed, then updated to 2.0: the update to 3.0 removes 1.0 and its packages,
    // and nothing of the user's beside them.
    QMap<QString, QByteArray> userFiles;
    const auto installTwo = [&] {
        forgetProduct();
        server.serve("/bin/versions.xml", HttpReply::ok(catalogues.at(0)));
        installFromDownload();
        userFiles = writeUserFiles("1.0");
        server.serve("/bin/versions.xml", HttpReply::ok(catalogues.at(1)));
        ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
        ASSERT_TRUE(QFileInfo::exists(data() + "/2.0/manifest.xml"));
        server.serve("/bin/versions.xml", HttpReply::ok(catalogues.at(2)));
    };
    installTwo();
    const JobSpan unkilled = runSlowed(installedProgram(), {"update"}, -1);
    expectCompleteInstallation("3.0");
    EXPECT_FALSE(QFileInfo::exists(data() + "/1.0"));
    expectUserFiles(userFiles);
    killRounds(unkilled, installedProgram(), {"update"}, installTwo, [&] { expectUserFiles(userFiles); });
}

TEST_F(CrashSafety, UninstallKilledAtAnyMoment)
{
    addFillerFiles("1.0");
    publish("1.0");
    installFromDownload();
    const JobSpan unkilled = runSlowed(installedProgram(), {"uninstall"}, -1);
    EXPECT_FALSE(QFileInfo::exists(data()));
    killRounds(unkilled, installedProgram(), {"uninstall"}, [&] {
        forgetProduct();
        installFromDownload();
    });
}

TEST_F(TracedCrashSafety, LauncherHeldUpWhileAnUninstallRunsDoesNotRegisterAgain)
{
    publish("1.0");
    installFromDownload();
    // The downloaded program started again finds the installed client, then waits at its first
    // look at the registration, long enough for a whole uninstall to run.
    const QString registry = home.configHome() + "/Microsoft/Windows.conf";
    const QString log = home.root() + "/strace.log";
    ChildProcess launcher;
    ASSERT_TRUE(launcher.start(QStringLiteral("strace"),
                               {"-f", "-o", log, "-P", registry, "-e", "trace=%file", "-e",
                                "inject=%file:delay_enter=3000000:when=1", downloaded},
                               home.root()));
    QElapsedTimer timer;
    timer.start();
    while (!readFile(log).contains("Windows.conf") && timer.elapsed() < 10000)
        QThread::msleep(10);
    ASSERT_TRUE(readFile(log).contains("Windows.conf")) << launcher.standardError().constData();

    ASSERT_EQ(run(installedProgram(), {"uninstall"}), 0) << err.constData();
    EXPECT_TRUE(launcher.waitForFinished(30000));
    EXPECT_TRUE(waitForNoProcessesFrom(home.root()));
    EXPECT_FALSE(QFileInfo::exists(home.dataDirectory()));
    EXPECT_FALSE(uninstallEntryExists());
    EXPECT_FALSE(protocolKeyExists());
    EXPECT_FALSE(QFileInfo::exists(home.shortcut()));
    EXPECT_FALSE(QFileInfo::exists(home.menuEntry()));
}
