// A job killed at any moment: the next plain start never runs a version with files missing,
// and leaves the installation whole (or, after an uninstall, installs it whole again).

#include "job_road.h"

#include "support/installed_layout.h"
#include "support/process_scan.h"
#include "support/tools.h"

#include <QFileInfo>

namespace {

class CrashSafety : public JobRoad {
protected:
    void SetUp() override
    {
        JobRoad::SetUp();
        if (::testing::Test::IsSkipped() || HasFatalFailure())
            return;
        if (runTool(QStringLiteral("strace"), {"-V"}) != 0)
            GTEST_SKIP() << "strace is not installed (scripts/setup installs it)";
    }
    QString data() const { return home.dataDirectory(); }
};

} // namespace

TEST_F(CrashSafety, InstallKilledAfterItsFilesIsMadeWholeByTheNextStart)
{
    publish("1.0");
    // The moments after the version's files are in place: the launcher being published, the
    // settings being written, the shortcut being made.
    const QStringList moments{data() + "/Korvel.exe.new",
                              home.configHome() + "/Microsoft/Windows.conf.lock",
                              home.configHome() + "/Classes/kv.conf.lock",
                              home.shortcut()};
    for (const QString &moment : moments) {
        SCOPED_TRACE(moment.toStdString());
        ASSERT_TRUE(runKilledAt(moment, downloaded)) << err.constData();
        const QByteArray report = startNormally(downloaded);
        EXPECT_EQ(sampleField(report, "version"), "1.0");
        expectRanComplete(report);
        expectCompleteInstallation("1.0");
        // The next round starts from a machine without the product.
        QDir(data()).removeRecursively();
        QDir(home.configHome()).removeRecursively();
        QFile::remove(home.shortcut());
    }
}

TEST_F(CrashSafety, UninstallKilledMidwayLeavesNothingThatStarts)
{
    extraFiles = 3;
    publish("1.0");
    installFromDownload();
    // The first files the removal of the tree reaches: the version's own, in name order.
    ASSERT_TRUE(runKilledAt(data() + "/1.0/Korvel.exe", installedProgram(), {"uninstall"}))
        << err.constData();

    const QByteArray report = startNormally(downloaded);
    expectRanComplete(report);
    expectCompleteInstallation("1.0");
}
