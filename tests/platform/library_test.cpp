#include "platform/library.h"

#include "support/temp_home.h"

#include <QDir>

#include <gtest/gtest.h>

#include <utility>

namespace {

using Entry = int (*)(const char16_t *);

TEST(Library, ResolvesExportedNamesByTheirBytes)
{
    TempHome home;
    home.setEnv("KORVEL_SAMPLE_EXIT", "7");
    platform::Library library = platform::Library::load(QStringLiteral(KORVEL_SAMPLE_CLIENT));
    ASSERT_TRUE(library.isLoaded()) << library.errorString().toStdString();
    auto entry = reinterpret_cast<Entry>(library.resolve("korvel_entry"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry(u"x"), 7);
    EXPECT_NE(library.resolve(QStringLiteral("客户端入口").toUtf8()), nullptr);
    EXPECT_EQ(library.resolve("korvel_missing"), nullptr);
    EXPECT_EQ(library.resolve(QByteArray("korvel_entry\0x", 14)), nullptr);

    platform::Library moved = std::move(library);
    EXPECT_FALSE(library.isLoaded());
    EXPECT_EQ(library.resolve("korvel_entry"), nullptr);
    EXPECT_NE(moved.resolve("korvel_entry"), nullptr);
}

TEST(Library, FilesThatAreNoLibraryDoNotLoad)
{
    TempHome home;
    const QString garbage = home.root() + QStringLiteral("/client.so");
    ASSERT_TRUE(writeFile(garbage, "not a library"));
    platform::Library library = platform::Library::load(garbage);
    EXPECT_FALSE(library.isLoaded());
    EXPECT_FALSE(library.errorString().isEmpty());
    EXPECT_FALSE(platform::Library::load(home.root() + QStringLiteral("/missing.so")).isLoaded());
}

TEST(ProcessState, DirectoryAndEnvironment)
{
    TempHome home;
    const QString old = QDir::currentPath();
    const QString dir = home.root() + QStringLiteral("/目录 x");
    ASSERT_TRUE(QDir().mkpath(dir));
    EXPECT_TRUE(platform::setCurrentDirectory(dir));
    EXPECT_EQ(QDir::currentPath(), dir);
    EXPECT_FALSE(platform::setCurrentDirectory(home.root() + QStringLiteral("/missing")));
    EXPECT_EQ(QDir::currentPath(), dir);
    platform::setCurrentDirectory(old);

    home.setEnv("KORVEL_PROBE", "");
    qunsetenv("KORVEL_PROBE");
    EXPECT_FALSE(platform::isEnvironmentVariableSet("KORVEL_PROBE"));
    EXPECT_TRUE(platform::setEnvironmentVariable("KORVEL_PROBE", QStringLiteral("值:x")));
    EXPECT_TRUE(platform::isEnvironmentVariableSet("KORVEL_PROBE"));
    EXPECT_EQ(platform::environmentVariable("KORVEL_PROBE"), QStringLiteral("值:x"));
}

} // namespace
