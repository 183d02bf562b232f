#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <random>

namespace {

QString line(const QString &program, const QStringList &arguments)
{
    return platform::buildCommandLine(program, arguments);
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

namespace {

TEST(SplitArguments, GivesBackWhatBuildCommandLineQuoted)
{
    // Characters that matter to the quoting, and some that must pass through untouched.
    const QString alphabet = QStringLiteral("ab \t\"\\\\\\x\xe9\u503c\n/");
    std::mt19937 random(20240611);
    for (int round = 0; round < 5000; ++round) {
        QStringList arguments;
        const int count = int(random() % 7);
        for (int a = 0; a < count; ++a) {
            QString argument;
            const int length = int(random() % 9);
            for (int c = 0; c < length; ++c)
                argument += alphabet.at(int(random() % unsigned(alphabet.size())));
            arguments.append(argument);
        }
        const QString line = platform::buildCommandLine(QString(), arguments);
        ASSERT_EQ(platform::splitArguments(line), arguments) << line.toStdString();
        // With a program part the program comes back as element 0.
        const QString program = QStringLiteral("/opt/my dir/Korvel.exe");
        ASSERT_EQ(platform::splitCommandLine(platform::buildCommandLine(program, arguments)),
                  QStringList(program) + arguments)
            << line.toStdString();
    }
}

TEST(SplitArguments, ReadsHandWrittenLinesLikeTheCRuntime)
{
    EXPECT_EQ(platform::splitArguments(QStringLiteral("a\\\\\\b d\"e f\"g h")),
              QStringList({"a\\\\\\b", "de fg", "h"}));
    EXPECT_EQ(platform::splitArguments(QStringLiteral("a\\\\\\\"b c d")), QStringList({"a\\\"b", "c", "d"}));
    EXPECT_EQ(platform::splitArguments(QStringLiteral("a\\\\\\\\\"b c\" d e")),
              QStringList({"a\\\\b c", "d", "e"}));
    // "" inside quotes is one literal mark and the span goes on.
    EXPECT_EQ(platform::splitArguments(QStringLiteral("a\"b\"\" c d")), QStringList({"ab\" c d"}));
    EXPECT_EQ(platform::splitArguments(QStringLiteral("  \t ")), QStringList());
    EXPECT_EQ(platform::splitArguments(QStringLiteral("\"\" x")), QStringList({"", "x"}));
    EXPECT_EQ(platform::splitArguments(QStringLiteral("\\\"\\\"")), QStringList({"\"\""}));
}

TEST(SplitCommandLine, ReadsTheProgramWithoutEscapes)
{
    EXPECT_EQ(platform::splitCommandLine(QStringLiteral("\"C:\\my dir\\k.exe\" x")),
              QStringList({"C:\\my dir\\k.exe", "x"}));
    EXPECT_EQ(platform::splitCommandLine(QStringLiteral("/bin/prog\\ a")), QStringList({"/bin/prog\\", "a"}));
    EXPECT_EQ(platform::splitCommandLine(QString()), QStringList());
}

} // namespace
