#include "platform/command_line.h"

#include "support/child_process.h"
#include "support/http_server.h"
#include "support/installed_layout.h"
#include "support/process_scan.h"
#include "support/target.h"
#include "support/temp_home.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

// The built program copied into a directory of its own, with the user's data directory in a
// private home; each test builds the installations it needs around them.
class Launcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        programDir = home.root() + QStringLiteral("/program");
        program = installProgram(programDir);
        ASSERT_FALSE(program.isEmpty());
        home.setEnv("KORVEL_SAMPLE_EXIT", "42");
        // Where no client is found the installer runs, against a server that is not there,
        // so it fails at once with its report.
        home.setEnv("KORVEL_CATALOGUE_SERVER",
                    "http://127.0.0.1:" + QByteArray::number(TestHttpServer::closedPort()));
    }

    // Runs the program; returns its exit status and keeps its output.
    int run(const QStringList &arguments = {},
            const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        return runProgram(program, arguments, home.root(), &out, &err, env);
    }
    QByteArray field(const QByteArray &key) const { return sampleField(out, key); }

    TempHome home;
    QString programDir;
    QString program;
    QByteArray out;
    QByteArray err;
};

TEST_F(Launcher, FlatClientThenProgramCatalogueThenDataCatalogue)
{
    const QString data = home.dataDirectory();
    ASSERT_TRUE(installSampleClient(programDir, "flat"));
    ASSERT_TRUE(writeCatalogue(programDir, {"near"}));
    ASSERT_TRUE(installSampleClient(programDir + "/near", "near"));
    ASSERT_TRUE(writeCatalogue(data, {"mine"}));
    ASSERT_TRUE(installSampleClient(data + "/mine", "mine"));

    EXPECT_EQ(run(), 42);
    EXPECT_EQ(field("version"), QByteArray("flat"));
    ASSERT_TRUE(QFile::remove(programDir + "/manifest.xml"));
    EXPECT_EQ(run(), 42);
    EXPECT_EQ(field("version"), QByteArray("near"));
    ASSERT_TRUE(QFile::remove(programDir + "/versions.xml"));
    EXPECT_EQ(run(), 42);
    EXPECT_EQ(field("version"), QByteArray("mine"));
    EXPECT_EQ(field("cwd"), target::seen(data + "/mine").toUtf8());

    // Nothing installed: the installer runs, and fails on the unreachable catalogue.
    ASSERT_TRUE(QFile::remove(data + "/versions.xml"));
    EXPECT_EQ(run(), exitStatusOf(-1));
    EXPECT_TRUE(out.isEmpty());
    EXPECT_TRUE(QString::fromUtf8(err).contains(QStringLiteral("检查版本失败"))) << err.constData();
}

TEST_F(Launcher, ClientGetsTheTailExactlyAndRunsInItsDirectory)
{
    ASSERT_TRUE(writeCatalogue(programDir, {"1.0"}));
    const QString versionDir = programDir + "/1.0";
    ASSERT_TRUE(installSampleClient(versionDir, "1.0"));
    const QStringList arguments = {"a b",        "tab\there", "say \"hi\"", "back\\",           "",
                                   "\\\"\\\\\"", "值 ü",      "\"\"",       "kv://open?x=1&y=2"};
    EXPECT_EQ(run(arguments), 42);
    const QByteArray tail = field("tail");
    // On Windows the tail is the command line that started the program, here built by Wine
    // from the test's argument vector: its quoting may differ, its arguments may not.
    if (!target::isWindows()) {
        EXPECT_EQ(tail, platform::buildCommandLine(QString(), arguments).mid(1).toUtf8());
    }
    EXPECT_EQ(platform::splitArguments(QString::fromUtf8(tail)), arguments);
    EXPECT_EQ(field("cwd"), target::seen(versionDir).toUtf8());
    const QByteArray prepended = target::seen(versionDir).toUtf8() + target::listSeparator().toLatin1();
    EXPECT_TRUE(field("path").startsWith(prepended)) << field("path").constData();
    if (target::isWindows())
        return; // Wine's PATH comes from its registry, never from ours

    EXPECT_EQ(field("path"), versionDir.toUtf8() + ':' + qgetenv("PATH"));
    // Without PATH the directory alone.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("PATH");
    EXPECT_EQ(run({}, env), 42);
    EXPECT_EQ(field("path"), versionDir.toUtf8());
    EXPECT_EQ(field("tail"), QByteArray());
}

TEST_F(Launcher, FirstInstalledVersionEndsTheSearchEvenWhenItsLibraryFails)
{
    const QString data = home.dataDirectory();
    ASSERT_TRUE(writeCatalogue(data, {"mine"}));
    ASSERT_TRUE(installSampleClient(data + "/mine", "mine"));
    // "missing" names a file that is not there: skipped; "broken" is installed but its
    // library does not load: the program directory's catalogue answers null there and
    // "good" after it is never tried.
    ASSERT_TRUE(writeCatalogue(programDir, {"absent", "missing", "broken", "good"}));
    ASSERT_TRUE(writeLocalManifest(programDir + "/missing", "gone.so", "korvel_entry"));
    ASSERT_TRUE(installSampleClient(programDir + "/broken", "broken"));
    ASSERT_TRUE(writeFile(programDir + "/broken/client.so", "not a library"));
    ASSERT_TRUE(installSampleClient(programDir + "/good", "good"));
    EXPECT_EQ(run(), 42);
    EXPECT_EQ(field("version"), QByteArray("mine"));

    // The same when the library lacks the function.
    ASSERT_TRUE(installSampleClient(programDir + "/broken", "broken", "korvel_not_exported"));
    EXPECT_EQ(run(), 42);
    EXPECT_EQ(field("version"), QByteArray("mine"));

    // With the broken version gone, the search goes past the skipped one to "good".
    ASSERT_TRUE(QDir(programDir + "/broken").removeRecursively());
    EXPECT_EQ(run(), 42);
    EXPECT_EQ(field("version"), QByteArray("good"));
}

TEST_F(Launcher, NonAsciiEntryNameAndCommandWordsInOtherCase)
{
    ASSERT_TRUE(installSampleClient(programDir, "flat", QStringLiteral("客户端入口")));
    const QStringList replaceLike = {"Replace", "a", "b", "1", "1"};
    EXPECT_EQ(run(replaceLike), 42);
    EXPECT_EQ(field("entry"), QStringLiteral("客户端入口").toUtf8());
    EXPECT_EQ(field("tail"), QByteArray("Replace a b 1 1"));
    // "replace" with too few elements is not the command either.
    EXPECT_EQ(run({"replace", "a", "b", "1"}), 42);
    EXPECT_EQ(field("tail"), QByteArray("replace a b 1"));
}

// A copy of the program with a staged ".pending" file that differs from it (the same build
// with bytes appended, which the loader ignores) and a flat client that records each start.
// The program's directory is one it installs into, as its catalogue cache there shows: the
// only kind of directory where the program stages a launcher.
class SelfReplace : public Launcher {
protected:
    void SetUp() override
    {
        Launcher::SetUp();
        pending = program + ".pending";
        staged = readFile(program) + QByteArray("\nKORVEL-STAGED-BUILD\n");
        ASSERT_TRUE(writeFile(pending, staged));
        QFile::setPermissions(pending, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        ASSERT_TRUE(installSampleClient(programDir, "flat"));
        ASSERT_TRUE(writeCatalogue(programDir, {}));
        report = home.root() + "/report";
        home.setEnv("KORVEL_SAMPLE_REPORT", target::native(target::seen(report)).toUtf8());
    }
    void TearDown() override
    {
        // Clients started by the program itself are not our children. (Under Wine the ids are
        // Windows ones; the prefix's processes end with the test's home.)
        if (!target::isWindows()) {
            for (const QByteArray &pid : reportedPids())
                killPid(pid.toLongLong());
        }
    }
    // The temporary copy is gone: unlinked as soon as it ran (Linux), deleted with the last
    // process that holds it, the restarted program and its client (Windows).
    bool temporaryCopyGone()
    {
        if (target::isWindows())
            waitForNoProcessesFrom(home.root());
        return QDir(home.temp()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    QList<QByteArray> reportedPids() const
    {
        QList<QByteArray> pids;
        for (const QByteArray &line : readFile(report).split('\n')) {
            if (line.startsWith("pid: "))
                pids.append(line.mid(5));
        }
        return pids;
    }

    QString pending;
    QByteArray staged;
    QString report;
};

TEST_F(SelfReplace, PlainStartSwapsTheStagedProgramInAndRestarts)
{
    ChildProcess started;
    ASSERT_TRUE(started.start(program, {}, home.root()));
    const qint64 startedPid = started.pid(); // known only while it runs
    ASSERT_GT(startedPid, 0);
    ASSERT_TRUE(started.waitForFinished());
    EXPECT_EQ(started.exitStatus(), 0);
    ASSERT_TRUE(waitForFile(report));
    for (int i = 0; i < 100 && !readFile(report).contains("pid: "); ++i)
        QThread::msleep(20);
    EXPECT_EQ(reportedPids().size(), 1);
    // The client did not run in this process but in the restarted one. (Its output may still
    // reach our pipe: the restarted program inherits the standard output.)
    EXPECT_NE(reportedPids().value(0).toLongLong(), startedPid);
    EXPECT_EQ(readFile(program), staged);
    EXPECT_FALSE(QFile::exists(pending));
    EXPECT_FALSE(QFile::exists(program + ".bak"));
    EXPECT_EQ(sampleField(readFile(report), "tail"), QByteArray());
    EXPECT_TRUE(temporaryCopyGone());
}

TEST_F(SelfReplace, FailedSwapRestartsTheOldProgramOnceWithNothingLost)
{
    // A stale backup makes every attempt fail; the program must still reach the client, once.
    const QByteArray original = readFile(program);
    ASSERT_TRUE(writeFile(program + ".bak", "stale"));
    EXPECT_EQ(run(), 0);
    ASSERT_TRUE(waitForFile(report));
    QThread::msleep(2500); // long enough for a second round of five attempts
    EXPECT_EQ(reportedPids().size(), 1);
    EXPECT_EQ(readFile(program), original);
    EXPECT_EQ(readFile(pending), staged);
    EXPECT_EQ(readFile(program + ".bak"), QByteArray("stale"));
    EXPECT_TRUE(temporaryCopyGone());
}

// A ".pending" file the program did not stage: beside a program whose directory holds no
// catalogue cache (a downloads folder), or beside one under another name than the launcher's
// (KorvelSetup.exe), the only ones the program ever stages.
TEST_F(SelfReplace, NothingIsSwappedWhereTheProgramDoesNotInstall)
{
    const QByteArray original = readFile(program);
    ASSERT_TRUE(QFile::remove(programDir + "/versions.xml"));
    EXPECT_EQ(run(), 42);
    EXPECT_EQ(field("version"), QByteArray("flat"));
    EXPECT_EQ(readFile(program), original);
    EXPECT_EQ(readFile(pending), staged);

    ASSERT_TRUE(writeCatalogue(programDir, {}));
    const QString setup = programDir + "/KorvelSetup.exe";
    ASSERT_TRUE(QFile::rename(program, setup));
    ASSERT_TRUE(QFile::rename(pending, setup + ".pending"));
    EXPECT_EQ(runProgram(setup, {}, home.root(), &out, &err), 42);
    EXPECT_EQ(field("version"), QByteArray("flat"));
    EXPECT_EQ(readFile(setup), original);
    EXPECT_EQ(readFile(setup + ".pending"), staged);
    EXPECT_FALSE(QFile::exists(setup + ".bak"));
    EXPECT_TRUE(temporaryCopyGone());
}

TEST_F(SelfReplace, NothingIsSwappedWithAnArgumentOrWhileAnotherCopyRuns)
{
    const QByteArray original = readFile(program);
    EXPECT_EQ(run({"x"}), 42);
    EXPECT_EQ(field("tail"), QByteArray("x"));

    // A copy of the same file that keeps running inside its client.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KORVEL_SAMPLE_SLEEP", "30000");
    ChildProcess other;
    ASSERT_TRUE(other.start(program, {"hold"}, home.root(), env));
    ASSERT_TRUE(other.readLine().startsWith("entry: "));
    EXPECT_EQ(run(), 42);
    EXPECT_EQ(field("version"), QByteArray("flat"));

    // It still counts once its file has been replaced, as an update replaces the launcher.
    ASSERT_TRUE(writeFile(program + ".new", original));
    QFile::setPermissions(program + ".new", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(::rename(QFile::encodeName(program + ".new"), QFile::encodeName(program)) == 0);
    EXPECT_EQ(run(), 42);
    EXPECT_EQ(field("version"), QByteArray("flat"));
    other.kill();

    EXPECT_EQ(readFile(program), original);
    EXPECT_EQ(readFile(pending), staged);
}

} // namespace
