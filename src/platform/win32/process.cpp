#include "platform/process.h"
#include "platform/command_line.h"
#include "platform/win32/handle.h"

#include <QDir>
#include <QFileInfo>

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

unsigned __stdcall runThread(void *p)
{
    auto *work = static_cast<std::function<void()> *>(p);
    (*work)();
    delete work;
    return 0;
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
    // The system creates an empty, uniquely named file from the first three characters of the
    // prefix, a hexadecimal number and ".tmp"; the copy then overwrites it.
    wchar_t name[MAX_PATH] = {};
    const std::wstring prefix = QFileInfo(program).baseName().toStdWString();
    ::GetTempFileNameW(tempDir, prefix.c_str(), 0, name);
    ::CopyFileW(QDir::toNativeSeparators(program).toStdWString().c_str(), name, FALSE);
    // Never closed here: the system deletes the copy when the last process holding this
    // inherited handle has ended (this one, the copy, and whatever the copy starts).
    SECURITY_ATTRIBUTES inherit = {};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    ::CreateFileW(name, 0, FILE_SHARE_READ, &inherit, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    const QString quote(QLatin1Char('"'));
    return createProcess(quote + QString::fromWCharArray(name) + quote + QLatin1Char(' ') + argumentLine) > 0;
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
