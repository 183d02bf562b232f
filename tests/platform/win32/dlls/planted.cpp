// Stands in for a DLL planted beside a program under the name of a system DLL: whenever it is
// loaded, it leaves a file named after itself (e.g. "NETAPI32.dll.ran") in the directory that
// KORVEL_PLANTED_MARKS names.
#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t marks[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"KORVEL_PLANTED_MARKS", marks, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !::GetModuleFileNameW(self, path, MAX_PATH))
        return TRUE;
    std::wstring name(path);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    const HANDLE mark = ::CreateFileW((std::wstring(marks) + L"\\" + name + L".ran").c_str(), GENERIC_WRITE,
                                      0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (mark != INVALID_HANDLE_VALUE)
        ::CloseHandle(mark);
    return TRUE;
}
