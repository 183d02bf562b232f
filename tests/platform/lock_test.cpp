#include "platform/lock.h"

#include <QUuid>

#include <gtest/gtest.h>

#include <utility>

namespace {

QString uniqueName()
{
    return QStringLiteral("Global\\korvel-test-") + QUuid::createUuid().toString();
}

TEST(MachineLock, IsExclusiveUntilReleasedAndMovesWithItsOwner)
{
    const QString name = uniqueName();
    platform::MachineLock first = platform::MachineLock::tryAcquire(name);
    ASSERT_TRUE(first.isHeld());
    EXPECT_FALSE(platform::MachineLock::tryAcquire(name).isHeld());
    EXPECT_TRUE(platform::MachineLock::tryAcquire(uniqueName()).isHeld());

    platform::MachineLock moved = std::move(first);
    EXPECT_FALSE(first.isHeld());
    EXPECT_FALSE(platform::MachineLock::tryAcquire(name).isHeld());
    moved.reset();
    EXPECT_TRUE(platform::MachineLock::tryAcquire(name).isHeld());
}

TEST(MachineLock, RefusesNamesItCannotBind)
{
    EXPECT_FALSE(platform::MachineLock::tryAcquire(QString()).isHeld());
    EXPECT_FALSE(platform::MachineLock::tryAcquire(QString(200, QLatin1Char('x'))).isHeld());
}

} // namespace
