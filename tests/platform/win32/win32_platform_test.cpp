// The Windows platform layer against the real system calls (run under Wine here). One file over
// 500 lines: the Windows test program is built of the few files the Windows build names.
#include "platform/filesystem.h"
#include "platform/library.h"
#include "platform/process.h"
#include "platform/shell_integration.h"
#include "platform/window_system.h"

#include "base/product.h"
#include "support/installed_layout.h"
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
#include <utility>
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
    const HANDLE held =
        ::CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(dir.file("held")).utf16()),
                      GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

TEST(Win32Files, LoadedLibraryIsMovedAsideWhereItCannotBeReplaced)
{
    // What a commit meets while a client runs: its library loaded from the version directory.
    Scratch dir;
    const QString library = dir.file("client.dll");
    ASSERT_TRUE(writeFile(library, readFile(QStringLiteral(KORVEL_DEPENDENCY))));
    ASSERT_TRUE(writeFile(dir.file("client.dll.new"), "the new build"));
    const HMODULE loaded =
        ::LoadLibraryW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(library).utf16()));
    ASSERT_NE(loaded, nullptr);
    EXPECT_FALSE(platform::replaceFile(dir.file("client.dll.new"), library));
    EXPECT_TRUE(platform::canReplaceFile(library));

    EXPECT_TRUE(platform::moveAside(library, dir.file("client.dll.old")));
    EXPECT_TRUE(platform::replaceFile(dir.file("client.dll.new"), library));
    EXPECT_EQ(readFile(library), QByteArray("the new build"));
    // The old build stays aside while it is loaded, and can go once it is not.
    ::FreeLibrary(loaded);
    EXPECT_TRUE(QFile::remove(dir.file("client.dll.old")));

    // And it can be put back, over the new one.
    ASSERT_TRUE(writeFile(dir.file("kept"), "kept"));
    EXPECT_TRUE(platform::moveAside(dir.file("kept"), dir.file("kept.old")));
    EXPECT_FALSE(QFileInfo::exists(dir.file("kept")));
    ASSERT_TRUE(writeFile(dir.file("kept"), "newer"));
    EXPECT_TRUE(platform::replaceFile(dir.file("kept.old"), dir.file("kept")));
    EXPECT_EQ(readFile(dir.file("kept")), QByteArray("kept"));
}

TEST(Win32Files, PathsAreTheSameInAnyLetterCaseAndInTheirShortForm)
{
    Scratch dir;
    const QString longDir = dir.file("A Long Directory Name");
    ASSERT_TRUE(QDir().mkpath(longDir + "/inner"));
    wchar_t shortName[MAX_PATH] = {};
    const DWORD length =
        ::GetShortPathNameW(QDir::toNativeSeparators(longDir).toStdWString().c_str(), shortName, MAX_PATH);
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
    EXPECT_TRUE(self.endsWith(QStringLiteral("platform_win32_tests.exe"), Qt::CaseInsensitive))
        << self.toStdString();
    EXPECT_TRUE(platform::runningExecutables().contains(self, Qt::CaseInsensitive));
}

TEST(Win32Process, CommandLineStartsTheProgramAsWrittenAndTheListSeesIt)
{
    Scratch dir;
    // The program's replace command as an observable child: it renames b to a, and a group
    // that deletes a missing file keeps it retrying for a while.
    ASSERT_TRUE(writeFile(dir.file("b"), "moved"));
    const QString native = QDir::toNativeSeparators(Program);
    const QString line =
        QStringLiteral("\"%1\" replace \"%2\" \"%3\" 1 1 \"%4\" \\\"\\\" 25 1")
            .arg(native, QDir::toNativeSeparators(dir.file("a")), QDir::toNativeSeparators(dir.file("b")),
                 QDir::toNativeSeparators(dir.file("never there")));
    const qint64 pid = platform::startCommandLine(line);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(waitFor([&] { return readFile(dir.file("a")) == "moved"; }));
    // Listed by the path the system knows it by (a drive letter added to the test's path).
    EXPECT_TRUE(
        platform::runningExecutables().contains(QFileInfo(Program).absoluteFilePath(), Qt::CaseInsensitive));
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(::WaitForSingleObject(process, 20000), WAIT_OBJECT_0);
    ::CloseHandle(process);

    // The started program sees the environment as changed through the platform layer.
    ASSERT_TRUE(platform::setEnvironmentVariable("KORVEL_PROBE_CHILD", QStringLiteral("seen")));
    const QString out = QDir::toNativeSeparators(dir.file("env.txt"));
    ASSERT_GT(platform::startCommandLine(QStringLiteral("cmd.exe /c set KORVEL_PROBE_CHILD>\"%1\"").arg(out)),
              0);
    EXPECT_TRUE(waitFor([&] { return readFile(dir.file("env.txt")).startsWith("KORVEL_PROBE_CHILD=seen"); }))
        << readFile(dir.file("env.txt")).constData();
    platform::unsetEnvironmentVariable("KORVEL_PROBE_CHILD");

    EXPECT_EQ(platform::startCommandLine(QStringLiteral("\"%1\"").arg(dir.file("missing.exe"))), -1);
    EXPECT_EQ(platform::startDetachedProcess({}), -1);

    // A list is quoted by the same rules as every command line: names with blanks arrive whole.
    ASSERT_TRUE(writeFile(dir.file("c d"), "listed"));
    ASSERT_GT(
        platform::startDetachedProcess({Program, "replace", dir.file("e f"), dir.file("c d"), "1", "1"}), 0);
    EXPECT_TRUE(waitFor([&] { return readFile(dir.file("e f")) == "listed"; }));
}

TEST(Win32Process, TemporaryCopyRunsInADirectoryOfItsOwn)
{
    Scratch dir;
    ASSERT_TRUE(writeFile(dir.file("b"), "copied"));
    // A second group deletes a missing file, which keeps the copy retrying for a while.
    const QStringList arguments{"replace",         dir.file("a"), dir.file("b"), "1", "1",
                                dir.file("never"), "\\\"\\\"",    "25",          "1"};
    QString line;
    for (const QString &a : arguments)
        line += QLatin1Char(' ') + a;
    const QDir temp(QDir::tempPath());
    const QStringList before = temp.entryList({"Kor*.tmp"}, QDir::AllEntries);
    ASSERT_TRUE(platform::startTemporaryCopy(Program, line));
    EXPECT_TRUE(waitFor([&] { return readFile(dir.file("a")) == "copied"; }));
    // This process holds the delete-on-close handles too, so the directory stays until it ends.
    QStringList made = temp.entryList({"Kor*.tmp"}, QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &old : before)
        made.removeAll(old);
    ASSERT_EQ(made.size(), 1);
    EXPECT_TRUE(made.first().endsWith(QStringLiteral(".tmp"))) << made.first().toStdString();
    const QString copy = temp.filePath(made.first()) + QLatin1Char('/') + QFileInfo(Program).fileName();
    EXPECT_TRUE(platform::runningExecutables().contains(copy, Qt::CaseInsensitive))
        << platform::runningExecutables().join(' ').toStdString();
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

// Runs a command line to its end in directory (then back in ours) with variables added to the
// environment; returns its exit code, or -1000 when it could not be started or did not end.
int runInDirectory(const QString &commandLine, const QString &directory,
                   const std::vector<std::pair<const char *, QString>> &variables = {})
{
    const QString here = QDir::currentPath();
    std::vector<std::pair<const char *, QString>> saved;
    for (const auto &v : variables) {
        saved.emplace_back(
            v.first,
            platform::isEnvironmentVariableSet(v.first) ? platform::environmentVariable(v.first) : QString());
        platform::setEnvironmentVariable(v.first, v.second);
    }
    platform::setCurrentDirectory(directory);
    const qint64 pid = platform::startCommandLine(commandLine);
    platform::setCurrentDirectory(here);
    for (const auto &v : saved) {
        if (v.second.isNull())
            platform::unsetEnvironmentVariable(v.first);
        else
            platform::setEnvironmentVariable(v.first, v.second);
    }
    if (pid <= 0)
        return -1000;
    const HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return -1000;
    DWORD code = DWORD(-1000);
    if (::WaitForSingleObject(process, 60000) != WAIT_OBJECT_0 || !::GetExitCodeProcess(process, &code))
        code = DWORD(-1000);
    ::CloseHandle(process);
    return int(code);
}

QString quoted(const QString &path)
{
    return QLatin1Char('"') + QDir::toNativeSeparators(path) + QLatin1Char('"');
}

// A program's own file, as the shell, the loader and the system's tools read it.
void expectVersionIconsManifestAndHeaders(const QString &program)
{
    const std::wstring path = QDir::toNativeSeparators(QFileInfo(program).absoluteFilePath()).toStdWString();
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    const auto text = [&](const wchar_t *name) {
        wchar_t *value = nullptr;
        UINT length = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!::VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void **>(&value), &length) || !value)
            return QString();
        return QString::fromWCharArray(value);
    };
    EXPECT_EQ(text(L"CompanyName"), QStringLiteral(KORVEL_COMPANY_NAME));
    EXPECT_EQ(text(L"ProductName"), QStringLiteral(KORVEL_PRODUCT_NAME));
    EXPECT_EQ(text(L"FileDescription"), QStringLiteral(KORVEL_PRODUCT_NAME));
    EXPECT_EQ(text(L"OriginalFilename"), QStringLiteral("Korvel.exe"));
    EXPECT_EQ(text(L"FileVersion"),
              QStringLiteral("%1.%2.%3")
                  .arg(KORVEL_VERSION_MAJOR)
                  .arg(KORVEL_VERSION_MINOR)
                  .arg(KORVEL_VERSION_PATCH));
    EXPECT_EQ(text(L"ProductVersion"), text(L"FileVersion"));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, DWORD(MAKELONG(KORVEL_VERSION_MINOR, KORVEL_VERSION_MAJOR)));
    EXPECT_EQ(fixed->dwFileVersionLS, DWORD(MAKELONG(0, KORVEL_VERSION_PATCH)));
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwFileType, DWORD(VFT_APP));

    const HMODULE image = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    const auto resource = [&](const wchar_t *type, int id) {
        const HRSRC found = ::FindResourceW(image, MAKEINTRESOURCEW(id), type);
        const HGLOBAL loaded = found ? ::LoadResource(image, found) : nullptr;
        return loaded ? QByteArray(static_cast<const char *>(::LockResource(loaded)),
                                   int(::SizeofResource(image, found)))
                      : QByteArray();
    };
    // The icon group: a 6-byte header, then 14 bytes per image, its width first (0 for 256).
    const QByteArray group = resource(RT_GROUP_ICON, 1000);
    ASSERT_GE(group.size(), 6);
    std::vector<int> widths;
    for (int i = 0; i < int(quint8(group[4])) && 6 + 14 * i < group.size(); ++i)
        widths.push_back(quint8(group[6 + 14 * i]) ? quint8(group[6 + 14 * i]) : 256);
    EXPECT_EQ(widths, (std::vector<int>{16, 32, 48, 256}));
    const QByteArray manifest = resource(RT_MANIFEST, 1);
    ::FreeLibrary(image);
    EXPECT_TRUE(manifest.contains("<requestedExecutionLevel level=\"asInvoker\"")) << manifest.constData();
    for (const char *os : {"8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                           "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "35138b9a-5d96-4fbd-8e2d-a2440225f93a"})
        EXPECT_TRUE(manifest.contains(os)) << os;
    EXPECT_TRUE(manifest.contains("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    EXPECT_FALSE(manifest.contains("<dpiAware")) << "the window is drawn in fixed pixels";

    // The headers, and the DLLs the loader resolves before the program's first instruction.
    const QByteArray file = readFile(program);
    ASSERT_GT(file.size(), 1024);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(file.constData());
    // The program is built for the same machine as this test, so the headers have this build's
    // layout (the 32-bit product, or its 64-bit stand-in).
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(file.constData() + dos->e_lfanew);
    ASSERT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR_MAGIC);
    const IMAGE_OPTIONAL_HEADER &optional = nt->OptionalHeader;
    EXPECT_EQ(optional.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(optional.MajorSubsystemVersion, 6);
    EXPECT_EQ(optional.MinorSubsystemVersion, 1);
    EXPECT_TRUE(optional.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE);
    EXPECT_TRUE(optional.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    EXPECT_TRUE(optional.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    const auto *sections = IMAGE_FIRST_SECTION(nt);
    const auto at = [&](DWORD rva) -> const char * {
        for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER &section = sections[i];
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.SizeOfRawData)
                return file.constData() + section.PointerToRawData + (rva - section.VirtualAddress);
        }
        return nullptr;
    };
    QStringList imported;
    const DWORD importRva = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto *d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(at(importRva)); d && d->Name; ++d)
        imported.append(QString::fromLatin1(at(d->Name)).toUpper());
    QStringList delayed;
    const DWORD delayRva = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].VirtualAddress;
    for (auto *d = reinterpret_cast<const IMAGE_DELAYLOAD_DESCRIPTOR *>(at(delayRva)); d && d->DllNameRVA;
         ++d)
        delayed.append(QString::fromLatin1(at(d->DllNameRVA)).toUpper());
    // Only "known DLLs" at start: the system takes those from its own directory, never from
    // the directory the program was downloaded to.
    const QStringList known{"ADVAPI32.DLL", "GDI32.DLL",   "KERNEL32.DLL", "MSVCRT.DLL", "OLE32.DLL",
                            "OLEAUT32.DLL", "SHELL32.DLL", "SHLWAPI.DLL",  "USER32.DLL", "WS2_32.DLL"};
    for (const QString &dll : imported)
        EXPECT_TRUE(known.contains(dll)) << dll.toStdString() << " is imported at start";
    for (const char *dll :
         {"NETAPI32.DLL", "USERENV.DLL", "VERSION.DLL", "WINMM.DLL", "BCRYPT.DLL", "CRYPT32.DLL"})
        EXPECT_TRUE(delayed.contains(QLatin1String(dll)))
            << dll << " is not delay-loaded: " << delayed.join(' ').toStdString();
}

// The program the tests build with release keys is the shipped one with other keys: what holds
// for one must hold for the other.
TEST(Win32Program, CarriesItsVersionIconsManifestAndHeaders)
{
    for (const QString &program : {Program, QStringLiteral(KORVEL_SIGNED_EXE)}) {
        SCOPED_TRACE(program.toStdString());
        expectVersionIconsManifestAndHeaders(program);
    }
}

TEST(Win32Program, IsA32BitProgram)
{
    if (sizeof(void *) != 4)
        GTEST_SKIP() << "the 64-bit stand-in of the program: only the 32-bit build is the product";
    const QByteArray file = readFile(Program);
    ASSERT_GT(file.size(), 1024);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(file.constData());
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS32 *>(file.constData() + dos->e_lfanew);
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
}

TEST(Win32Program, DllsPlantedBesideItDoNotRun)
{
    Scratch dir;
    const QString program = dir.file("download/Korvel.exe");
    const QString marks = dir.file("marks");
    ASSERT_TRUE(QDir().mkpath(marks));
    ASSERT_TRUE(writeFile(program, readFile(Program)));
    // The control: this test program imports the same DLLs the ordinary way.
    const QString control = dir.file("download/control.exe");
    ASSERT_TRUE(writeFile(control, readFile(platform::executablePath())));
    // The program's imports that are no "known DLLs". Not VERSION: Wine's own user32 imports it,
    // and Wine, unlike Windows, looks beside the program for a system DLL's imports too.
    const QStringList planted{"NETAPI32.dll", "USERENV.dll", "WINMM.dll", "bcrypt.dll", "CRYPT32.dll"};
    for (const QString &name : planted)
        ASSERT_TRUE(writeFile(dir.file("download/" + name), readFile(QStringLiteral(KORVEL_PLANTED_DLL))));
    // Wine prefers its own DLLs to those it finds; Windows takes the first it finds.
    const QString overrides = platform::environmentVariable("WINEDLLOVERRIDES")
        + QStringLiteral(";netapi32,userenv,winmm,bcrypt,crypt32=n,b");
    const std::vector<std::pair<const char *, QString>> environment{
        {"KORVEL_PLANTED_MARKS", QDir::toNativeSeparators(marks)},
        {"WINEDLLOVERRIDES", overrides},
        {"KORVEL_HEADLESS", "1"}};
    const auto ran = [&] { return QDir(marks).entryList(QDir::Files); };

    runInDirectory(quoted(control) + " --gtest_list_tests", dir.path(), environment);
    EXPECT_FALSE(ran().isEmpty()) << "planting does not work here: the test proves nothing";
    for (const QString &mark : ran())
        QFile::remove(marks + '/' + mark);

    // The launcher's search for a client, then the installer's road until its first request
    // (to a server that is not there) and its error report.
    EXPECT_EQ(runInDirectory(quoted(program), dir.path(), environment), -1);
    EXPECT_EQ(ran(), QStringList());
}

TEST(Win32Program, ClientFindsItsOwnLibrariesInItsVersionDirectory)
{
    Scratch dir;
    const QString program = dir.file("app/Korvel.exe");
    ASSERT_TRUE(writeFile(program, readFile(Program)));
    const QString version = dir.file("app/1.0");
    ASSERT_TRUE(writeCatalogue(dir.file("app"), {"1.0"}));
    ASSERT_TRUE(writeLocalManifest(version, "client.dll", "korvel_entry"));
    ASSERT_TRUE(writeFile(version + "/client.dll", readFile(QStringLiteral(KORVEL_DEPENDENT_CLIENT))));
    // Started from elsewhere: the client's import is found in its version directory or nowhere.
    EXPECT_NE(runInDirectory(quoted(program), dir.path(), {{"KORVEL_HEADLESS", "1"}}), 42);
    ASSERT_TRUE(writeFile(version + "/korvel_dependency.dll", readFile(QStringLiteral(KORVEL_DEPENDENCY))));
    EXPECT_EQ(runInDirectory(quoted(program), dir.path(), {{"KORVEL_HEADLESS", "1"}}), 42);
}

TEST(Win32Program, RefusesAJobFromAnElevatedToken)
{
    // Wine gives every process the administrator's full token and has no limited one, so the
    // program takes Wine's answer only when asked to.
    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    ASSERT_TRUE(::GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size));
    ::CloseHandle(token);
    EXPECT_FALSE(platform::runsElevatedAboveItsUser());
    if (type != TokenElevationTypeFull)
        GTEST_SKIP() << "this test process is not elevated";
    platform::setEnvironmentVariable("KORVEL_WINE_ELEVATION", "1");
    EXPECT_TRUE(platform::runsElevatedAboveItsUser());
    platform::unsetEnvironmentVariable("KORVEL_WINE_ELEVATION");

    Scratch dir;
    const QString program = dir.file("app/Korvel.exe");
    ASSERT_TRUE(writeFile(program, readFile(Program)));
    ASSERT_TRUE(writeFile(dir.file("app/kept"), "x"));
    const QString err = dir.file("err.txt");
    const QString line = QStringLiteral("cmd.exe /c \"%1 uninstall 2>%2\"").arg(quoted(program), quoted(err));
    const std::vector<std::pair<const char *, QString>> elevated{{"KORVEL_WINE_ELEVATION", "1"},
                                                                 {"KORVEL_HEADLESS", "1"}};
    EXPECT_EQ(runInDirectory(line, dir.path(), elevated), -1);
    EXPECT_TRUE(QString::fromUtf8(readFile(err)).contains(QStringLiteral("不能以管理员身份运行")))
        << readFile(err).constData();
    EXPECT_TRUE(QFileInfo::exists(dir.file("app/kept")));
    EXPECT_TRUE(QFileInfo::exists(program));
    // The unseen update is refused without a word.
    EXPECT_EQ(
        runInDirectory(QStringLiteral("cmd.exe /c \"%1 update 2>%2\"").arg(quoted(program), quoted(err)),
                       dir.path(), elevated),
        -1);
    EXPECT_EQ(readFile(err), QByteArray());
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
    EXPECT_TRUE(
        data.contains(QDir::toNativeSeparators(Program).toUtf8())
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
