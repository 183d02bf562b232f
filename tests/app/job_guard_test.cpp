#include "app/job_guard.h"

#include "support/child_process.h"
#include "support/temp_home.h"

#include "platform/process.h"

#include <QFile>
#include <QUuid>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

// This test binary doubles as the helper process: started with KORVEL_TEST_HELPER set to
// "guard:NAME" it takes that guard, says "held" or "busy" on stdout and, when held, keeps it
// until it is killed (or a minute has passed, so a lost helper never lingers).
const bool helperRan = [] {
    const QByteArray mode = qgetenv("KORVEL_TEST_HELPER");
    if (!mode.startsWith("guard:"))
        return false;
    JobGuard guard = acquireJobGuard(QString::fromUtf8(mode.mid(6)));
    std::puts(guard ? "held" : "busy");
    std::fflush(stdout);
    if (guard)
        platform::sleepMilliseconds(60000);
    std::_Exit(guard ? 0 : 1);
}();

QProcessEnvironment helperEnvironment(const QString &guardName)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KORVEL_TEST_HELPER"), QStringLiteral("guard:") + guardName);
    return env;
}

QString uniqueGuardName()
{
    return QStringLiteral("korvel_test_") + QUuid::createUuid().toString();
}

TEST(JobGuard, NameIsDerivedFromTheDigestInLittleEndianOrder)
{
    EXPECT_EQ(jobGuardName(QStringLiteral("abc")),
              QStringLiteral("Global\\{98500190-d23c-b04f-d696-3f7d28e17f72}"));
    EXPECT_EQ(QString::fromLatin1(InstallGuardName), QStringLiteral("korvel_install"));
}

TEST(JobGuard, AnotherProcessHoldsItUntilKilled)
{
    const QString name = uniqueGuardName();
    const QString self = platform::executablePath();
    ChildProcess holder;
    ASSERT_TRUE(holder.start(self, {}, {}, helperEnvironment(name)));
    ASSERT_EQ(holder.readLine(), QByteArray("held"));

    EXPECT_FALSE(acquireJobGuard(name).isHeld());
    ChildProcess second;
    ASSERT_TRUE(second.start(self, {}, {}, helperEnvironment(name)));
    EXPECT_EQ(second.readLine(), QByteArray("busy"));
    EXPECT_TRUE(second.waitForFinished());

    // A holder that dies without cleaning up frees the name with its process.
    holder.kill();
    JobGuard mine = acquireJobGuard(name);
    EXPECT_TRUE(mine.isHeld());
    mine.release();
    EXPECT_TRUE(acquireJobGuard(name).isHeld());
}

} // namespace
