// The progress window on a real X server: a private Xvfb started by the test, inspected
// through a connection of the test's own.
#include "platform/process.h"
#include "platform/window_system.h"
#include "support/child_process.h"
#include "support/http_server.h"
#include "support/target.h"
#include "support/temp_home.h"
#include "ui/progress_window.h"
#include "x11_probe.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

void quitLater(ProgressWindow *window)
{
    platform::sleepMilliseconds(400);
    window->post(std::make_unique<QuitMessage>(7));
}

void quitAtOnce(ProgressWindow *window)
{
    window->post(std::make_unique<FinishedMessage>(true));
    window->post(std::make_unique<QuitMessage>(0));
}

class X11WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            GTEST_SKIP() << "Xvfb is not installed";
        // A display number nobody uses: free of sockets and lock files, tried until one starts.
        // Numbers whose files a killed server left behind are skipped, so the range is wide.
        for (int n = 200 + getpid() % 300, tries = 0; tries < 300; ++n, ++tries) {
            if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n))
                || QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
                continue;
            server = std::make_unique<ChildProcess>();
            if (!server->start(xvfb,
                               {QStringLiteral(":%1").arg(n), QStringLiteral("-screen"), QStringLiteral("0"),
                                QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                                QStringLiteral("tcp")}))
                continue;
            if (waitForFile(QStringLiteral("/tmp/.X11-unix/X%1").arg(n), 5000) && server->isRunning()) {
                display = n; // running, so the socket is its own and not another server's
                home.setEnv("DISPLAY", QStringLiteral(":%1").arg(n).toUtf8());
                system = platform::openX11WindowSystem();
                if (system)
                    return;
            }
            stopServer();
        }
        FAIL() << "no private X server could be started";
    }

    void TearDown() override
    {
        system.reset();
        stopServer();
    }

    // The server is killed by its PID and has no chance to remove its socket and lock file;
    // they are ours, so they go too, or every run would use up one more display number.
    void stopServer()
    {
        const bool started = server != nullptr;
        server.reset();
        if (started && display >= 0) {
            QFile::remove(QStringLiteral("/tmp/.X11-unix/X%1").arg(display));
            QFile::remove(QStringLiteral("/tmp/.X%1-lock").arg(display));
        }
        display = -1;
    }

    int display = -1;

    TempHome home;
    std::unique_ptr<ChildProcess> server;
    std::unique_ptr<platform::WindowSystem> system;
};

// The top-down pixels of a bottom-up frame, as 0xAARRGGBB.
std::vector<std::uint32_t> topDown(const Image &frame)
{
    std::vector<std::uint32_t> pixels;
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x)
            pixels.push_back(frame.pixelAt(x, y));
    return pixels;
}

// The install window as shown: 493 × 348, centred in the work area (no window manager, so the
// 1280 × 1024 screen), with per-pixel alpha, its title and its 48 × 48 icon.
void expectShownInstallWindow(const x11probe::WindowInfo &info)
{
    EXPECT_TRUE(info.viewable);
    EXPECT_EQ(info.width, 493);
    EXPECT_EQ(info.height, 348);
    EXPECT_EQ(info.x, (1280 - 493) / 2);
    EXPECT_EQ(info.y, (1024 - 348) / 2);
    EXPECT_EQ(info.depth, 32);
    EXPECT_EQ(info.title, QStringLiteral("安装Korvel"));
    EXPECT_EQ(info.iconWidth, 48);
    EXPECT_EQ(info.iconHeight, 48);
}

// The glyphs of a line of light text on the dark panel within [left, right) × [top, bottom) of
// top-down pixels width wide: runs of columns with ink, split at columns without, each given
// as its ink pattern. A missing glyph is drawn as the same empty box wherever it stands.
std::vector<QByteArray> inkRuns(const std::vector<std::uint32_t> &pixels, int width, int left, int top,
                                int right, int bottom)
{
    std::vector<QByteArray> runs;
    QByteArray run;
    for (int x = left; x < right; ++x) {
        QByteArray column;
        bool ink = false;
        for (int y = top; y < bottom; ++y) {
            const std::uint32_t p = pixels.at(size_t(y) * size_t(width) + size_t(x));
            const bool lit = ((p >> 16) & 0xff) > 0x80 && ((p >> 8) & 0xff) > 0x80 && (p & 0xff) > 0x80;
            column.append(lit ? '#' : '.');
            ink = ink || lit;
        }
        if (ink) {
            run += column + '|';
        } else if (!run.isEmpty()) {
            runs.push_back(run);
            run.clear();
        }
    }
    if (!run.isEmpty())
        runs.push_back(run);
    return runs;
}

} // namespace

TEST_F(X11WindowTest, InstallWindowShowsExactlyTheFrameHeadlessComposes)
{
    ProgressWindow window(*system, JobMode::Install, quitLater);
    const platform::WindowId id = window.view().window().id();
    ASSERT_NE(id, 0u);
    x11probe::WindowInfo info = x11probe::inspect(id);
    ASSERT_TRUE(info.exists);
    EXPECT_FALSE(info.viewable);
    // No window manager, so no work area: the 1280 × 1024 screen.
    EXPECT_EQ(system->workArea(), (Rect{0, 0, 1280, 1024}));

    window.post(std::make_unique<StartMessage>());
    EXPECT_EQ(system->runLoop(), 7);
    expectShownInstallWindow(x11probe::inspect(id));

    // The same window composed headless, brought to the same state.
    auto headless = platform::openHeadlessWindowSystem();
    ProgressWindow reference(*headless, JobMode::Install, nullptr);
    reference.post(std::make_unique<StartMessage>());
    reference.post(std::make_unique<QuitMessage>(7));
    ASSERT_EQ(headless->runLoop(), 7);
    window.setProgress(120);
    reference.setProgress(120);
    const std::vector<std::uint32_t> expected = topDown(reference.view().backBuffer());
    ASSERT_EQ(expected.size(), 493u * 348u);

    // The server takes the frame on the window system's connection; read until it shows.
    std::vector<std::uint32_t> shown;
    for (int attempt = 0; attempt < 40 && shown != expected; ++attempt) {
        if (attempt)
            platform::sleepMilliseconds(50);
        shown = x11probe::grab(id, 493, 348);
    }
    ASSERT_EQ(shown.size(), expected.size());
    size_t differing = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
        if (shown[i] != expected[i] && differing++ < 10)
            ADD_FAILURE() << "at " << i % 493 << "," << i / 493 << std::hex << " shown " << shown[i]
                          << " expected " << expected[i];
    }
    EXPECT_EQ(differing, 0u);
    EXPECT_EQ(shown[0] >> 24, 0u) << "the rounded corner stays transparent";
    EXPECT_EQ(shown[static_cast<size_t>(317) * 493 + 30], 0xfff29400u) << "the bar";
}

// The Windows program's own window under Wine, on this test's X server: its layered
// "TarnWindow" maps to a top-level X window of the same place, size and title.
TEST_F(X11WindowTest, WindowsProgramShowsItsInstallWindowCentredInTheWorkArea)
{
    if (!target::isWindows())
        GTEST_SKIP() << "drives the Windows program (scripts/test windows)";
    // The catalogue never answers, so the install window stays up without an error box.
    TestHttpServer catalogue;
    HttpReply stalled = HttpReply::ok("<Versions/>");
    stalled.stallMs = -1;
    catalogue.serve("/bin/versions.xml", stalled);
    home.setEnv("KORVEL_HEADLESS", "0");
    home.setEnv("KORVEL_CATALOGUE_SERVER", catalogue.baseUrl().toUtf8());
    const QString program = home.root() + QStringLiteral("/Downloads/Korvel.exe");
    ASSERT_TRUE(writeFile(program, readFile(target::program())));
    ChildProcess installer;
    ASSERT_TRUE(installer.start(program, {}, home.root()));

    std::vector<std::uintptr_t> windows;
    QElapsedTimer timer;
    timer.start();
    while ((windows = x11probe::windowsTitled(QStringLiteral("安装Korvel"))).empty()
           && timer.elapsed() < 60000)
        QThread::msleep(100);
    ASSERT_EQ(windows.size(), 1u) << installer.standardError().constData();
    x11probe::WindowInfo info;
    for (int i = 0; i < 100 && !(info = x11probe::inspect(windows[0])).viewable; ++i)
        QThread::msleep(100);
    // (Wine maps a layered window with per-pixel alpha to an ARGB window.)
    expectShownInstallWindow(info);
    EXPECT_TRUE(catalogue.waitForRequests(1, 30000));

    // The title label's Chinese glyphs are drawn (the prefix links a Chinese font behind the
    // default GUI font, as Windows does): two empty boxes of a missing glyph would be the same.
    std::vector<QByteArray> title;
    for (int i = 0; i < 100 && title.size() < 3; ++i) {
        if (i)
            QThread::msleep(100);
        const std::vector<std::uint32_t> shown = x11probe::grab(windows[0], 493, 348);
        if (shown.size() == size_t(493) * 348)
            title = inkRuns(shown, 493, 15, 12, 240, 45);
    }
    ASSERT_GE(title.size(), 3u) << "no title text drawn";
    EXPECT_NE(title[0], title[1]) << "安 and 装 drawn alike (as boxes):\n"
                                  << title[0].constData() << "\n"
                                  << title[1].constData();

    // A window manager's close (which Wine turns into the system menu's Close) does not end
    // the install: the window has no Close to offer.
    x11probe::askToClose(windows[0]);
    QThread::msleep(1500);
    EXPECT_TRUE(installer.isRunning());
    EXPECT_TRUE(x11probe::inspect(windows[0]).viewable);
    installer.kill();
}

TEST_F(X11WindowTest, UpdateModeShowsNoWindow)
{
    ProgressWindow window(*system, JobMode::Update, quitAtOnce);
    window.post(std::make_unique<StartMessage>());
    EXPECT_EQ(system->runLoop(), 0);
    const x11probe::WindowInfo info = x11probe::inspect(window.view().window().id());
    ASSERT_TRUE(info.exists);
    EXPECT_FALSE(info.viewable);
}

TEST_F(X11WindowTest, CaptionPressDragsTheWindowAndTheButtonHovers)
{
    ProgressWindow window(*system, JobMode::Install, quitLater);
    const platform::WindowId id = window.view().window().id();
    const Rect start = window.view().window().rect();
    using x11probe::Pointer;
    // Hovering the minimise button, then dragging by the panel (no window manager: the
    // backend moves the window itself).
    x11probe::sendPointer(id, Pointer::Motion, 470, 16, start.left, start.top);
    window.post(std::make_unique<StartMessage>());
    x11probe::sendPointer(id, Pointer::Press, 300, 200, start.left, start.top);
    x11probe::sendPointer(id, Pointer::Motion, 350, 230, start.left, start.top);
    x11probe::sendPointer(id, Pointer::Release, 350, 230, start.left, start.top);
    EXPECT_EQ(system->runLoop(), 7);

    const Rect moved{start.left + 50, start.top + 30, start.right + 50, start.bottom + 30};
    EXPECT_EQ(window.view().window().rect(), moved);
    const x11probe::WindowInfo info = x11probe::inspect(id);
    EXPECT_EQ(info.x, moved.left);
    EXPECT_EQ(info.y, moved.top);
    // The drag did not reach the widgets: no press, and the hover stayed on the button.
    EXPECT_EQ(window.view().pressedWidget(), nullptr);
    EXPECT_EQ(window.view().backBuffer().pixelAt(470, 16), 0xfff29400u);
}

TEST_F(X11WindowTest, WorkAreaIsTheCurrentDesktopsAndAnUnknownDesktopMeansTheFirst)
{
    x11probe::setRootCardinals("_NET_WORKAREA", {0, 0, 1280, 990, 40, 20, 1000, 900});
    x11probe::setRootCardinals("_NET_CURRENT_DESKTOP", {1});
    EXPECT_EQ(system->workArea(), (Rect{40, 20, 1040, 920}));
    x11probe::setRootCardinals("_NET_CURRENT_DESKTOP", {2});
    EXPECT_EQ(system->workArea(), (Rect{0, 0, 1280, 990}));
    // Written as 0xFFFFFFFF, read back as -1.
    x11probe::setRootCardinals("_NET_CURRENT_DESKTOP", {0xffffffffL});
    EXPECT_EQ(system->workArea(), (Rect{0, 0, 1280, 990}));
}

namespace {

// Inspects the open message box from a timer (timers keep running under a box), then ends it.
class BoxInspector final : public platform::WindowEvents {
public:
    explicit BoxInspector(platform::WindowSystem &system) : m_system(system) {}
    void mouseEvent(const platform::MouseEvent &) override {}
    platform::HitArea hitTest(int, int) override { return platform::HitArea::Client; }
    void geometryChanged(const Rect &) override {}
    void timer(int) override
    {
        for (const std::uintptr_t box : x11probe::windowsTitled(QStringLiteral("错误")))
            boxes.push_back(x11probe::inspect(box));
        m_system.postQuit(0);
    }
    void userMessage(int, std::uintptr_t, std::intptr_t) override {}
    void closeRequested() override {}

    std::vector<x11probe::WindowInfo> boxes;

private:
    platform::WindowSystem &m_system;
};

} // namespace

TEST_F(X11WindowTest, MessageBoxForAnOverlongTextStaysOnTheScreen)
{
    BoxInspector inspector(*system);
    const platform::WindowId owner =
        system->createWindow(&inspector, Rect{0, 0, 10, 10}, platform::WindowStyle{});
    ASSERT_NE(owner, 0u);
    system->setTimer(owner, 1, 100);
    // An error box shows package + text; the package name comes from the network.
    system->messageBox(0, QString(20000, QLatin1Char('W')) + QStringLiteral("下载错误"));
    ASSERT_EQ(inspector.boxes.size(), 1u);
    EXPECT_TRUE(inspector.boxes[0].viewable);
    EXPECT_LE(inspector.boxes[0].height, 1024);
    EXPECT_LE(inspector.boxes[0].width, 1280);
    system->destroyWindow(owner);
}
