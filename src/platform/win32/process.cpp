#include "platform/process.h"
#include "platform/command_line.h"
#include "platform/win32/handle.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <process.h>
#include <tlhelp32.h>

namespace platform {

namespace {

// The system's limit for GetModuleFileNameW as the program has always used it: longer paths
// are cut there.
constexpr DWORD modulePathUnits = 260;

QString fromNative(const wchar_t *path)
{
    return QDir::fromNativeSeparators(QString::fromWCharArray(path));
}

qint64 createProcess(const QString &commandLine)
{
    // CreateProcessW may write into the command line: it gets a copy of its own.
    std::vector<wchar_t> line(size_t(commandLine.size()) + 1, L'\0');
    commandLine.toWCharArray(line.data());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // Handles are inherited: a temporary copy's delete-on-close handle has to live on in the
    // processes it starts.
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return -1;
    const ScopedHandle process(info.hProcess);
    const ScopedHandle thread(info.hThread);
    return qint64(info.dwProcessId);
}

[[noreturn]] unsigned __stdcall runThread(void *p)
{
    auto *work = static_cast<std::function<void()> *>(p);
    (*work)();
    delete work;
    // Nobody waits for this thread, so it need not end before the process does, and it must
    // not end while the process does: under Wine, a thread that is on its way out (detaching
    // from the DLLs) when another thread terminates the process can fault there, and the
    // process then dies by a signal instead of with its code. A job's worker ends with its last
    // message, just when the main thread ends the process, so that happened now and then. A
    // thread in a wait is ended cleanly.
    for (;;)
        ::SleepEx(INFINITE, TRUE);
}

// Runs work its starter keeps (and frees after the join).
unsigned __stdcall runBorrowedWork(void *p)
{
    (*static_cast<std::function<void()> *>(p))();
    return 0;
}

} // namespace

QString executablePath()
{
    wchar_t path[modulePathUnits] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, modulePathUnits);
    if (length == 0 || length >= modulePathUnits)
        return QString();
    return fromNative(path);
}

qint64 startDetachedProcess(const QStringList &argv)
{
    if (argv.isEmpty() || argv.first().isEmpty())
        return -1;
    return createProcess(buildCommandLine(argv.first(), argv.mid(1)));
}

qint64 startCommandLine(const QString &commandLine)
{
    return createProcess(commandLine);
}

bool startTemporaryCopy(const QString &program, const QString &argumentLine)
{
    wchar_t tempDir[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, tempDir);
    // A directory of its own, new (never one someone prepared): a program started from the
    // shared temporary directory would find the DLLs planted there. Named like the system's
    // temporary files: the first three characters of the prefix, a hexadecimal number, ".tmp".
    const QString temp = fromNative(tempDir);
    const QString prefix = QFileInfo(program).baseName().left(3);
    QString directory;
    const quint32 start = QRandomGenerator::global()->bounded(0x10000u);
    for (quint32 k = 0; k < 0x10000u && directory.isEmpty(); ++k) {
        const QString candidate = QDir(temp).filePath(
            prefix + QStringLiteral("%1").arg((start + k) & 0xffffu, 4, 16, QLatin1Char('0')).toUpper()
            + QStringLiteral(".tmp"));
        if (::CreateDirectoryW(QDir::toNativeSeparators(candidate).toStdWString().c_str(), nullptr))
            directory = candidate;
        else if (::GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    if (directory.isEmpty())
        return false;
    const std::wstring copy =
        QDir::toNativeSeparators(QDir(directory).filePath(QFileInfo(program).fileName())).toStdWString();
    const std::wstring nativeDirectory = QDir::toNativeSeparators(directory).toStdWString();
    if (!::CopyFileW(QDir::toNativeSeparators(program).toStdWString().c_str(), copy.c_str(), TRUE)) {
        ::DeleteFileW(copy.c_str());
        ::RemoveDirectoryW(nativeDirectory.c_str());
        return false;
    }
    // Never closed here: the system deletes the copy, then its directory, when the last process
    // holding these inherited handles has ended (this one, the copy, and whatever the copy
    // starts). A directory goes only once it is empty, and a process's handles are closed in
    // the order of their values when it ends: the directory's handle must come after the file's.
    SECURITY_ATTRIBUTES inherit = {};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    const HANDLE file = ::CreateFileW(copy.c_str(), 0, FILE_SHARE_READ, &inherit, OPEN_EXISTING,
                                      FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    HANDLE folder = ::CreateFileW(
        nativeDirectory.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE || folder == INVALID_HANDLE_VALUE) {
        // Without its handles the copy would stay behind: remove it and start nothing.
        if (file != INVALID_HANDLE_VALUE)
            ::CloseHandle(file);
        else
            ::DeleteFileW(copy.c_str());
        if (folder != INVALID_HANDLE_VALUE)
            ::CloseHandle(folder);
        ::RemoveDirectoryW(nativeDirectory.c_str());
        return false;
    }
    // New handles take the lowest free values, so the directory's may be below the file's: take
    // further duplicates until one lies above it, then drop the ones below (the directory's
    // deletion waits for its last handle, which stays).
    std::vector<HANDLE> below;
    while (folder < file) {
        HANDLE again = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), folder, ::GetCurrentProcess(), &again, 0, TRUE,
                               DUPLICATE_SAME_ACCESS))
            break;
        below.push_back(folder);
        folder = again;
    }
    for (HANDLE h : below)
        ::CloseHandle(h);
    const QString quote(QLatin1Char('"'));
    return createProcess(quote + QString::fromStdWString(copy) + quote + QLatin1Char(' ') + argumentLine) > 0;
}

bool runsElevatedAboveItsUser()
{
    const auto wineVersion = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
    if (wineVersion) {
        wchar_t asked[2] = {};
        if (::GetEnvironmentVariableW(L"KORVEL_WINE_ELEVATION", asked, 2) != 1 || asked[0] != L'1')
            return false;
    }
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    const ScopedHandle owned(token);
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    // "Default" is a token without a limited twin (UAC off, the built-in Administrator, a
    // standard user): that user has no other self to install for, so it is not refused.
    return ::GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size)
        && type == TokenElevationTypeFull;
}

void exitProcessNow(int code)
{
    std::fflush(nullptr);
    // Not ExitProcess: that runs the C runtime's exit handlers (the static destructors of Qt
    // and libcurl) while detaching the DLLs, after it has cut off the other threads wherever
    // they were.
    ::TerminateProcess(::GetCurrentProcess(), UINT(code));
    ::ExitProcess(UINT(code)); // not reached
}

void prepareHeap() {}

void sleepMilliseconds(int milliseconds)
{
    if (milliseconds > 0)
        ::Sleep(DWORD(milliseconds));
}

bool startDetachedThread(std::function<void()> work)
{
    auto *owned = new std::function<void()>(std::move(work));
    // _beginthreadex rather than CreateThread: the C runtime sets itself up for the thread.
    const uintptr_t thread = ::_beginthreadex(nullptr, 0, runThread, owned, 0, nullptr);
    if (thread == 0) {
        delete owned;
        return false;
    }
    ::CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

bool JoinedThread::start(std::function<void()> work)
{
    if (m_started)
        return false;
    m_work = std::move(work);
    const uintptr_t thread = ::_beginthreadex(nullptr, 0, runBorrowedWork, &m_work, 0, nullptr);
    if (thread == 0) {
        m_work = nullptr;
        return false;
    }
    m_handle = thread;
    m_started = true;
    return true;
}

void JoinedThread::join()
{
    if (!m_started)
        return;
    const HANDLE thread = reinterpret_cast<HANDLE>(m_handle);
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
    m_started = false;
    m_work = nullptr;
}

QStringList runningExecutables()
{
    QStringList result;
    const ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.isValid())
        return result;
    PROCESSENTRY32W process = {};
    process.dwSize = sizeof process;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &process); more;
         more = ::Process32NextW(snapshot.get(), &process)) {
        // The first module of a process is its executable; a process we may not inspect (or
        // of the other bitness) gives no module and is left out.
        const ScopedHandle modules(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process.th32ProcessID));
        if (!modules.isValid())
            continue;
        MODULEENTRY32W module = {};
        module.dwSize = sizeof module;
        if (::Module32FirstW(modules.get(), &module) && module.szExePath[0])
            result.append(fromNative(module.szExePath));
    }
    return result;
}

} // namespace platform
