#include "platform/library.h"

#include "support/temp_home.h"

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

} // namespace
