// The Windows platform layer against the real system calls (run under Wine here).
#include "platform/filesystem.h"
#include "platform/library.h"
#include "platform/process.h"
#include "platform/shell_integration.h"
#include "platform/window_system.h"

#include "support/temp_home.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include <windows.h>

namespace {

const QString Program = QStringLiteral(KORVEL_EXE);

bool waitFor(const std::function<bool()> &condition, int milliseconds = 20000)
{
    for (int waited = 0; waited < milliseconds; waited += 20) {
        if (condition())
            return true;
        QThread::msleep(20);
    }
    return condition();
}

// A scratch directory on the Windows side of the file system.
class Scratch {
public:
    Scratch() { QDir().mkpath(path()); }
    ~Scratch() { QDir(path()).removeRecursively(); }
    QString path() const { return QDir::tempPath() + QStringLiteral("/korvel-win32-test"); }
    QString file(const QString &name) const { return path() + QLatin1Char('/') + name; }
};

TEST(Win32Files, ReplaceFileSwapsInPlaceAndRefusesADirectory)
{
    Scratch dir;
    ASSERT_TRUE(writeFile(dir.file("old"), "old"));
    ASSERT_TRUE(writeFile(dir.file("new"), "new"));
    EXPECT_TRUE(platform::replaceFile(dir.file("new"), dir.file("old")));
    EXPECT_EQ(readFile(dir.file("old")), QByteArray("new"));
    EXPECT_FALSE(QFileInfo::exists(dir.file("new")));

    ASSERT_TRUE(QDir().mkpath(dir.file("sub")));
    ASSERT_TRUE(writeFile(dir.file("other"), "x"));
    EXPECT_FALSE(platform::replaceFile(dir.file("other"), dir.file("sub")));
    EXPECT_TRUE(QFileInfo::exists(dir.file("other")));

    // A written file is flushed through its own handle; the directory flush then never fails
    // on files someone else holds or that are read-only; a missing path is a failure.
    QFile written(dir.file("sub/deep/file"));
    ASSERT_TRUE(QDir().mkpath(dir.file("sub/deep")));
    ASSERT_TRUE(written.open(QIODevice::WriteOnly));
    ASSERT_EQ(written.write("data"), 4);
    ASSERT_TRUE(written.flush());
    EXPECT_TRUE(platform::flushWrittenFile(written));
    written.close();
    ASSERT_TRUE(writeFile(dir.file("read-only"), "r"));
    ASSERT_TRUE(QFile::setPermissions(dir.file("read-only"), QFile::ReadOwner));
    const HANDLE held = ::CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(dir.file("held")).utf16()),
                                      GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(platform::syncFileSystem(dir.path()));
    EXPECT_TRUE(platform::syncFileSystem(dir.file("old")));
    EXPECT_FALSE(platform::syncFileSystem(dir.file("missing")));

    // A file held without sharing cannot be replaced; a free one or a missing one can, and the
    // question changes nothing.
    EXPECT_FALSE(platform::canReplaceFile(dir.file("held")));
    EXPECT_TRUE(platform::canReplaceFile(dir.file("old")));
    EXPECT_TRUE(platform::canReplaceFile(dir.file("missing")));
    EXPECT_EQ(readFile(dir.file("old")), QByteArray("new"));
    ::CloseHandle(held);
    EXPECT_TRUE(platform::canReplaceFile(dir.file("held")));
    QFile::setPermissions(dir.file("read-only"), QFile::ReadOwner | QFile::WriteOwner);
}

TEST(Win32Files, PathsAreTheSameInAnyLetterCaseAndInTheirShortForm)
{
    Scratch dir;
    const QString longDir = dir.file("A Long Directory Name");
    ASSERT_TRUE(QDir().mkpath(longDir + "/inner"));
    wchar_t shortName[MAX_PATH] = {};
    const DWORD length = ::GetShortPathNameW(QDir::toNativeSeparators(longDir).toStdWString().c_str(), shortName, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, DWORD(MAX_PATH));
    const QString shortDir = QDir::fromNativeSeparators(QString::fromWCharArray(shortName, int(length)));
    ASSERT_NE(shortDir.toLower(), longDir.toLower()) << "no short name to compare";

    EXPECT_TRUE(platform::isSamePath(shortDir, longDir)) << shortDir.toStdString();
    EXPECT_TRUE(platform::isSamePath(longDir.toUpper(), longDir));
    EXPECT_TRUE(platform::isSamePath(shortDir + "/inner", longDir.toLower() + "/INNER"));
    EXPECT_FALSE(platform::isSamePath(longDir, longDir + "/inner"));
    EXPECT_FALSE(platform::isSamePath(longDir + "x", longDir));
    // Paths that do not exist compare by their letters, case aside.
    EXPECT_TRUE(platform::isSamePath(dir.file("Missing/Deeper"), dir.file("MISSING/deeper")));
    EXPECT_FALSE(platform::isSamePath(dir.file("Missing/Deeper"), dir.file("Missing/Deepest")));
}

TEST(Win32Process, KnowsItsOwnPathAndSeesItselfRunning)
{
    const QString self = platform::executablePath();
    EXPECT_TRUE(QFileInfo(self).isAbsolute());
    EXPECT_FALSE(self.contains(QLatin1Char('\\')));
    EXPECT_TRUE(self.endsWith(QStringLiteral("platform_win32_tests.exe"), Qt::CaseInsensitive)) << self.toStdString();
    EXPECT_TRUE(platform::runningExecutables().contains(self, Qt::CaseInsensitive));
}

TEST(Win32Process, CommandLineStartsTheProgramAsWrittenAndTheListSeesIt)
{
    Scratch dir;
    // The program's replace command as an observable child: it renames b to a, and a group
    // that deletes a missing file keeps it retrying for a while.
    ASSERT_TRUE(writeFile(dir.file("b"), "moved"));
    const QString native = QDir::toNativeSeparators(Program);
    const QString line = QStringLiteral("\"%1\" replace \"%2\" \"%3\" 1 1 \"%4\" \\\"\\\" 25 1")
                             .arg(native, QDir::toNativeSeparators(dir.file("a")),
                                  QDir::toNativeSeparators(dir.file("b")),
                                  QDir::toNativeSeparators(dir.file("never there")));
    const qint64 pid = platform::startCommandLine(line);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(waitFor([&] { return readFile(dir.file("a")) == "moved"; }));
    // Listed by the path the system knows it by (a drive letter added to the test's path).
    EXPECT_TRUE(platform::runningExecutables().contains(QFileInfo(Program).absoluteFilePath(), Qt::CaseInsensitive));
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(::WaitForSingleObject(process, 20000), WAIT_OBJECT_0);
    ::CloseHandle(process);

    // The started program sees the environment as changed through the platform layer.
    ASSERT_TRUE(platform::setEnvironmentVariable("KORVEL_PROBE_CHILD", QStringLiteral("seen")));
    const QString out = QDir::toNativeSeparators(dir.file("env.txt"));
    ASSERT_GT(platform::startCommandLine(QStringLiteral("cmd.exe /c set KORVEL_PROBE_CHILD>\"%1\"").arg(out)), 0);
    EXPECT_TRUE(waitFor([&] { return readFile(dir.file("env.txt")).startsWith("KORVEL_PROBE_CHILD=seen"); }))
        << readFile(dir.file("env.txt")).constData();
    platform::unsetEnvironmentVariable("KORVEL_PROBE_CHILD");

    EXPECT_EQ(platform::startCommandLine(QStringLiteral("\"%1\"").arg(dir.file("missing.exe"))), -1);
    EXPECT_EQ(platform::startDetachedProcess({}), -1);

    // A list is quoted by the same rules as every command line: names with blanks arrive whole.
    ASSERT_TRUE(writeFile(dir.file("c d"), "listed"));
    ASSERT_GT(platform::startDetachedProcess({Program, "replace", dir.file("e f"), dir.file("c d"), "1", "1"}), 0);
    EXPECT_TRUE(waitFor([&] { return readFile(dir.file("e f")) == "listed"; }));
}

TEST(Win32Process, TemporaryCopyRunsFromTheTemporaryDirectory)
{
    Scratch dir;
    ASSERT_TRUE(writeFile(dir.file("b"), "copied"));
    const QStringList arguments{"replace", dir.file("a"), dir.file("b"), "1", "1"};
    QString line;
    for (const QString &a : arguments)
        line += QLatin1Char(' ') + a;
    const QDir temp(QDir::tempPath());
    const QStringList before = temp.entryList({"Kor*.tmp"}, QDir::Files);
    ASSERT_TRUE(platform::startTemporaryCopy(Program, line));
    EXPECT_TRUE(waitFor([&] { return readFile(dir.file("a")) == "copied"; }));
    // This process holds the copy's delete-on-close handle too, so the copy stays until it ends.
    const QStringList after = temp.entryList({"Kor*.tmp"}, QDir::Files);
    EXPECT_EQ(after.size(), before.size() + 1);
}

TEST(Win32Process, JoinedThreadHasFinishedItsWorkAtTheJoinAndAtItsEnd)
{
    int value = 0; // no atomic: the join orders the write before the read
    platform::JoinedThread thread;
    ASSERT_TRUE(thread.start([&value] {
        ::Sleep(50);
        value = 1;
    }));
    EXPECT_FALSE(thread.start([&value] { value = 2; }));
    thread.join();
    EXPECT_EQ(value, 1);
    {
        platform::JoinedThread scoped;
        ASSERT_TRUE(scoped.start([&value] {
            ::Sleep(50);
            value = 3;
        }));
    }
    EXPECT_EQ(value, 3);
}

TEST(Win32Library, DirectoryAndEnvironmentAreTheSystemsOwn)
{
    Scratch dir;
    EXPECT_TRUE(platform::setCurrentDirectory(dir.path()));
    EXPECT_EQ(QDir::currentPath(), dir.path());
    EXPECT_TRUE(platform::setLibrarySearchDirectory(dir.path()));
    wchar_t searched[MAX_PATH] = {};
    ::GetDllDirectoryW(MAX_PATH, searched);
    EXPECT_EQ(QDir::fromNativeSeparators(QString::fromWCharArray(searched)), dir.path());

    // UTF-16 throughout, and visible to the system's own calls (which the client uses).
    EXPECT_TRUE(platform::setEnvironmentVariable("KORVEL_PROBE", QStringLiteral("wert 值")));
    EXPECT_EQ(platform::environmentVariable("KORVEL_PROBE"), QStringLiteral("wert 值"));
    wchar_t value[64] = {};
    EXPECT_EQ(::GetEnvironmentVariableW(L"KORVEL_PROBE", value, 64), 6u);
    EXPECT_TRUE(platform::setEnvironmentVariable("KORVEL_PROBE", QString()));
    EXPECT_TRUE(platform::isEnvironmentVariableSet("KORVEL_PROBE"));
    EXPECT_EQ(platform::environmentVariable("KORVEL_PROBE"), QString());
    platform::unsetEnvironmentVariable("KORVEL_PROBE");
    EXPECT_FALSE(platform::isEnvironmentVariableSet("KORVEL_PROBE"));
}

TEST(Win32Shell, ShortcutIsAShellLinkToTheTarget)
{
    Scratch dir;
    EXPECT_EQ(platform::shortcutSuffix(), QStringLiteral(".lnk"));
    const QString link = dir.file("Korvel.lnk");
    ASSERT_TRUE(platform::createShortcut(link, QDir::toNativeSeparators(Program), QStringLiteral("Korvel")));
    const QByteArray data = readFile(link);
    // The shell link header: its size, then the link class {00021401-0000-0000-C000-000000000046}.
    ASSERT_GE(data.size(), 76);
    EXPECT_EQ(data.left(20), QByteArray::fromHex("4c0000000114020000000000c000000000000046"));
    EXPECT_TRUE(data.contains(QDir::toNativeSeparators(Program).toUtf8())
                || data.contains(QByteArray(reinterpret_cast<const char *>(QDir::toNativeSeparators(Program).utf16()),
                                            QDir::toNativeSeparators(Program).size() * 2)));
    // The scheme lives in the registry keys the program writes anyway.
    EXPECT_TRUE(platform::registerUrlScheme("kv", "Korvel", Program));
    EXPECT_FALSE(platform::createShortcut(dir.file("missing dir/Korvel.lnk"), Program, "Korvel"));
}

// Posts from another thread, timers and the quit code, for both backends of this system.
void exerciseLoop(platform::WindowSystem &system)
{
    struct Events : platform::WindowEvents {
        std::vector<int> received;
        int ticks = 0;
        platform::WindowSystem *system = nullptr;
        platform::WindowId window = 0;
        void mouseEvent(const platform::MouseEvent &) override {}
        platform::HitArea hitTest(int, int) override { return platform::HitArea::Client; }
        void geometryChanged(const platform::Rect &) override {}
        void timer(int id) override
        {
            if (id == 7 && ++ticks == 3) {
                system->killTimer(window, 7);
                system->postQuit(5);
            }
        }
        void userMessage(int n, std::uintptr_t wParam, std::intptr_t lParam) override
        {
            received.push_back(n * 1000 + int(wParam) * 10 + int(lParam));
        }
        void closeRequested() override {}
    } events;
    const platform::Rect client{100, 100, 100 + 493, 100 + 348};
    platform::WindowStyle style;
    style.frameless = true;
    style.translucent = true;
    const platform::WindowId window = system.createWindow(&events, client, style);
    ASSERT_NE(window, 0u);
    events.system = &system;
    events.window = window;
    EXPECT_EQ(system.geometry(window), client);
    EXPECT_FALSE(system.isVisible(window));

    std::thread poster([&] {
        for (int i = 0; i < 5; ++i)
            system.post(window, 3, std::uintptr_t(i), 1);
    });
    poster.join();
    system.setTimer(window, 7, 20);
    EXPECT_EQ(system.runLoop(), 5);
    EXPECT_EQ(events.received, (std::vector<int>{3001, 3011, 3021, 3031, 3041}));
    EXPECT_EQ(events.ticks, 3);

    // A quit from another thread ends the loop with its code.
    std::thread quitter([&] { system.postQuit(-1); });
    quitter.join();
    EXPECT_EQ(system.runLoop(), -1);
    system.destroyWindow(window);
    EXPECT_FALSE(system.post(window, 3, 0, 0));
}

TEST(Win32Windows, HeadlessLoopWakesOnPostsAndTimers)
{
    auto system = platform::openHeadlessWindowSystem();
    exerciseLoop(*system);
}

TEST(Win32Windows, NativeWindowIsALayeredTarnWindow)
{
    auto system = platform::openNativeWindowSystem();
    ASSERT_TRUE(system);
    EXPECT_FALSE(system->isHeadless());
    const platform::Rect area = system->workArea();
    EXPECT_GT(area.width(), 0);
    EXPECT_GT(area.height(), 0);

    struct Quiet : platform::WindowEvents {
        void mouseEvent(const platform::MouseEvent &) override {}
        platform::HitArea hitTest(int, int) override { return platform::HitArea::Caption; }
        void geometryChanged(const platform::Rect &) override {}
        void timer(int) override {}
        void userMessage(int, std::uintptr_t, std::intptr_t) override {}
        void closeRequested() override { ++closes; }
        int closes = 0;
    } quiet;
    platform::WindowStyle style;
    style.frameless = true;
    style.translucent = true;
    const platform::Rect client{10, 20, 10 + 493, 20 + 348};
    const platform::WindowId window = system->createWindow(&quiet, client, style);
    ASSERT_NE(window, 0u);
    const HWND hwnd = reinterpret_cast<HWND>(window);
    wchar_t className[64] = {};
    ::GetClassNameW(hwnd, className, 64);
    EXPECT_EQ(QString::fromWCharArray(className), QStringLiteral("TarnWindow"));
    EXPECT_TRUE(::GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_LAYERED);
    system->setTitle(window, QStringLiteral("安装Korvel"));
    wchar_t title[64] = {};
    ::GetWindowTextW(hwnd, title, 64);
    EXPECT_EQ(QString::fromWCharArray(title), QStringLiteral("安装Korvel"));

    std::vector<std::uint8_t> frame(size_t(493) * 348 * 4, 0x80);
    system->pushFrame(window, frame.data(), 493, 348);
    system->show(window, platform::ShowCommand::Show);
    EXPECT_TRUE(system->isVisible(window));
    RECT outer = {};
    ::GetWindowRect(hwnd, &outer);
    EXPECT_EQ(outer.right - outer.left, 493);
    EXPECT_EQ(outer.bottom - outer.top, 348);
    system->move(window, platform::Rect{30, 40, 30 + 493, 40 + 348});
    EXPECT_EQ(system->geometry(window), (platform::Rect{30, 40, 30 + 493, 40 + 348}));

    // Nothing in or on the window ends its job: the system menu (Alt+Space) can move and
    // minimise but not close, and a close sent anyway is ignored; only the session's end counts.
    const HMENU menu = ::GetSystemMenu(hwnd, FALSE);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), UINT(-1));
    EXPECT_NE(::GetMenuState(menu, SC_MINIMIZE, MF_BYCOMMAND), UINT(-1));
    EXPECT_NE(::GetMenuState(menu, SC_MOVE, MF_BYCOMMAND), UINT(-1));
    const int items = ::GetMenuItemCount(menu);
    ASSERT_GT(items, 0);
    EXPECT_FALSE(::GetMenuState(menu, UINT(items - 1), MF_BYPOSITION) & MF_SEPARATOR);
    ::SendMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    ::SendMessageW(hwnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(quiet.closes, 0);
    EXPECT_TRUE(::IsWindow(hwnd));
    EXPECT_TRUE(system->isVisible(window));
    ::SendMessageW(hwnd, WM_ENDSESSION, FALSE, 0); // the session goes on after all
    EXPECT_EQ(quiet.closes, 0);
    ::SendMessageW(hwnd, WM_ENDSESSION, TRUE, 0);
    EXPECT_EQ(quiet.closes, 1);
    system->show(window, platform::ShowCommand::Minimise);
    EXPECT_TRUE(::IsIconic(hwnd));
    system->destroyWindow(window);

    exerciseLoop(*system);
}

TEST(Win32Text, GdiDrawsTheDefaultFontIntoACoverageMask)
{
    const platform::TextBitmap text = platform::rasteriseText(QStringLiteral("Korvel"), 12);
    EXPECT_GT(text.width, 10);
    EXPECT_GE(text.height, 12);
    ASSERT_EQ(text.coverage.size(), size_t(text.width) * size_t(text.height));
    int inked = 0;
    for (std::uint8_t c : text.coverage)
        inked += c > 0;
    EXPECT_GT(inked, 20);
    const platform::TextBitmap empty = platform::rasteriseText(QString(), 12);
    EXPECT_EQ(empty.width, 0);
    EXPECT_GT(empty.height, 0);
}

} // namespace
