// The Windows entry point. Linked into the program itself, not the library: the C runtime's
// start-up code asks for wWinMain only after the program's libraries were searched.
#include "platform/entry.h"
#include "platform/process.h"

#include <cstdlib>

#include <windows.h>

namespace {

// Libraries loaded from now on come from the system directory, or from a directory added on
// purpose (the client's version directory), never from the program's own directory: a
// downloaded installer lies among whatever else was downloaded, and a DLL there named like a
// system one would run inside it. The program's non-"known" system DLLs are delay-loaded for
// the same reason (cmake/Win32Program.cmake), so none of them is loaded before this ran.
// Looked up rather than imported: Windows 7 has the call only with its update KB2533623.
void NTAPI restrictLibrarySearch(PVOID, DWORD reason, PVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return;
    using SetDefaultDllDirectoriesCall = BOOL(WINAPI *)(DWORD);
    const auto setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesCall>(reinterpret_cast<void *>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories)
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS);
}

// A TLS callback: the system calls it when the process starts, before the C runtime's start-up
// code and every static constructor, so nothing of ours or of the libraries runs before it.
// The C runtime's TLS directory lists the callbacks between its .CRT$XLA and .CRT$XLZ markers.
__attribute__((section(".CRT$XLB"), used)) PIMAGE_TLS_CALLBACK restrictLibrarySearchAtStart =
    restrictLibrarySearch;

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLineTail, int)
{
    platform::prepareHeap();
    QStringList arguments;
    for (int i = 0; i < __argc; ++i)
        arguments.append(QString::fromWCharArray(__wargv[i]));
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "the tail is handed on as UTF-16");
    return runProgram(std::move(arguments), reinterpret_cast<const char16_t *>(commandLineTail));
}
