#include "support/child_process.h"
#include "support/target.h"
#include "support/temp_home.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <gtest/gtest.h>

namespace {

const QString Marker = QStringLiteral("\"\"");

// One replace run in a private home, with files relative to its root.
class ReplaceCommand : public ::testing::Test {
protected:
    // What is not the replace command runs the installer, which fails at once on the absent
    // catalogue server; headless its error box does not wait for a click on a display.
    void SetUp() override { home.setEnv("KORVEL_HEADLESS", "1"); }

    QString path(const QString &name) const { return home.root() + QLatin1Char('/') + name; }
    void make(const QString &name, const QByteArray &content) { ASSERT_TRUE(writeFile(path(name), content)); }
    bool exists(const QString &name) const { return QFileInfo::exists(path(name)); }
    QByteArray content(const QString &name) const { return readFile(path(name)); }

    // Runs the program with "replace" and these elements; returns its exit status.
    int replace(const QStringList &elements, const QStringList &trailing = {})
    {
        return runProgram(target::program(), QStringList("replace") + elements + trailing, home.root());
    }
    // A trailing command that leaves a file behind when it runs. The Windows program gets a
    // Windows one: Wine starts a Linux program too, but fills in no process for it, so whether
    // the start counts as done is left to chance there.
    QStringList touch(const QString &name) const
    {
        if (target::isWindows())
            return {"--", "cmd", "/c", "echo.> " + name};
        return {"--", "/bin/sh", "-c", "echo > " + name};
    }

    TempHome home;
};

TEST_F(ReplaceCommand, RenamesOntoMissingTargetAndReplacesExistingOneWithoutBackupLeft)
{
    make("new", "N");
    make("target", "old");
    make("source", "S");
    EXPECT_EQ(replace({path("moved"), path("new"), "3", "1", path("target"), path("source"), "3", "1"},
                      touch("started")),
              1);
    EXPECT_EQ(content("moved"), QByteArray("N"));
    EXPECT_EQ(content("target"), QByteArray("S"));
    EXPECT_FALSE(exists("new"));
    EXPECT_FALSE(exists("source"));
    EXPECT_FALSE(exists("target.bak"));
    EXPECT_TRUE(waitForFile(path("started")));
}

TEST_F(ReplaceCommand, DeleteMarkerRemovesFilesAndTreesButNotWhatALinkPointsTo)
{
    make("file", "x");
    make("tree/a/b/c", "x");
    make("tree/d", "x");
    make("outside/keep", "x");
    QStringList groups{path("file"), Marker, "1", "0", path("tree"), Marker, "1", "0"};
    // A Unix symbolic link is no link to a Windows program under Wine, just the directory.
    if (!target::isWindows()) {
        ASSERT_TRUE(QFile::link(path("outside"), path("link")));
        groups += {path("link"), Marker, "1", "0"};
    }
    EXPECT_EQ(replace(groups, touch("started")), 1);
    EXPECT_FALSE(exists("file"));
    EXPECT_FALSE(exists("tree"));
    EXPECT_FALSE(QFileInfo(path("link")).isSymLink());
    EXPECT_TRUE(exists("outside/keep"));
    EXPECT_TRUE(waitForFile(path("started")));
}

TEST_F(ReplaceCommand, RequiredValueBeginningWithZeroStopsAtAFailedGroup)
{
    // Deleting a missing file fails on every attempt.
    for (const QString required : {"0", "01", "1", "x", ""}) {
        SCOPED_TRACE(required.toStdString());
        make("source", "S");
        QFile::remove(path("target"));
        QFile::remove(path("started"));
        const int status =
            replace({path("missing"), Marker, "1", required, path("target"), path("source"), "1", "1"},
                    touch("started"));
        if (required.startsWith('0')) {
            EXPECT_EQ(status, exitStatusOf(-1));
            EXPECT_TRUE(exists("source"));
            EXPECT_FALSE(exists("target"));
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_TRUE(exists("target"));
            EXPECT_TRUE(waitForFile(path("started")));
        }
    }
}

TEST_F(ReplaceCommand, ZeroOrNegativeAttemptsTryNothing)
{
    make("source", "S");
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(replace({path("target"), path("source"), "0", "0"}, touch("started")), exitStatusOf(-1));
    // A negative count does not retry for ever: it is no attempt either.
    EXPECT_EQ(replace({path("target"), path("source"), "-1", "0"}, touch("started")), exitStatusOf(-1));
    EXPECT_LT(timer.elapsed(), 5000);
    EXPECT_TRUE(exists("source"));
    EXPECT_FALSE(exists("target"));
    // Not required: the failed group is skipped, the code of the last group stands.
    EXPECT_EQ(replace({path("target"), path("source"), "0", "1"}), exitStatusOf(-1));
    EXPECT_FALSE(exists("started"));
}

TEST_F(ReplaceCommand, StaleBackupFailsTheGroupWithNothingLost)
{
    make("target", "T");
    make("target.bak", "B");
    make("source", "S");
    EXPECT_EQ(replace({path("target"), path("source"), "2", "0"}, touch("started")), exitStatusOf(-1));
    EXPECT_EQ(content("target"), QByteArray("T"));
    EXPECT_EQ(content("target.bak"), QByteArray("B"));
    EXPECT_EQ(content("source"), QByteArray("S"));
    EXPECT_FALSE(exists("started"));
}

TEST_F(ReplaceCommand, GroupsEndAtDoubleHyphenOnlyInFirstPlaceAndNeedFourElements)
{
    // "--" as a group's fourth element is an ordinary value; with no " -- " left in the tail
    // there is no trailing command.
    make("a", "A");
    EXPECT_EQ(replace({path("b"), path("a"), "1", "--"}), exitStatusOf(-1));
    EXPECT_TRUE(exists("b"));
    EXPECT_FALSE(exists("a"));

    // A group's first element "--" ends the groups: these four are the trailing command,
    // not a group that would delete "--".
    make("--", "keep");
    EXPECT_EQ(replace({"--", Marker, "1", "0"}, touch("started")), 0);
    EXPECT_EQ(replace({}, touch("started")), 1);
    EXPECT_TRUE(exists("--"));
    EXPECT_TRUE(waitForFile(path("started")));

    // Fewer than four remaining elements are ignored; six elements, no "--": -1.
    make("e", "E");
    make("y", "Y");
    EXPECT_EQ(replace({path("d"), path("e"), "1", "1", path("x"), path("y")}), exitStatusOf(-1));
    EXPECT_TRUE(exists("d"));
    EXPECT_TRUE(exists("y"));
    EXPECT_FALSE(exists("x"));
}

TEST_F(ReplaceCommand, StartsTheTrailingCommandExactlyAsWritten)
{
    make("source", "S");
    const QStringList trailing = {
        "/bin/sh", "-c", "printf '%s|' \"$@\" > out", "sh", "a b", "", "say \"hi\"", "tab\there", "back\\",
        "\\\"\\",  "值"};
    // The words reach the program as written (a Linux program, to read them back); under Wine
    // the status of its start is left to chance (see touch), the file it writes is not.
    const int status = replace({path("target"), path("source"), "1", "1", "--"}, trailing);
    if (!target::isWindows()) {
        EXPECT_EQ(status, 1);
    }
    ASSERT_TRUE(waitForFile(path("out")));
    QByteArray expected;
    for (const QString &a : trailing.mid(4))
        expected += a.toUtf8() + '|';
    QByteArray got;
    for (int i = 0; i < 100 && got != expected; ++i) {
        QThread::msleep(20);
        got = content("out");
    }
    EXPECT_EQ(got, expected);

    // A command that cannot be started gives 0.
    EXPECT_EQ(replace({path("t2"), path("target"), "1", "1", "--", path("no such program")}), 0);
    EXPECT_TRUE(exists("t2"));
}

TEST_F(ReplaceCommand, MixedCaseOrTooFewElementsIsNotTheCommand)
{
    make("a", "A");
    // Five elements in all: not the replace command; nothing is moved.
    EXPECT_EQ(runProgram(target::program(), {"replace", path("b"), path("a"), "1"}, home.root()),
              exitStatusOf(-1));
    EXPECT_EQ(runProgram(target::program(), {"Replace", path("b"), path("a"), "1", "1"}, home.root()),
              exitStatusOf(-1));
    EXPECT_TRUE(exists("a"));
    EXPECT_FALSE(exists("b"));
}

} // namespace
