// The Windows entry point. Linked into the program itself, not the library: the C runtime's
// start-up code asks for wWinMain only after the program's libraries were searched.
#include "platform/entry.h"

#include <cstdlib>

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLineTail, int)
{
    QStringList arguments;
    for (int i = 0; i < __argc; ++i)
        arguments.append(QString::fromWCharArray(__wargv[i]));
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "the tail is handed on as UTF-16");
    return runProgram(std::move(arguments), reinterpret_cast<const char16_t *>(commandLineTail));
}
