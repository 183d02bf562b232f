#include "platform/process.h"

#include "platform/command_line.h"

#include "support/child_process.h"
#include "support/temp_home.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>

namespace {

QByteArray waitForContent(const QString &path)
{
    if (!waitForFile(path, 10000))
        return {};
    // The writer may still be writing: wait for the closing newline.
    for (int i = 0; i < 250; ++i) {
        const QByteArray data = readFile(path);
        if (data.endsWith('\n'))
            return data;
        QThread::msleep(20);
    }
    return readFile(path);
}

TEST(StartDetachedProcess, RunsWithOurEnvironmentAndDirectoryAndLeavesNoChild)
{
    TempHome home;
    home.setEnv("KORVEL_PROBE", "wert 值");
    const QString out = home.root() + QStringLiteral("/out.txt");
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(home.root()));
    // A bare name is looked up in PATH; arguments arrive one by one, blanks and all.
    const qint64 pid = platform::startDetachedProcess(
        {"sh", "-c", "printf '%s|%s|%s|%s\\n' \"$$\" \"$(pwd)\" \"$KORVEL_PROBE\" \"$1\" > out.txt", "sh",
         "a \"b\" c"});
    QDir::setCurrent(old);
    ASSERT_GT(pid, 0);
    const QList<QByteArray> fields = waitForContent(out).trimmed().split('|');
    ASSERT_EQ(fields.size(), 4);
    EXPECT_EQ(fields[0].toLongLong(), pid);
    EXPECT_EQ(QString::fromUtf8(fields[1]), home.root());
    EXPECT_EQ(QString::fromUtf8(fields[2]), QStringLiteral("wert 值"));
    EXPECT_EQ(fields[3], QByteArray("a \"b\" c"));
    // Reaped once it ended: no zombie stays behind.
    bool gone = false;
    for (int i = 0; i < 250 && !gone; ++i) {
        gone = !QFile::exists(QStringLiteral("/proc/%1").arg(pid));
        QThread::msleep(20);
    }
    EXPECT_TRUE(gone);
}

TEST(StartDetachedProcess, FailsWhenNothingCanBeExecuted)
{
    TempHome home;
    EXPECT_EQ(platform::startDetachedProcess({}), -1);
    EXPECT_EQ(platform::startCommandLine({}), -1);
    EXPECT_EQ(platform::startDetachedProcess({home.root() + "/missing"}), -1);
    EXPECT_EQ(platform::startDetachedProcess({"korvel-no-such-program-here"}), -1);

    // Neither a file without the execute bit nor an executable that is no program (an
    // empty file would run as a shell script under execvp's fallback).
    const QString plain = home.root() + "/plain";
    ASSERT_TRUE(writeFile(plain, "#!/bin/sh\ntouch ran\n"));
    EXPECT_EQ(platform::startDetachedProcess({plain}), -1);
    const QString empty = home.root() + "/empty";
    ASSERT_TRUE(writeFile(empty, {}));
    QFile::setPermissions(empty, QFile::permissions(empty) | QFile::ExeOwner);
    EXPECT_EQ(platform::startDetachedProcess({empty}), -1);
}

TEST(StartDetachedProcess, PathSearchGoesPastAFileItMayNotExecute)
{
    // As execvp does: a same-named file without the execute bit earlier in PATH is passed over.
    TempHome home;
    const QString first = home.root() + QStringLiteral("/first");
    const QString second = home.root() + QStringLiteral("/second");
    ASSERT_TRUE(writeFile(first + "/korvel-probe", "#!/bin/sh\n: > \"$1\"\n"));
    ASSERT_TRUE(writeFile(second + "/korvel-probe", "#!/bin/sh\n: > \"$1\"\n"));
    const QString program = second + "/korvel-probe";
    ASSERT_TRUE(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
    home.setEnv("PATH", (first + ':' + second).toUtf8());
    const QString marker = home.root() + QStringLiteral("/ran");
    EXPECT_GT(platform::startDetachedProcess({"korvel-probe", marker}), 0);
    EXPECT_TRUE(waitForFile(marker, 10000));
    // A command line by Windows' rules is split by them: the quoted name arrives whole.
    const QString quoted = home.root() + QStringLiteral("/ran \"quoted\" too");
    EXPECT_GT(
        platform::startCommandLine(platform::buildCommandLine(QStringLiteral("korvel-probe"), {quoted})), 0);
    EXPECT_TRUE(waitForFile(quoted, 10000));
}

TEST(RunningExecutables, ListsThePathEachProcessStartedFromAlsoOnceDeletedOrReplaced)
{
    TempHome home;
    EXPECT_TRUE(platform::runningExecutables().contains(platform::executablePath()));

    const QString copy = home.root() + QStringLiteral("/sleep copy");
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), copy));
    ChildProcess child;
    ASSERT_TRUE(child.start(copy, {"30"}));
    EXPECT_EQ(platform::runningExecutables().count(copy), 1);
    ASSERT_TRUE(QFile::remove(copy));
    EXPECT_EQ(platform::runningExecutables().count(copy), 1);
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), copy));
    EXPECT_EQ(platform::runningExecutables().count(copy), 1);

    // A file that is really called that keeps its whole name.
    const QString odd = home.root() + QStringLiteral("/sleep (deleted)");
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), odd));
    ChildProcess oddChild;
    ASSERT_TRUE(oddChild.start(odd, {"30"}));
    EXPECT_EQ(platform::runningExecutables().count(odd), 1);
    EXPECT_EQ(platform::runningExecutables().count(home.root() + QStringLiteral("/sleep")), 0);
}

TEST(Threads, DetachedOneRunsTheWorkAndAJoinedOneHasFinishedItAtTheJoin)
{
    std::atomic<int> value{0};
    ASSERT_TRUE(platform::startDetachedThread([&value] { value = 42; }));
    for (int i = 0; i < 500 && value != 42; ++i)
        platform::sleepMilliseconds(10);
    EXPECT_EQ(value, 42);

    int joined = 0; // no atomic: the join orders the write before the read
    platform::JoinedThread thread;
    thread.join(); // nothing started: returns at once
    ASSERT_TRUE(thread.start([&joined] {
        platform::sleepMilliseconds(50);
        joined = 1;
    }));
    EXPECT_FALSE(thread.start([&joined] { joined = 2; })) << "one thread per object";
    thread.join();
    EXPECT_EQ(joined, 1);
    {
        platform::JoinedThread scoped;
        ASSERT_TRUE(scoped.start([&joined] {
            platform::sleepMilliseconds(50);
            joined = 3;
        }));
    }
    EXPECT_EQ(joined, 3) << "the destructor joins";
}

} // namespace
