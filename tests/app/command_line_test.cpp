#include "app/command_line.h"

#include <gtest/gtest.h>

namespace {

QString line(const QString &program, const QStringList &arguments)
{
    return buildCommandLine(program, arguments);
}

TEST(BuildCommandLine, QuotesLikeTheCRuntimeReadsBack)
{
    EXPECT_EQ(line({}, {"a b"}), QStringLiteral(" \"a b\""));
    EXPECT_EQ(line({}, {""}), QStringLiteral(" \"\""));
    EXPECT_EQ(line({}, {"say \"hi\""}), QStringLiteral(" \"say \\\"hi\\\"\""));
    EXPECT_EQ(line({}, {"C:\\my dir\\"}), QStringLiteral(" \"C:\\my dir\"\\"));
    EXPECT_EQ(line({}, {"\"\""}), QStringLiteral(" \\\"\\\""));
    EXPECT_EQ(line({}, {"x"}), QStringLiteral(" x"));
    EXPECT_EQ(line({}, {"tab\there"}), QStringLiteral(" \"tab\there\""));
}

TEST(BuildCommandLine, ProgramPartIsQuotedAndSeparatedByTwoBlanks)
{
    // On this machine the native separator is the slash, so slashes stay.
    EXPECT_EQ(line("/opt/Program Files/K/Korvel.exe", {}),
              QStringLiteral("\"/opt/Program Files/K/Korvel.exe\" "));
    EXPECT_EQ(line("a", {"x"}), QStringLiteral("a  x"));
    EXPECT_EQ(line("\"/already quoted\"", {}), QStringLiteral("\"/already quoted\" "));
}

} // namespace
