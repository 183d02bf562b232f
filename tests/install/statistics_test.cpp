#include "install/statistics.h"

#include "registry_home.h"
#include "support/http_server.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QUrlQuery>

#include <gtest/gtest.h>

namespace {

const QRegularExpression guidText(
    QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$"));

QList<QPair<QString, QString>> itemsOf(const HttpRequest &request)
{
    return QUrlQuery(QString::fromUtf8(request.query())).queryItems(QUrl::FullyDecoded);
}

QString storedMachineId()
{
    QSettings settings(QStringLiteral("ostrel"), QStringLiteral("kv"));
    userSettingsOnly(settings);
    return settings.value(QStringLiteral("MachineUuid")).toString();
}

TEST(MachineId, IsCreatedOnceAsALowerCaseGuidAndKept)
{
    RegistryHome home;
    const QString id = machineId();
    EXPECT_TRUE(guidText.match(id).hasMatch()) << id.toStdString();
    // On disk, where the next process finds it.
    EXPECT_TRUE(readFile(home.configHome() + "/ostrel/kv.conf").contains("MachineUuid=" + id.toUtf8()));
    EXPECT_EQ(storedMachineId(), id);
    EXPECT_EQ(machineId(), id);
}

TEST(MachineId, SystemWideIdIsUsedAndNothingWrittenForTheUser)
{
    RegistryHome home;
    const QString systemId = "{0123abcd-0000-1111-2222-333344445555}";
    ASSERT_TRUE(writeFile(home.configDirs() + "/ostrel/kv.conf",
                          "[General]\nMachineUuid=" + systemId.toUtf8() + "\n"));

    EXPECT_EQ(machineId(), systemId);
    EXPECT_TRUE(storedMachineId().isEmpty());
}

class Beacon : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.isListening());
        server.serve("/c.gif", HttpReply::ok("GIF89a"));
        home.setEnv("KORVEL_STATS_SERVER", server.baseUrl().toUtf8());
    }

    RegistryHome home;
    TestHttpServer server;
};

TEST_F(Beacon, SuccessfulInstallSendsTheEightItemsInOrderWithAMatchingKey)
{
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    sendStatistics(JobMode::Install, true);
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    ASSERT_EQ(server.requests().size(), 1);
    const HttpRequest request = server.requests().first();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path(), "/c.gif");
    const auto items = itemsOf(request);
    QStringList names;
    for (const auto &item : items)
        names << item.first;
    ASSERT_EQ(names, QStringList({"act", "time", "key", "prodid", "cliver", "code", "from", "type"}));

    EXPECT_EQ(items[0].second, "pcclientinstall");
    const QString time = items[1].second;
    EXPECT_EQ(time.size(), 13);
    EXPECT_GE(time.toLongLong(), before);
    EXPECT_LE(time.toLongLong(), after);
    const QByteArray expectedKey =
        QCryptographicHash::hash((items[0].second + time + "QelbaRTWarnix").toUtf8(), QCryptographicHash::Md5)
            .toHex();
    EXPECT_EQ(items[2].second.toLatin1(), expectedKey);
    EXPECT_EQ(items[3].second, "plinther");
    EXPECT_EQ(items[4].second, "1.0.4");
    EXPECT_EQ(items[5].second, storedMachineId());
    EXPECT_TRUE(guidText.match(items[5].second).hasMatch());
    EXPECT_EQ(items[6].second, "ppc");
    EXPECT_EQ(items[7].second, "1");
}

TEST_F(Beacon, UpdatesSendTypeTwoWithTheSameMachineIdEachTime)
{
    sendStatistics(JobMode::Update, true);
    sendStatistics(JobMode::Update, true);

    ASSERT_EQ(server.requests().size(), 2);
    const auto first = itemsOf(server.requests()[0]);
    const auto second = itemsOf(server.requests()[1]);
    EXPECT_EQ(first[7].second, "2");
    EXPECT_EQ(first[5].second, second[5].second);
    EXPECT_EQ(first[5].second, storedMachineId());
}

TEST_F(Beacon, NothingIsSentForAFailedTaskOrAnUninstall)
{
    sendStatistics(JobMode::Install, false);
    sendStatistics(JobMode::Update, false);
    sendStatistics(JobMode::Uninstall, true);
    sendStatistics(JobMode::Uninstall, false);

    EXPECT_TRUE(server.requests().isEmpty());
    // Nothing was sent, so no id was made up either.
    EXPECT_FALSE(QFileInfo::exists(home.configHome() + "/ostrel/kv.conf"));
}

TEST_F(Beacon, FailingOrStalledServerHoldsTheCallOnlyUntilTheTransferGivesUp)
{
    server.serve("/c.gif", HttpReply::status(500, "broken"));
    sendStatistics(JobMode::Install, true);
    EXPECT_EQ(server.requestCount("/c.gif"), 1);

    HttpReply stall = HttpReply::ok("GIF89a");
    stall.stallMs = -1; // headers, then silence until the server goes
    server.serve("/c.gif", stall);
    TransferLimits limits;
    limits.lowSpeedSeconds = 1;
    QElapsedTimer timer;
    timer.start();
    sendStatistics(JobMode::Update, true, limits);
    EXPECT_EQ(server.requestCount("/c.gif"), 2);
    EXPECT_LT(timer.elapsed(), 10000);

    home.setEnv("KORVEL_STATS_SERVER",
                "http://127.0.0.1:" + QByteArray::number(TestHttpServer::closedPort()));
    timer.restart();
    sendStatistics(JobMode::Install, true);
    EXPECT_LT(timer.elapsed(), 5000);
}

TEST_F(Beacon, AnswerLargerThanAnyImageEndsTheTransferAtOnce)
{
    // A quarter megabyte, then silence: the beacon must neither keep it nor wait for more.
    HttpReply flood = HttpReply::ok(QByteArray(1024 * 1024, 'x'));
    flood.stallAfterBytes = 256 * 1024;
    flood.stallMs = -1;
    server.serve("/c.gif", flood);
    TransferLimits limits;
    limits.lowSpeedSeconds = 8;
    QElapsedTimer timer;
    timer.start();
    sendStatistics(JobMode::Install, true, limits);
    EXPECT_EQ(server.requestCount("/c.gif"), 1);
    EXPECT_LT(timer.elapsed(), 4000);
}

} // namespace
