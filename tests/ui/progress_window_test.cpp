// The progress window on the headless window system: its course per mode, the bar, the
// status line and the error box, driven through posted messages as the job runner drives it.
#include "base/locations.h"
#include "platform/process.h"
#include "platform/window_system.h"
#include "support/child_process.h"
#include "support/temp_home.h"
#include "ui/progress_window.h"

#include <QFile>

#include <gtest/gtest.h>

#include <atomic>

namespace {

std::atomic<int> workerRuns{0};

// The order of posts a real worker keeps: reports, Finished, pause, Quit(0) on success.
void succeedingWorker(ProgressWindow *window)
{
    ++workerRuns;
    window->report(ReportStage::CatalogueAndManifest, ReportCode::ShownAsStatus, QStringLiteral("1.0"),
                   QStringLiteral("core"), QStringLiteral("开始下载"));
    window->post(std::make_unique<FinishedMessage>(true));
    platform::sleepMilliseconds(50);
    window->post(std::make_unique<QuitMessage>(0));
}

void reportingWorker(ProgressWindow *window)
{
    ++workerRuns;
    window->report(ReportStage::Downloads, ReportCode::ShownAsStatus, QStringLiteral("1.0"),
                   QStringLiteral("core.7z"), QStringLiteral("开始下载"));
    window->report(ReportStage::Downloads, ReportCode::ShownAsStatus, QStringLiteral("1.0"), QString(),
                   QStringLiteral("正在安装"));
    window->post(std::make_unique<QuitMessage>(3));
}

void failingWorker(ProgressWindow *window)
{
    ++workerRuns;
    // Nothing after the report: the loop may end, and the window go, as soon as it is posted.
    window->report(ReportStage::Downloads, ReportCode::DataRejected, QStringLiteral("1.0"),
                   QStringLiteral("core.7z"), QStringLiteral("下载失败"));
}

// Ticks the bar for a while, then ends the loop with a code no mode treats specially.
void slowWorker(ProgressWindow *window)
{
    ++workerRuns;
    platform::sleepMilliseconds(700);
    window->post(std::make_unique<QuitMessage>(9));
}

// A launcher in the data directory that leaves a mark when it is started.
QString installMarkingLauncher()
{
    const QString launcher = dataDirectory() + QStringLiteral("/Korvel.exe");
    const QString mark = dataDirectory() + QStringLiteral("/started");
    writeFile(launcher, "#!/bin/sh\necho started > \"" + mark.toUtf8() + "\"\n");
    QFile::setPermissions(launcher, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return mark;
}

class ProgressWindowTest : public ::testing::Test {
protected:
    void SetUp() override { workerRuns = 0; }

    TempHome home;
    std::unique_ptr<platform::WindowSystem> system = platform::openHeadlessWindowSystem();
};

} // namespace

TEST_F(ProgressWindowTest, CreatedHiddenAndCentredThenInstallStartShowsTitleAndTicks)
{
    ProgressWindow window(*system, JobMode::Install, slowWorker);
    const platform::WindowId id = window.view().window().id();
    ASSERT_NE(id, 0u);
    EXPECT_FALSE(system->isVisible(id));
    EXPECT_EQ(system->geometry(id), (Rect{713, 346, 713 + 493, 346 + 348}));
    EXPECT_EQ(window.view().backBuffer().width(), 493);
    EXPECT_EQ(window.view().backBuffer().height(), 348);
    EXPECT_EQ(window.progressWidth(), 1);
    EXPECT_EQ(window.percentText(), QString());
    EXPECT_EQ(window.titleText(), QString());
    EXPECT_EQ(window.pictureRect(), (Rect{18, 155, 18 + 189, 155 + 15}));

    window.post(std::make_unique<StartMessage>());
    EXPECT_EQ(system->runLoop(), 9);
    EXPECT_TRUE(system->isVisible(id));
    EXPECT_EQ(window.titleText(), QStringLiteral("安装Korvel"));
    EXPECT_EQ(workerRuns, 1);
    // 700 ms at one pixel per 200 ms.
    EXPECT_GE(window.progressWidth(), 3);
    EXPECT_LE(window.progressWidth(), 6);
    EXPECT_EQ(window.percentText(), QStringLiteral("0%"));
}

TEST_F(ProgressWindowTest, BarStopsAt432AndSuccessMovesAShorterBarTo427)
{
    ProgressWindow window(*system, JobMode::Install, nullptr);
    window.onTimer(window.view(), ProgressWindow::progressTimer);
    EXPECT_EQ(window.progressWidth(), 2);
    EXPECT_EQ(window.percentText(), QStringLiteral("0%"));

    window.setProgress(100);
    EXPECT_EQ(window.percentText(), QStringLiteral("23%")); // 100 × 100 / 433, truncated
    window.setProgress(431);
    window.onTimer(window.view(), ProgressWindow::progressTimer);
    window.onTimer(window.view(), ProgressWindow::progressTimer);
    EXPECT_EQ(window.progressWidth(), 432);
    EXPECT_EQ(window.percentText(), QStringLiteral("99%"));
    window.setProgress(5000);
    EXPECT_EQ(window.progressWidth(), 432);
    window.setProgress(0); // the image's width, capped
    EXPECT_EQ(window.progressWidth(), 432);
    window.onTimer(window.view(), 1); // other timers do nothing
    EXPECT_EQ(window.progressWidth(), 432);

    window.finish(true); // longer than 427: left alone
    EXPECT_EQ(window.progressWidth(), 432);
    window.setProgress(200);
    window.finish(false);
    EXPECT_EQ(window.progressWidth(), 200);
    window.finish(true);
    EXPECT_EQ(window.progressWidth(), 427);
    EXPECT_EQ(window.percentText(), QStringLiteral("98%"));

    // The bar is drawn exactly as wide as the progress: fill up to 30 + 427, track after it.
    const Image &frame = window.view().backBuffer();
    EXPECT_EQ(frame.pixelAt(30 + 426, 317), 0xfff29400u);
    EXPECT_EQ(frame.pixelAt(30 + 427, 317), 0xff63676du);
}

TEST_F(ProgressWindowTest, ReportsWithCodeZeroBecomeTheStatusLineWithAFullWidthColon)
{
    ProgressWindow window(*system, JobMode::Install, reportingWorker);
    testing::internal::CaptureStderr();
    window.post(std::make_unique<StartMessage>());
    const int code = system->runLoop();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, 3);
    EXPECT_EQ(window.statusText(), QStringLiteral("正在安装："));
    EXPECT_EQ(QString::fromStdString(err), QStringLiteral("开始下载：core.7z\n正在安装：\n"));
}

TEST_F(ProgressWindowTest, AnErrorReportShowsPackageAndTextInABoxAndEndsWithMinusOne)
{
    ProgressWindow window(*system, JobMode::Install, failingWorker);
    testing::internal::CaptureStderr();
    window.post(std::make_unique<StartMessage>());
    const int code = system->runLoop();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, -1);
    EXPECT_EQ(QString::fromStdString(err), QStringLiteral("core.7z下载失败\n"));
    EXPECT_EQ(window.statusText(), QString());
}

TEST_F(ProgressWindowTest, SuccessfulInstallStartsTheInstalledLauncherAndQuitsWithZero)
{
    const QString mark = installMarkingLauncher();
    ProgressWindow window(*system, JobMode::Install, succeedingWorker);
    testing::internal::CaptureStderr();
    window.post(std::make_unique<StartMessage>());
    EXPECT_EQ(system->runLoop(), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(waitForFile(mark, 10000));
    EXPECT_EQ(window.progressWidth(), 427);
    EXPECT_EQ(window.statusText(), QStringLiteral("开始下载：core"));
}

TEST_F(ProgressWindowTest, ClosedBySystemEndsTheJobWithMinusOneAndStartsNothing)
{
    const QString mark = installMarkingLauncher();
    ProgressWindow window(*system, JobMode::Install, nullptr); // a task that never ends
    window.post(std::make_unique<StartMessage>());
    window.view().window().closeRequested();
    EXPECT_EQ(system->runLoop(), -1);
    EXPECT_FALSE(waitForFile(mark, 300));
}

TEST_F(ProgressWindowTest, UpdateShowsNothingAndStartsNothing)
{
    const QString mark = installMarkingLauncher();
    ProgressWindow window(*system, JobMode::Update, succeedingWorker);
    testing::internal::CaptureStderr();
    window.post(std::make_unique<StartMessage>());
    EXPECT_EQ(system->runLoop(), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(system->isVisible(window.view().window().id()));
    EXPECT_EQ(workerRuns, 1);
    EXPECT_EQ(window.progressWidth(), 427); // Finished still moves the (unseen) bar
    platform::sleepMilliseconds(300);
    EXPECT_FALSE(QFile::exists(mark));
}

// Run by the test below inside a private copy of this test program, so that no other copy
// (a parallel test run) counts as the same program file.
TEST(ProgressWindowHelper, UninstallAlone)
{
    if (!qEnvironmentVariableIsSet("KORVEL_UI_TEST_UNINSTALL"))
        GTEST_SKIP() << "helper process only";
    workerRuns = 0;
    const QString mark = installMarkingLauncher();
    auto system = platform::openHeadlessWindowSystem();
    ProgressWindow window(*system, JobMode::Uninstall, succeedingWorker);
    window.post(std::make_unique<StartMessage>());
    EXPECT_EQ(system->runLoop(), 0);
    EXPECT_TRUE(system->isVisible(window.view().window().id()));
    EXPECT_EQ(window.titleText(), QStringLiteral("卸载Korvel"));
    EXPECT_EQ(window.pictureRect(), (Rect{18, 155, 18 + 188, 155 + 39}));
    EXPECT_EQ(workerRuns, 1);
    platform::sleepMilliseconds(300);
    EXPECT_FALSE(QFile::exists(mark)) << "only an install starts the launcher";
}

TEST_F(ProgressWindowTest, UninstallShowsTheFarewellAndRunsTheWorkerWhenNoOtherCopyRuns)
{
    const QString copy = home.temp() + QStringLiteral("/ui_tests_copy");
    ASSERT_TRUE(QFile::copy(programFileInfo().absoluteFilePath(), copy));
    QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KORVEL_UI_TEST_UNINSTALL"), QStringLiteral("1"));
    QByteArray out;
    const int status =
        runProgram(copy, {QStringLiteral("--gtest_filter=ProgressWindowHelper.UninstallAlone")}, QString(),
                   &out, nullptr, env);
    EXPECT_EQ(status, 0) << out.constData();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.constData();
}

// Started as a second copy of this test program by the test below.
TEST(ProgressWindowHelper, StayAlive)
{
    if (!qEnvironmentVariableIsSet("KORVEL_UI_TEST_STAY"))
        GTEST_SKIP() << "helper process only";
    platform::sleepMilliseconds(30000);
}

TEST_F(ProgressWindowTest, UninstallRefusesWhileAnotherCopyOfTheProgramRuns)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KORVEL_UI_TEST_STAY"), QStringLiteral("1"));
    ChildProcess other;
    ASSERT_TRUE(other.start(programFileInfo().absoluteFilePath(),
                            {QStringLiteral("--gtest_filter=ProgressWindowHelper.StayAlive")}, QString(),
                            env));

    ProgressWindow window(*system, JobMode::Uninstall, succeedingWorker);
    testing::internal::CaptureStderr();
    window.post(std::make_unique<StartMessage>());
    const int code = system->runLoop();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, -1);
    EXPECT_EQ(QString::fromStdString(err),
              QStringLiteral("检测到Korvel正在运行，请退出所有Korvel进程后重试。\n"));
    EXPECT_TRUE(system->isVisible(window.view().window().id()));
    EXPECT_EQ(window.titleText(), QStringLiteral("卸载Korvel"));
    EXPECT_EQ(workerRuns, 0);
    other.kill();
}

TEST_F(ProgressWindowTest, MinimiseButtonMinimisesAndOtherClicksDoNothing)
{
    ProgressWindow window(*system, JobMode::Install, nullptr);
    const platform::WindowId id = window.view().window().id();
    window.onClick(window.view(), nullptr);
    EXPECT_FALSE(system->isVisible(id));
    window.onClick(window.view(), window.minimiseButton());
    EXPECT_TRUE(system->isVisible(id)); // minimised counts as shown, as an icon
    // The button is the one client area; the rest drags the window.
    EXPECT_EQ(window.view().window().hitTest(470, 16), platform::HitArea::Client);
    EXPECT_EQ(window.view().window().hitTest(300, 200), platform::HitArea::Caption);
    EXPECT_EQ(window.view().window().hitTest(20, 20), platform::HitArea::Caption); // under the title
}
